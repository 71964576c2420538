// The built auth_plugin.so, loaded as the broker loads it, for benchmarks.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "auth_plugin.h"
#include "option_pairs.h"

struct LoadedPlugin {
    decltype(&mosquitto_auth_plugin_init) init;
    decltype(&mosquitto_auth_plugin_cleanup) cleanup;
    decltype(&mosquitto_auth_unpwd_check) unpwd;
    decltype(&mosquitto_auth_acl_check) acl;

    LoadedPlugin() {
        void *lib = dlopen(AUTH_PLUGIN_PATH, RTLD_NOW | RTLD_GLOBAL);
        if (!lib) throw std::runtime_error(dlerror());
        init = reinterpret_cast<decltype(init)>(dlsym(lib, "mosquitto_auth_plugin_init"));
        cleanup = reinterpret_cast<decltype(cleanup)>(dlsym(lib, "mosquitto_auth_plugin_cleanup"));
        unpwd = reinterpret_cast<decltype(unpwd)>(dlsym(lib, "mosquitto_auth_unpwd_check"));
        acl = reinterpret_cast<decltype(acl)>(dlsym(lib, "mosquitto_auth_acl_check"));
    }
    // Initialises afresh with these options (the plug-in copies them).
    void configure(std::vector<std::pair<std::string, std::string>> pairs) {
        OptionPairs<auth_option> opts(std::move(pairs));
        cleanup(nullptr, nullptr, 0);
        if (init(nullptr, opts.data(), opts.size()) != 0) throw std::runtime_error("init failed");
    }
};
