/* One configuration entry as the broker passes it, with the "plugin_opt_" or
 * "auth_opt_" prefix removed from the key. Apart from auth_plugin.h so that
 * the version-5 library, whose broker header declares the version-2 entry
 * points otherwise, can use it too. */
#ifndef AUTH_OPTION_H
#define AUTH_OPTION_H

struct auth_option {
    char *key;
    char *value;
};

#endif
