// auth_plugin_v5: the checks of auth_plugin.so behind the broker's version-5
// plug-in interface. This file is that interface's map: the three entry
// points, and for each event registered the instance method that answers it.
// Each `plugin` line gets an instance of its own (src/instance.*), which the
// broker hands back to every callback as its user data.
//
//   plugin /usr/lib/x86_64-linux-gnu/mosquitto/auth_plugin_v5.so
//   plugin_opt_http_user_uri http://127.0.0.1:8080/user
//   plugin_opt_http_acl_uri  http://127.0.0.1:8080/acl
//   (every option of auth_plugin.so, and the version-5 ones: README.md)

#include <dlfcn.h>

#include <new>
#include <string>
#include <vector>

#include "auth_option.h"
#include "broker_v5.h"
#include "instance.h"
#include "log.h"

namespace {

// What one `plugin` line loaded: its instance, and the callbacks that reach
// it, unregistered before the instance goes.
class Loaded {
public:
    Loaded(mosquitto_plugin_id_t *id, Settings settings) : instance(std::move(settings)), id_(id) {}
    ~Loaded() {
        for (int i = 0; i < count_; ++i)
            mosquitto_callback_unregister(id_, registered_[i].event, registered_[i].fn, registered_[i].data);
    }
    Loaded(const Loaded &) = delete;
    Loaded &operator=(const Loaded &) = delete;

    // data: what the broker takes with the event (a control topic).
    int add(int event, MOSQ_FUNC_generic_callback fn, const char *data = nullptr) noexcept {
        const int rc = mosquitto_callback_register(id_, event, fn, data, this);
        if (rc == MOSQ_ERR_SUCCESS) registered_[count_++] = {event, fn, data};
        return rc;
    }

    Instance instance;

private:
    struct Callback {
        int event;
        MOSQ_FUNC_generic_callback fn;
        const char *data;
    };
    mosquitto_plugin_id_t *id_;
    Callback registered_[7] = {};
    int count_ = 0;
};

Instance &of(void *loaded) noexcept { return static_cast<Loaded *>(loaded)->instance; }

int on_basic_auth(int, void *event, void *loaded) noexcept {
    return of(loaded).login(*static_cast<mosquitto_evt_basic_auth *>(event));
}
int on_acl_check(int, void *event, void *loaded) noexcept {
    return of(loaded).access(*static_cast<mosquitto_evt_acl_check *>(event));
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
int on_ended(int, void *event, void *loaded) noexcept {
    of(loaded).ended(static_cast<mosquitto_evt_disconnect *>(event)->client);
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

int fail_init(const std::string &line) noexcept {
    log_line(LogLevel::error, line);
    return MOSQ_ERR_INVAL;
}

int init(mosquitto_plugin_id_t *id, void **userdata, const mosquitto_opt *opts, int count) noexcept {
    *userdata = nullptr;
    try {
        std::vector<auth_option> pairs;
        for (int i = 0; opts && i < count; ++i) pairs.push_back({opts[i].key, opts[i].value});
        Settings settings;
        std::string error;
        if (!read_settings(pairs.data(), static_cast<int>(pairs.size()), settings, error, Interface::v5))
            return fail_init(error);
        auto loaded = std::make_unique<Loaded>(id, std::move(settings));
        const bool ticks = loaded->instance.needs_ticks();
        const bool newer_broker = dlsym(RTLD_DEFAULT, "mosquitto_complete_basic_auth") != nullptr;
        for (auto [event, fn] : {std::pair<int, decltype(&on_basic_auth)>{MOSQ_EVT_BASIC_AUTH, &on_basic_auth}, {MOSQ_EVT_ACL_CHECK, &on_acl_check},
                                 {MOSQ_EVT_RELOAD, &on_reload}, {MOSQ_EVT_TICK, ticks ? &on_tick : nullptr},
                                 {MOSQ_EVT_DISCONNECT, ticks ? &on_ended : nullptr},
                                 {evt_client_offline, ticks && newer_broker ? &on_ended : nullptr}}) {
            if (!fn) continue;
            const int rc = loaded->add(event, fn);
            if (rc == MOSQ_ERR_ALREADY_EXISTS)
                return fail_init("auth_plugin: this library is already loaded by another plugin line, and this "
                                 "broker runs one policy per library unless per_listener_settings is true: use one "
                                 "plugin line, or per_listener_settings true with one line per listener");
            if (rc != MOSQ_ERR_SUCCESS)
                return fail_init("auth_plugin: the broker refused to register a callback (error " +
                                 std::to_string(rc) + ")");
        }
        if (loaded->instance.settings().http_control) {
            const int rc = loaded->add(MOSQ_EVT_CONTROL, &on_control, control_topic);
            if (rc != MOSQ_ERR_SUCCESS)
                return fail_init("auth_plugin: the broker refused to register " + std::string(control_topic) +
                                 " for http_control (error " + std::to_string(rc) +
                                 "; another plugin line may have it already: give http_control to one line)");
        }
        const auto lines = describe_settings(loaded->instance.settings(), Interface::v5);
        for (std::size_t i = 0; i < lines.size(); ++i)
            log_line(i == 0 ? LogLevel::notice : LogLevel::warning, lines[i]);
        if (const std::string logins = loaded->instance.describe_logins(); !logins.empty())
            log_line(LogLevel::notice, logins);
        *userdata = loaded.release();
        return MOSQ_ERR_SUCCESS;
    } catch (const std::bad_alloc &) {
        return fail_init("auth_plugin: out of memory while starting");
    } catch (const std::exception &e) {
        return fail_init(std::string("auth_plugin: could not start: ") + e.what());
    } catch (...) {
        return fail_init("auth_plugin: could not start");
    }
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
