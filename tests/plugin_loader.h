// Loads the built auth_plugin.so the way the broker does: dlopen, then each
// entry point looked up by its exported name.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "auth_plugin.h"
#include "option_pairs.h"

struct Plugin {
    decltype(&mosquitto_auth_plugin_version) version;
    decltype(&mosquitto_auth_plugin_init) init;
    decltype(&mosquitto_auth_plugin_cleanup) cleanup;
    decltype(&mosquitto_auth_security_init) security_init;
    decltype(&mosquitto_auth_security_cleanup) security_cleanup;
    decltype(&mosquitto_auth_acl_check) acl_check;
    decltype(&mosquitto_auth_unpwd_check) unpwd_check;
    decltype(&mosquitto_auth_psk_key_get) psk_key_get;

    static const Plugin &get() {
        static const Plugin plugin(AUTH_PLUGIN_PATH);
        return plugin;
    }

private:
    explicit Plugin(const char *path) {
        void *lib = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
        if (!lib) throw std::runtime_error(dlerror());
        bind(lib, version, "mosquitto_auth_plugin_version");
        bind(lib, init, "mosquitto_auth_plugin_init");
        bind(lib, cleanup, "mosquitto_auth_plugin_cleanup");
        bind(lib, security_init, "mosquitto_auth_security_init");
        bind(lib, security_cleanup, "mosquitto_auth_security_cleanup");
        bind(lib, acl_check, "mosquitto_auth_acl_check");
        bind(lib, unpwd_check, "mosquitto_auth_unpwd_check");
        bind(lib, psk_key_get, "mosquitto_auth_psk_key_get");
    }
    template <typename F>
    static void bind(void *lib, F &fn, const char *name) {
        fn = reinterpret_cast<F>(dlsym(lib, name));
        if (!fn) throw std::runtime_error(std::string("missing entry point ") + name);
    }
};

using Options = OptionPairs<auth_option>;
