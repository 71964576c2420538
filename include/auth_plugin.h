/* The broker's authentication plug-in interface, version 2, as this plug-in
 * implements it. Declared here so that nothing of the broker is needed to
 * build; the argument lists follow the broker's own. */
#ifndef AUTH_PLUGIN_H
#define AUTH_PLUGIN_H

#include <stdbool.h>

#ifdef __cplusplus
#define AUTH_PLUGIN_NOEXCEPT noexcept
extern "C" {
#else
#define AUTH_PLUGIN_NOEXCEPT
#endif

#define AUTH_PLUGIN_EXPORT __attribute__((visibility("default")))

#include "auth_option.h"

/* Result codes, in the broker's numbering. */
enum {
    AUTH_PLUGIN_OK = 0,
    AUTH_PLUGIN_ERR_INVAL = 3,
    AUTH_PLUGIN_ERR_AUTH = 11,
    AUTH_PLUGIN_ERR_ACL_DENIED = 12
};

/* Access codes the broker passes to the access check. */
enum { AUTH_PLUGIN_ACL_READ = 1, AUTH_PLUGIN_ACL_WRITE = 2 };

AUTH_PLUGIN_EXPORT int mosquitto_auth_plugin_version(void) AUTH_PLUGIN_NOEXCEPT;
AUTH_PLUGIN_EXPORT int mosquitto_auth_plugin_init(void **user_data, struct auth_option *opts,
                                                  int opt_count) AUTH_PLUGIN_NOEXCEPT;
AUTH_PLUGIN_EXPORT int mosquitto_auth_plugin_cleanup(void *user_data, struct auth_option *opts,
                                                     int opt_count) AUTH_PLUGIN_NOEXCEPT;
AUTH_PLUGIN_EXPORT int mosquitto_auth_security_init(void *user_data, struct auth_option *opts,
                                                    int opt_count, bool reload) AUTH_PLUGIN_NOEXCEPT;
AUTH_PLUGIN_EXPORT int mosquitto_auth_security_cleanup(void *user_data, struct auth_option *opts,
                                                       int opt_count, bool reload) AUTH_PLUGIN_NOEXCEPT;
AUTH_PLUGIN_EXPORT int mosquitto_auth_acl_check(void *user_data, const char *clientid,
                                                const char *username, const char *topic,
                                                int access) AUTH_PLUGIN_NOEXCEPT;
AUTH_PLUGIN_EXPORT int mosquitto_auth_unpwd_check(void *user_data, const char *username,
                                                  const char *password) AUTH_PLUGIN_NOEXCEPT;
AUTH_PLUGIN_EXPORT int mosquitto_auth_psk_key_get(void *user_data, const char *hint,
                                                  const char *identity, char *key,
                                                  int max_key_len) AUTH_PLUGIN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
