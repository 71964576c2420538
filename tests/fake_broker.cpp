#include "fake_broker.h"

#include <cstdarg>
#include <cstdio>

namespace fake {

Broker &broker() {
    static Broker b;
    return b;
}

std::vector<int> Broker::events(const mosquitto_plugin_id_t &id) const {
    std::vector<int> out;
    for (const auto &r : callbacks)
        if (r.id == &id) out.push_back(r.event);
    return out;
}

int Broker::fire(mosquitto_plugin_id_t &id, int event, void *data) {
    for (const auto &r : callbacks)
        if (r.id == &id && r.event == event) return r.cb(event, data, r.userdata);
    return -1;
}

}  // namespace fake

extern "C" {

int mosquitto_callback_register(mosquitto_plugin_id_t *id, int event, MOSQ_FUNC_generic_callback cb, const void *,
                                void *userdata) {
    for (const auto &r : fake::broker().callbacks)
        if (r.event == event && r.cb == cb && (r.id == id || fake::broker().one_policy_per_library))
            return MOSQ_ERR_ALREADY_EXISTS;
    fake::broker().callbacks.push_back({id, event, cb, userdata});
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_callback_unregister(mosquitto_plugin_id_t *id, int event, MOSQ_FUNC_generic_callback cb, const void *) {
    auto &all = fake::broker().callbacks;
    for (auto it = all.begin(); it != all.end(); ++it)
        if (it->id == id && it->event == event && it->cb == cb) {
            all.erase(it);
            return MOSQ_ERR_SUCCESS;
        }
    return MOSQ_ERR_NOT_FOUND;
}

void mosquitto_log_printf(int, const char *fmt, ...) {
    char line[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    fake::broker().log.emplace_back(line);
}

int mosquitto_broker_publish_copy(const char *, const char *topic, int payloadlen, const void *payload, int qos,
                                  bool retain, mosquitto_property *) {
    fake::broker().published.push_back(
        {topic, std::string(static_cast<const char *>(payload), static_cast<std::size_t>(payloadlen)), qos, retain});
    return MOSQ_ERR_SUCCESS;
}

const char *mosquitto_client_id(const struct mosquitto *c) { return c->id.c_str(); }
const char *mosquitto_client_username(const struct mosquitto *c) {
    return c->username.empty() ? nullptr : c->username.c_str();  // as the broker has it for no user name
}
const char *mosquitto_client_address(const struct mosquitto *c) { return c->address.c_str(); }
int mosquitto_client_protocol_version(const struct mosquitto *c) { return c->protocol_version; }
bool mosquitto_client_clean_session(const struct mosquitto *c) { return c->clean_session; }
void *mosquitto_client_certificate(const struct mosquitto *c) {
    if (!c->certificate) return nullptr;
    X509_up_ref(c->certificate);  // the caller frees what it gets
    return c->certificate;
}

int mosquitto_kick_client_by_username(const char *username, bool) {
    fake::broker().kicked.emplace_back(std::string("user ") + (username ? username : "(all)"));
    if (fake::broker().kick_username) fake::broker().kick_username(username);
    return MOSQ_ERR_SUCCESS;
}

int mosquitto_kick_client_by_clientid(const char *clientid, bool) {
    fake::broker().kicked.emplace_back(clientid ? clientid : "(all)");
    if (fake::broker().kick_clientid) fake::broker().kick_clientid(clientid);
    return MOSQ_ERR_SUCCESS;
}

}  // extern "C"
