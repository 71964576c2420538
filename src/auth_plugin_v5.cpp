// auth_plugin_v5: the checks of auth_plugin.so behind the broker's version-5
// plug-in interface. This file is that interface's map: the three entry
// points, and for each event registered the instance method that answers it.
// Each `plugin` line gets an instance of its own (src/instance.*), which the
// broker hands back to every callback as its user data.
//
//   plugin /usr/lib/x86_64-linux-gnu/mosquitto/auth_plugin_v5.so
//   plugin_opt_http_user_uri http://127.0.0.1:8080/user
//   plugin_opt_http_acl_uri  http://127.0.0.1:8080/acl
//   (every option of auth_plugin.so, and the version-5 ones: docs/configuration.md)

#include <dlfcn.h>

#include <memory>
#include <string>

#include "broker_v5.h"
#include "instance.h"
#include "log.h"
#include "startup.h"
#include "token_login.h"

namespace {

// The broker's access codes, in the core's words.
Access access_of(int code) noexcept {
    switch (code) {
    case MOSQ_ACL_READ: return Access::read;
    case MOSQ_ACL_WRITE: return Access::write;
    case MOSQ_ACL_SUBSCRIBE: return Access::subscribe;
    case MOSQ_ACL_UNSUBSCRIBE: return Access::unsubscribe;
    default: return Access::none;
    }
}

Instance &of(void *loaded);

int on_basic_auth(int, void *event, void *loaded) noexcept {
    return of(loaded).login(*static_cast<mosquitto_evt_basic_auth *>(event));
}
int on_acl_check(int, void *event, void *loaded) noexcept {
    const auto &e = *static_cast<mosquitto_evt_acl_check *>(event);
    return of(loaded).access(e.client, e.topic, access_of(e.access), {e.qos, e.retain});
}
int on_tick(int, void *event, void *loaded) noexcept {
    of(loaded).tick(*static_cast<mosquitto_evt_tick *>(event));
    return MOSQ_ERR_SUCCESS;
}
// Options are read at start only; 2.1 stops the broker on anything but
// success. The re-checks of admitted connections follow.
int on_reload(int, void *, void *loaded) noexcept {
    of(loaded).reload();
    return MOSQ_ERR_SUCCESS;
}
// DISCONNECT, and 2.1's CLIENT_OFFLINE for a connection whose session
// persists: their event data agree on where the client is.
int on_disconnect(int, void *event, void *loaded) noexcept {
    of(loaded).ended(static_cast<mosquitto_evt_disconnect *>(event)->client, false);
    return MOSQ_ERR_SUCCESS;
}
int on_offline(int, void *event, void *loaded) noexcept {
    of(loaded).ended(static_cast<mosquitto_evt_disconnect *>(event)->client, true);
    return MOSQ_ERR_SUCCESS;
}
int on_control(int, void *event, void *loaded) noexcept {
    of(loaded).control(*static_cast<mosquitto_evt_control *>(event));
    return MOSQ_ERR_SUCCESS;
}
constexpr const char *control_topic = "$CONTROL/auth_plugin/v1";
// 2.1's; 2.0.11's headers lack it, and that broker refuses to register it
// (it sends DISCONNECT for every connection that ends).
constexpr int evt_client_offline = 28;

// Every event this library may register, and when an instance needs it.
struct Event {
    int event;
    MOSQ_FUNC_generic_callback fn;
    bool (*wanted)(const Instance &);
    const char *data;  // what the broker takes with the event (a control topic)
};
constexpr Event events[] = {
    {MOSQ_EVT_BASIC_AUTH, &on_basic_auth, [](const Instance &) { return true; }, nullptr},
    {MOSQ_EVT_ACL_CHECK, &on_acl_check, [](const Instance &) { return true; }, nullptr},
    {MOSQ_EVT_RELOAD, &on_reload, [](const Instance &) { return true; }, nullptr},
    {MOSQ_EVT_TICK, &on_tick, [](const Instance &i) { return i.route().ticks(); }, nullptr},
    // Every line keeps its connections' records: a command on any line may reach them.
    {MOSQ_EVT_DISCONNECT, &on_disconnect, [](const Instance &) { return true; }, nullptr},
    {evt_client_offline, &on_offline, [](const Instance &i) { return i.route().newer_broker; }, nullptr},
    {MOSQ_EVT_CONTROL, &on_control, [](const Instance &i) { return i.settings().http_control; }, control_topic},
};

// What one `plugin` line loaded: its instance, and the callbacks that reach
// it, unregistered before the instance goes.
class Loaded {
public:
    Loaded(mosquitto_plugin_id_t *id, Configuration configuration) : instance(std::move(configuration)), id_(id) {}
    ~Loaded() {
        for (std::size_t i = 0; i < count_; ++i)
            mosquitto_callback_unregister(id_, registered_[i]->event, registered_[i]->fn, registered_[i]->data);
    }
    Loaded(const Loaded &) = delete;
    Loaded &operator=(const Loaded &) = delete;

    // Registers what the instance needs; an error line when the broker refuses.
    std::string register_events() {
        for (const Event &e : events) {
            if (!e.wanted(instance)) continue;
            const int rc = mosquitto_callback_register(id_, e.event, e.fn, e.data, this);
            if (rc == MOSQ_ERR_SUCCESS) {
                registered_[count_++] = &e;
            } else if (e.event == MOSQ_EVT_CONTROL) {
                return "auth_plugin: the broker refused to register " + std::string(control_topic) +
                       " for http_control (error " + std::to_string(rc) +
                       "; another plugin line may have it already: give http_control to one line)";
            } else if (rc == MOSQ_ERR_ALREADY_EXISTS) {
                return "auth_plugin: this library is already loaded by another plugin line, and this broker runs "
                       "one policy per library unless per_listener_settings is true: use one plugin line, or "
                       "per_listener_settings true with one line per listener";
            } else {
                return "auth_plugin: the broker refused to register a callback (error " + std::to_string(rc) + ")";
            }
        }
        return {};
    }

    Instance instance;

private:
    mosquitto_plugin_id_t *id_;
    const Event *registered_[std::size(events)] = {};
    std::size_t count_ = 0;
};

Instance &of(void *loaded) { return static_cast<Loaded *>(loaded)->instance; }

int init(mosquitto_plugin_id_t *id, void **userdata, const mosquitto_opt *opts, int count) noexcept {
    *userdata = nullptr;
    std::unique_ptr<Loaded> loaded;
    StartUp started;
    std::string refused;  // by the broker, at registration
    const auto build = [&](Configuration configuration) {
        loaded = std::make_unique<Loaded>(id, std::move(configuration));
        refused = loaded->register_events();
    };
    const auto describe = [&] {
        auto lines = describe_login_route(loaded->instance.route(), loaded->instance.settings());
        // The key set tried once now: the line says which keys are in force, or that none are yet.
        if (TokenLogins *tokens = loaded->instance.tokens()) lines.push_back(tokens->start());
        return lines;
    };
    if (!start_up(opts, count, Interface::v5, build, describe, started)) {
        log_start_up_error(started.error);
        return MOSQ_ERR_INVAL;
    }
    if (!refused.empty()) {
        log_start_up_error(refused);
        return MOSQ_ERR_INVAL;
    }
    loaded->instance.start_up_lines = std::move(started.lines);
    log_start_up(loaded->instance.start_up_lines);
    *userdata = loaded.release();
    return MOSQ_ERR_SUCCESS;
}

int cleanup(void *userdata) noexcept {
    delete static_cast<Loaded *>(userdata);  // closes every kept connection
    return MOSQ_ERR_SUCCESS;
}

}  // namespace

// The broker's header declares these without noexcept, which C++17 makes part
// of a function's type; each hands over at once to a noexcept function.
extern "C" {

int mosquitto_plugin_version(int, const int *) { return 5; }

int mosquitto_plugin_init(mosquitto_plugin_id_t *identifier, void **userdata, struct mosquitto_opt *options,
                          int option_count) {
    return init(identifier, userdata, options, option_count);
}

int mosquitto_plugin_cleanup(void *userdata, struct mosquitto_opt *, int) { return cleanup(userdata); }

}  // extern "C"
