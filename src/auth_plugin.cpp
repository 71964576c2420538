// auth_plugin: lets the Mosquitto broker ask a web service who may log in and
// who may read or write which topic. Each question becomes one HTTP POST of an
// URL-encoded form (or a request built from templates: request_template.h);
// the answer grants exactly when its status is 200 (or as http_answers says).
//
// Build:      cmake -S . -B build && cmake --build build     -> build/auth_plugin.so
// Configure (mosquitto.conf; the broker keeps inline comments as part of an
// option's value, so comments go on lines of their own):
//   plugin /usr/lib/x86_64-linux-gnu/mosquitto/auth_plugin.so
//   # the credential and access endpoints
//   plugin_opt_http_user_uri   http://127.0.0.1:8080/user
//   plugin_opt_http_acl_uri    http://127.0.0.1:8080/acl
//   # bound on one exchange; fail fast while the endpoint is down; reuse
//   # connections; reuse decisions for up to a minute, or until the broker
//   # reloads (SIGHUP), when the endpoint is asked again
//   plugin_opt_http_timeout_ms 1000
//   plugin_opt_http_backoff_ms 1000
//   plugin_opt_http_keepalive  true
//   plugin_opt_http_cache_ms   60000
// (auth_plugin / auth_opt_* are the older spelling of the same lines.)

#include <memory>
#include <string>

#include "auth_plugin.h"
#include "checker.h"
#include "decision_log.h"
#include "log.h"
#include "startup.h"
#include "token_login.h"

namespace {

// What runs the checks, and what it said at start (said again at a reload).
struct Core {
    explicit Core(Configuration configuration) : checker(std::move(configuration)) {}
    CurlGlobal curl;  // first in, last out
    Checker checker;
    std::vector<std::string> lines;
};

// The broker loads the library once per listener that names it, and every
// load shares these. The first initialisation creates the core, later ones
// with the same settings share it, and the last clean-up frees it. Only the
// broker's one thread initialises and cleans up, never during a check.
// Plain pointers, so that loading the library runs no code.
Core *core = nullptr;
int live_loads = 0;
// Before the first initialisation, after the last clean-up, or after an
// initialisation that failed, nothing is trusted: every check refuses until
// an initialisation succeeds.
bool refuse_all = true;
// Between the reload's clean-ups and its initialisations: one notice per reload.
bool reload_to_log = false;

int fail_init(const std::string &line) noexcept {
    log_start_up_error(line);
    refuse_all = true;
    return AUTH_PLUGIN_ERR_INVAL;
}

// The version-2 interface's access codes.
Access access_of(int code) noexcept {
    switch (code) {
    case AUTH_PLUGIN_ACL_READ: return Access::read;
    case AUTH_PLUGIN_ACL_WRITE: return Access::write;
    default: return Access::none;
    }
}

}  // namespace

extern "C" {

int mosquitto_auth_plugin_version(void) noexcept { return 2; }

int mosquitto_auth_plugin_init(void **, struct auth_option *opts, int opt_count) noexcept {
    const bool first = live_loads == 0;
    bool differs = false;
    std::unique_ptr<Core> made;
    StartUp started;
    const auto build = [&](Configuration configuration) {
        if (first) made = std::make_unique<Core>(std::move(configuration));
        else  // one copy of the globals cannot apply two policies
            differs = configuration.settings != core->checker.settings();
    };
    // The key set tried once now: the line says which keys are in force, or that none are yet.
    const auto describe = [&] {
        std::vector<std::string> lines;
        if (made && made->checker.tokens()) lines.push_back(made->checker.tokens()->start());
        return lines;
    };
    if (!start_up(opts, opt_count, Interface::v2, build, describe, started)) return fail_init(started.error);
    if (differs)
        return fail_init("auth_plugin: loaded again with different options; every listener that "
                         "loads this plug-in must give it the same options");
    if (first) {
        made->lines = std::move(started.lines);
        core = made.release();
        log_start_up(core->lines);
    }
    ++live_loads;
    refuse_all = false;
    return AUTH_PLUGIN_OK;
}

int mosquitto_auth_plugin_cleanup(void *, struct auth_option *, int) noexcept {
    if (live_loads == 0 || --live_loads > 0) return AUTH_PLUGIN_OK;
    delete core;  // closes every kept connection
    core = nullptr;
    refuse_all = true;
    return AUTH_PLUGIN_OK;
}

// On SIGHUP the broker calls both with reload true, then checks every
// connected client's login again. Those checks must reach the endpoint, whose
// policy may have changed with the broker's: kept decisions stop answering
// fresh, though they still answer while the endpoint gives none. Both hooks
// do it, so that either alone suffices; a second time changes nothing.
int mosquitto_auth_security_init(void *, struct auth_option *, int, bool reload) noexcept {
    if (!reload || !core) return AUTH_PLUGIN_OK;
    core->checker.reload();
    if (reload_to_log) log_reload(core->lines);
    reload_to_log = false;
    return AUTH_PLUGIN_OK;
}

int mosquitto_auth_security_cleanup(void *, struct auth_option *, int, bool reload) noexcept {
    if (!reload || !core) return AUTH_PLUGIN_OK;
    core->checker.reload();
    reload_to_log = true;
    return AUTH_PLUGIN_OK;
}

int mosquitto_auth_unpwd_check(void *, const char *username, const char *password) noexcept {
    if (refuse_all || !core) return AUTH_PLUGIN_ERR_AUTH;
    const CheckResult v = core->checker.login({username, password});
    log_decision("login", nullptr, username, nullptr, v);  // this interface tells no client id with a login
    return v.granted() ? AUTH_PLUGIN_OK : AUTH_PLUGIN_ERR_AUTH;
}

int mosquitto_auth_acl_check(void *, const char *clientid, const char *username, const char *topic,
                             int access) noexcept {
    if (refuse_all || !core) return AUTH_PLUGIN_ERR_ACL_DENIED;
    const Access a = access_of(access);
    const CheckResult v = core->checker.access({clientid, username, topic, a});
    log_decision(access_word(a), clientid, username, topic, v);
    return v.granted() ? AUTH_PLUGIN_OK : AUTH_PLUGIN_ERR_ACL_DENIED;
}

int mosquitto_auth_psk_key_get(void *, const char *, const char *, char *, int) noexcept {
    return AUTH_PLUGIN_ERR_AUTH;  // no pre-shared keys, for anyone
}

}  // extern "C"
