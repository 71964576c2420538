// One `plugin` line of the version-5 library: its settings, its checker (with
// its decision cache, back-off) and its stats, and where its route needs one
// a scheduler of pending logins (answered later). Only the broker's thread calls it.
//
// A login's life, in one direction: login() decides it now, or it becomes
// a pending login of the scheduler's; tick() takes the pending logins
// answered since and settles each in one pass (settle()), then does what
// the pass decided to the broker (completions aside: disconnections and
// re-checks asked again come after it); a granted login is admitted into
// the shared connections, which every later question about the connection
// reads (access(), wills included, commands, re-checks at a reload,
// expiry); ended() ends the record, which stays for the broker's last
// question about the connection.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "broker_v5.h"
#include "checker.h"
#include "connections.h"
#include "extra_fields.h"
#include "login_route.h"
#include "login_scheduler.h"
#include "pending_ids.h"
#include "rare_line.h"
#include "recent_refusals.h"
#include "startup.h"
#include "stats.h"
#include "waker.h"

class Instance;

// What every `plugin` line of this library shares while any is loaded: the
// connections, the instances and, where the broker needs one, the waker.
struct Shared {
    explicit Shared(Connections::SessionOf session_of) : connections(session_of) {}
    Connections connections;
    PendingIds pending;
    std::unique_ptr<Waker> waker;       // 2.1 only
    std::vector<Instance *> instances;  // for commands that concern them all
    int users = 0;
    // Commands may re-check any line's connections: each keeps the password
    // its re-check needs when any line takes commands.
    bool keeps_passwords() const noexcept;
};

class Instance {
public:
    // Throws when it cannot be set up.
    explicit Instance(Configuration configuration);
    ~Instance();
    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;
    const Settings &settings() const noexcept { return checker_.settings(); }
    const Checker &checker() const noexcept { return checker_; }
    const LoginRoute &route() const noexcept { return route_; }
    TokenLogins *tokens() noexcept { return checker_.tokens(); }

    // The broker's result codes: success, MOSQ_ERR_AUTH, MOSQ_ERR_ACL_DENIED,
    // MOSQ_ERR_PLUGIN_DEFER, and on 2.1 a delayed, busy or unavailable answer.
    int login(const mosquitto_evt_basic_auth &event) noexcept;
    int access(const mosquitto *client, const char *topic, Access access, const MessageFacts &message) noexcept;
    // Settles what was answered since, ends what expired, and publishes the stats when they are due.
    void tick(mosquitto_evt_tick &event) noexcept;
    // Every kept decision is to be asked again; the logins of admitted
    // connections until the next TICK are the reload's re-checks.
    void reload() noexcept;
    // A connection ended: DISCONNECT, or (offline) 2.1's CLIENT_OFFLINE.
    void ended(const mosquitto *client, bool offline) noexcept;
    // A message on $CONTROL/auth_plugin/v1 (http_control): its commands are
    // run and answered to the sender.
    void control(const mosquitto_evt_control &event) noexcept;

    // What a command's re-check of a connection came to.
    enum class Recheck { pending, granted, refused, not_asked_no_password, not_asked_failed };
    Recheck recheck(const mosquitto *client) noexcept;
    // Disconnects client if it is admitted and the broker still holds it
    // under its id. The broker ends it at once: its end event comes back in.
    void kick(const void *client) noexcept;

    // What was said at start, said again at each reload.
    std::vector<std::string> start_up_lines;

private:
    // A login that came to v: its record and its answer to the broker.
    int decided(const mosquitto *client, const std::string &clientid, const LoginQuestion &question,
                const CheckResult &v) noexcept;
    // What settling a pending login leaves for the broker, after the pass.
    enum class Then : std::uint8_t { nothing, kick, recheck };
    Then settle(LoginScheduler::PendingLogin &p) noexcept;
    // The one admission: a granted login, or one left to the broker's other
    // checks, gets its record; false when it could not be kept.
    bool admit(const mosquitto *client, const char *clientid, const char *username, const char *password,
               const CheckResult &v, bool takes_over = true) noexcept;
    // A login decided here: its stats and its debug line.
    void counted(const CheckResult &v, Stats::Clock::time_point start, const char *clientid,
                 const char *username) noexcept;
    // Asks the endpoint again about an admitted connection, never the cache:
    // pending (nothing returned: it stands until the answer) where a TICK
    // will settle it, else now. No answer (unavailable()) is no news: the
    // connection stays as it was and waits for the endpoint.
    std::optional<CheckResult> ask_again(const std::string &clientid, const mosquitto *client, unsigned long serial,
                                     const LoginQuestion &question, bool merge) noexcept;
    // Pending login token, on whichever line, is superseded by a newer login of its id.
    void cancel_pending(unsigned long token) noexcept;
    // A login answered later said "ignore", which it cannot be: the line
    // that says why it is refused, at most every ten seconds.
    void tell_ignored(const std::string &clientid) noexcept;
    void end_expired(Waker *waker) noexcept;
    // A re-check that got no answer: its connection keeps what it had and is
    // asked again once the endpoint answers (bounded: past the bound, at the
    // next reload or command).
    void wait_for_endpoint(const std::string &clientid, const void *client, unsigned long serial,
                           const char *username, const char *password) noexcept;
    // At a TICK: the re-checks waiting for the endpoint that are due, asked
    // again behind; one at a time until an exchange of this line gets an
    // answer, then all of them. And the line that says how many wait.
    void ask_waiting(Stats::Clock::time_point now) noexcept;
    void tell_waiting(Stats::Clock::time_point now) noexcept;
    // How soon a re-check that got no answer is asked again.
    static constexpr std::chrono::seconds waiting_pace{1};
    // Every line's pending logins of that user or client id (null: any) are
    // refused when their answers come; their users added. Throws std::bad_alloc.
    std::size_t withdraw_pending(const char *username, const char *clientid, std::set<std::string> &users);
    // 2.0.11 with per_listener_settings true sends no TICK: said once it is clear.
    void tell_if_no_tick() noexcept;
    void leave_shared() noexcept;

    // The broker's functions that only 2.1 has, looked up at start.
    using CompleteLogin = void (*)(const char *clientid, int result);

    CurlGlobal curl_;  // first in, last out
    Checker checker_;
    CompleteLogin complete_ = nullptr;  // completes a pending login
    LoginRoute route_;
    std::unique_ptr<Stats> stats_;  // null unless http_stats_interval_s is set
    Shared *shared_ = nullptr;      // held from start to end
    bool reloading_ = false;        // between RELOAD and the next TICK
    bool ticked_ = false;           // TICK arrives (2.0.11 sends none with per_listener_settings true)
    bool told_no_tick_ = false;
    Stats::Clock::time_point started_;
    RecentRefusals refusals_;                        // logins answered later only
    std::vector<LoginScheduler::PendingLogin> answered_;  // tick()'s own
    std::vector<std::pair<const void *, Then>> follow_ups_;  // tick()'s own, room for every answer
    struct Waiting {
        const void *client;
        unsigned long serial;
        std::string clientid, username, password;
        Stats::Clock::time_point due;  // asked again no sooner (an endpoint failing for it alone is not hammered)
    };
    static constexpr std::size_t max_waiting = 100000;
    std::deque<Waiting> waiting_;         // re-checks that got no answer, oldest (soonest due) first
    bool endpoint_answered_ = false;      // an exchange of this line got an answer since waiting_ was last asked
    std::size_t told_waiting_ = 0;        // the count the last line said
    Stats::Clock::time_point next_tell_{}, next_probe_{};
    RareLine ignored_line_;  // a pending login answered "ignore", refused
    std::unique_ptr<LoginScheduler> scheduler_;      // last: stopped first; null unless the route needs one
};
