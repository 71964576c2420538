// auth_plugin_v5.so loaded with dlopen as the broker loads it, and one
// `plugin` line of it driven through the stand-in for the broker
// (fake_broker.*), which the test executable exports. Shared by the tests
// that drive the library that way.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "fake_broker.h"
#include "option_pairs.h"

struct Library {
    decltype(&mosquitto_plugin_version) version;
    decltype(&mosquitto_plugin_init) init;
    decltype(&mosquitto_plugin_cleanup) cleanup;

    static const Library &get() {
        static const Library library;
        return library;
    }

private:
    Library() {
        void *lib = dlopen(AUTH_PLUGIN_V5_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!lib) throw std::runtime_error(dlerror());
        version = reinterpret_cast<decltype(version)>(dlsym(lib, "mosquitto_plugin_version"));
        init = reinterpret_cast<decltype(init)>(dlsym(lib, "mosquitto_plugin_init"));
        cleanup = reinterpret_cast<decltype(cleanup)>(dlsym(lib, "mosquitto_plugin_cleanup"));
        if (!version || !init || !cleanup) throw std::runtime_error("missing entry point");
    }
};

using Options = OptionPairs<mosquitto_opt>;

// One plugin line: its identifier, its options and the user data it got.
class Line {
public:
    Line(int n, Options::Pairs pairs) : id_{n}, options_(std::move(pairs)) {
        rc_ = Library::get().init(&id_, &userdata_, options_.data(), options_.size());
    }
    ~Line() { EXPECT_EQ(Library::get().cleanup(userdata_, nullptr, 0), MOSQ_ERR_SUCCESS); }
    int rc() const { return rc_; }
    void *userdata() const { return userdata_; }
    std::vector<int> events() const { return fake::broker().events(id_); }

    int login(mosquitto &client, const char *user, const char *pass) {
        mosquitto_evt_basic_auth e{};
        e.client = &client;
        e.username = const_cast<char *>(user);
        e.password = const_cast<char *>(pass);
        return fake::broker().fire(id_, MOSQ_EVT_BASIC_AUTH, &e);
    }
    int access(mosquitto &client, const char *topic, int access, int qos = 0, bool retain = false) {
        mosquitto_evt_acl_check e{};
        e.client = &client;
        e.topic = topic;
        e.access = access;
        e.qos = static_cast<uint8_t>(qos);
        e.retain = retain;
        return fake::broker().fire(id_, MOSQ_EVT_ACL_CHECK, &e);
    }
    int tick(mosquitto_evt_tick &e) { return fake::broker().fire(id_, MOSQ_EVT_TICK, &e); }
    int tick() {
        mosquitto_evt_tick e{};
        return tick(e);
    }
    int reload() { return fake::broker().fire(id_, MOSQ_EVT_RELOAD, nullptr); }
    int disconnect(mosquitto &client) {
        mosquitto_evt_disconnect e{};
        e.client = &client;
        return fake::broker().fire(id_, MOSQ_EVT_DISCONNECT, &e);
    }
    // Any other event this line registered; -1 if it has none.
    int fire(int event, void *data) { return fake::broker().fire(id_, event, data); }

private:
    mosquitto_plugin_id_t id_;
    Options options_;
    void *userdata_ = nullptr;
    int rc_;
};
