// One `plugin` line of the version-5 library: its settings, its checker (with
// its decision cache, back-off and connections) and its stats. Only the
// broker's thread calls it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "broker_v5.h"
#include "checker.h"
#include "extra_fields.h"
#include "login_route.h"
#include "login_scheduler.h"
#include "startup.h"
#include "stats.h"
#include "waker.h"

class Instance;

// What every `plugin` line of this library shares while any is loaded: the
// connections it admitted, the instances and, where the broker needs one,
// the waker.
struct Shared {
    Connections connections;
    std::unique_ptr<Waker> waker;       // 2.1 only
    std::vector<Instance *> instances;  // for commands that concern them all
    int users = 0;
};

class Instance {
public:
    // Throws when it cannot be set up.
    explicit Instance(Settings settings);
    ~Instance();
    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;
    const Settings &settings() const noexcept { return checker_.settings(); }
    const LoginRoute &route() const noexcept { return route_; }

    // The broker's result codes: success, MOSQ_ERR_AUTH, MOSQ_ERR_ACL_DENIED,
    // and on 2.1 a delayed or busy answer.
    int login(const mosquitto_evt_basic_auth &event) noexcept;
    int access(const mosquitto *client, const char *topic, Access access, const MessageFacts &message) noexcept;
    // Completes what was answered since, and publishes the stats when they are due.
    void tick(mosquitto_evt_tick &event) noexcept;
    // Every kept decision is to be asked again; the logins of admitted
    // connections until the next TICK are the reload's re-checks.
    void reload() noexcept;
    // A connection ended (DISCONNECT, or CLIENT_OFFLINE on 2.1).
    void ended(const mosquitto *client) noexcept;
    // A message on $CONTROL/auth_plugin/v1 (http_control): its commands are
    // run and answered to the sender.
    void control(const mosquitto_evt_control &event) noexcept;

    // What was said at start, said again at each reload.
    std::vector<std::string> start_up_lines;

private:
    void complete(const std::string &clientid, const void *client, bool granted, const char *username,
                  const char *password) noexcept;
    // Asks again about an admitted connection of this instance, as a reload's
    // re-check would (a command's); false when it was refused at once.
    bool recheck(const mosquitto *client, const Connections::Admitted &admitted) noexcept;
    // Asks the endpoint again about an admitted connection, never the cache:
    // behind (true returned: it stands until the answer) where asked to and a
    // TICK will settle it, else now, into v.
    bool ask_again(const std::string &clientid, const mosquitto *client, unsigned long serial, const char *username,
                   const char *password, const ExtraFields &extra, bool behind, Verdict &v) noexcept;
    // 2.0.11 with per_listener_settings true sends no TICK: said once it is clear.
    void tell_if_no_tick() noexcept;
    void leave_shared() noexcept;

    // The broker's functions that only 2.1 has, looked up at start.
    using CompleteLogin = void (*)(const char *clientid, int result);
    using SessionOf = mosquitto *(*)(const char *clientid);

    CurlGlobal curl_;  // first in, last out
    Checker checker_;
    CompleteLogin complete_ = nullptr;  // answers a delayed login
    SessionOf session_of_ = nullptr;    // the session the broker holds under a client id
    LoginRoute route_;
    std::unique_ptr<Stats> stats_;  // null unless http_stats_interval_s is set
    Shared *shared_ = nullptr;      // held from start to end
    bool reloading_ = false;        // between RELOAD and the next TICK
    bool ticked_ = false;           // TICK arrives (2.0.11 sends none with per_listener_settings true)
    bool told_no_tick_ = false;
    Stats::Clock::time_point started_;
    std::unique_ptr<LoginScheduler> scheduler_;  // last: stopped first; null unless the route needs one
};
