// The broker's side of the version-5 interface, as far as a test needs it.
// The test executable exports these functions, so auth_plugin_v5.so, loaded
// with dlopen, binds to them as it would to the broker's own. Like the broker,
// one thread calls everything.
#pragma once

#include <openssl/x509.h>

#include <functional>
#include <string>
#include <vector>

#include "broker_v5.h"

// The header leaves these incomplete; the library never looks inside.
struct mosquitto {
    std::string id, username, address;
    int protocol_version = 4;
    X509 *certificate = nullptr;  // owned by the test
    bool clean_session = true;
};
struct mosquitto_plugin_id_t {
    int line;
};

namespace fake {

struct Registration {
    mosquitto_plugin_id_t *id;
    int event;
    MOSQ_FUNC_generic_callback cb;
    void *userdata;
};
struct Published {
    std::string topic, payload;
    int qos;
    bool retain;
};

struct Broker {
    std::vector<Registration> callbacks;
    std::vector<Published> published;
    std::vector<std::string> log;
    std::vector<std::string> kicked;  // client ids disconnected by the plug-in
    // Where set, what the broker does beyond recording: a kick really ends
    // connections (with their end events, on the broker's thread, before it
    // returns), and 2.1's functions (fake_broker_21.cpp) reach its sessions.
    std::function<void(const char *clientid)> kick_clientid;
    std::function<void(const char *username)> kick_username;
    std::function<mosquitto *(const char *clientid)> session_of;   // mosquitto_client
    std::function<void(const char *clientid, int result)> complete;  // mosquitto_complete_basic_auth
    // 2.0.11 with per_listener_settings false: one registration per callback
    // and event, whichever plugin line asks.
    bool one_policy_per_library = false;

    // The events this line has registered, in order.
    std::vector<int> events(const mosquitto_plugin_id_t &id) const;
    // Calls this line's callback for the event; -1 if it has none.
    int fire(mosquitto_plugin_id_t &id, int event, void *data);
};

Broker &broker();

}  // namespace fake
