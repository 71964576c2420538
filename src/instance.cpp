#include "instance.h"

#include <dlfcn.h>

#include <algorithm>
#include <string>

#include "broker_client.h"
#include "log.h"
#include "login_rules.h"
#include "questions.h"

namespace {

using Clock = Stats::Clock;

// The broker's answer for a login it will hear of later (2.1; 2.0.11's
// headers lack the name).
constexpr int auth_delayed = -5;


}  // namespace

namespace {

// One for the library, made by the first instance and freed by the last:
// plain globals, so that loading the library runs no code.

Shared *shared = nullptr;

Shared *hold_shared(bool waker) {
    std::unique_ptr<Shared> made;
    if (!shared) made = std::make_unique<Shared>();
    Shared &s = made ? *made : *shared;
    if (waker && !s.waker) s.waker = std::make_unique<Waker>();
    if (made) shared = made.release();
    ++shared->users;
    return shared;
}

void release_shared() noexcept {
    if (shared && --shared->users == 0) {
        delete shared;
        shared = nullptr;
    }
}

// The broker's reason code for a login refused because too many wait (2.1
// sends it to MQTT 5 clients as 0x89; 2.0.11's headers lack the name).
constexpr int server_busy = 137;

}  // namespace

Instance::Instance(Settings settings) : checker_(std::move(settings)), started_(Clock::now()) {
    const Settings &s = checker_.settings();
    complete_ = reinterpret_cast<CompleteLogin>(dlsym(RTLD_DEFAULT, "mosquitto_complete_basic_auth"));
    session_of_ = reinterpret_cast<SessionOf>(dlsym(RTLD_DEFAULT, "mosquitto_client"));
    route_ = decide_login_route(s, complete_ != nullptr);
    if (route_.stats)
        stats_ = std::make_unique<Stats>(std::chrono::seconds(s.http_stats_interval_s), s.http_stats_topic,
                                         started_);
    shared_ = hold_shared(route_.waker());
    try {
        shared_->instances.push_back(this);
    } catch (...) {
        release_shared();
        throw;
    }
    if (!route_.scheduled) return;
    LoginScheduler::Host host;
    host.complete = [this](const std::string &clientid, const void *client, const Verdict &v,
                           const char *username, const char *password) {
        complete(clientid, client, v, username, password);
    };
    host.disconnect = [this](const std::string &clientid, const void *client) { kick(clientid, client); };
    host.renewed = [this](const void *client, unsigned long serial, const Verdict &v) {
        try {
            shared_->connections.renew(client, serial, v.rules);
        } catch (...) {
            // its new rules could not be kept: it goes, rather than keep the old ones
            if (const auto *a = shared_->connections.find(client)) kick(a->clientid, client);
        }
    };
    host.arrived = [waker = shared_->waker.get()] {
        if (waker) waker->wake();
    };
    try {
        scheduler_ = std::make_unique<LoginScheduler>(checker_, checker_.client(), s.http_max_in_flight,
                                                      shared_->connections, std::move(host));
        scheduler_->settled = [this](const Verdict &v, Clock::duration took) {
            if (stats_) stats_->login(v, took);
        };
    } catch (...) {
        scheduler_.reset();
        leave_shared();
        throw;
    }
}

Instance::~Instance() {
    scheduler_.reset();  // before what it reaches: the connections and the waker
    leave_shared();
}

void Instance::leave_shared() noexcept {
    auto &all = shared_->instances;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
    shared_->connections.end_owned_by(this);  // no command may reach this instance again
    release_shared();
}

void Instance::reload() noexcept {
    reloading_ = true;
    checker_.reload();
    tell_if_no_tick();
    log_reload(start_up_lines);
}

void Instance::tell_if_no_tick() noexcept {
    if (ticked_ || told_no_tick_ || route_.newer_broker || !route_.ticks()) return;
    // 2.0.11 calls TICK on every pass of its loop, about ten times a second,
    // when it calls it at all: none by a reload, or for two seconds, is none.
    if (!reloading_ && Clock::now() - started_ < std::chrono::seconds(2)) return;
    told_no_tick_ = true;
    log_line(LogLevel::warning, "auth_plugin: this broker sends no TICK (Mosquitto 2.0.11 with "
                                "per_listener_settings true): no stats are published, a reload re-checks at "
                                "once, and connections past their rules' expire_at are refused access but not "
                                "disconnected; with per_listener_settings false, or Mosquitto 2.0.15 or later, "
                                "all of these run");
}

void Instance::kick(const std::string &clientid, const void *client) noexcept {
    // The broker kicks by client id: only while that id is this connection's.
    if (!session_of_ || session_of_(clientid.c_str()) == client)
        mosquitto_kick_client_by_clientid(clientid.c_str(), false);
}

void Instance::ended(const mosquitto *client) noexcept {
    if (!scheduler_) return;
    shared_->connections.end(client);
    scheduler_->disconnected(client);
    // 2.0.11 cannot say later which session it holds (2.1 can: session_of_).
    if (!session_of_ && !mosquitto_client_clean_session(client)) {
        try {
            const char *id = mosquitto_client_id(client);
            shared_->connections.went_offline(client, id ? id : "");
        } catch (...) {
            // its re-check at a reload is then asked like a login
        }
    }
}

void Instance::complete(const std::string &clientid, const void *client, const Verdict &v, const char *username,
                        const char *password) noexcept {
    // A delayed login cannot be handed to the broker's other checks (2.1
    // refuses any answer but success): an answer that defers refuses here.
    bool granted = v.granted;
    if (granted) {
        try {
            shared_->connections.admit(client, clientid, this, username, password, v.rules);
        } catch (...) {
            granted = false;  // a connection we could not keep track of is not admitted
        }
    }
    complete_(clientid.c_str(), granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_AUTH);
    // The broker admits synchronously; if the client had left while parked,
    // nothing was, and the address may serve another connection later.
    if (granted && session_of_ && session_of_(clientid.c_str()) != client) shared_->connections.end(client);
}

int Instance::login(const mosquitto_evt_basic_auth &event) noexcept {
    const auto start = stats_ ? Clock::now() : Clock::time_point();
    Verdict v;
    try {
        const BrokerClient client(event.client);
        const ExtraFields extra(settings().http_login_fields, client, nullptr);
        if (!scheduler_) {
            v = checker_.login(event.username, event.password, extra.data(), extra.size());
        } else {
            const char *id = mosquitto_client_id(event.client);
            const std::string clientid = id ? id : "";
            Connections &connections = shared_->connections;
            // A reload's re-check is the login of a connection we admitted and
            // have not seen end, asked after RELOAD; on 2.1 it is also the
            // session the broker holds under its id, which a new connection
            // never is until admitted. The broker re-checks sessions without a
            // connection too: on 2.1 told by the same, on 2.0.11 by the end of
            // a connection whose session persists.
            const unsigned long serial = reloading_ ? connections.serial(event.client, clientid) : 0;
            const bool held = reloading_ && (session_of_ ? session_of_(clientid.c_str()) == event.client
                                                         : serial || connections.offline(event.client, clientid));
            // 2.0.11: a login of no session it holds, so its walk is over.
            if (reloading_ && !held) reloading_ = false;
            if (serial && held) {
                // The broker disconnects a client whose re-check is answered
                // later, so it is granted now and revalidated behind; that
                // needs TICK, which 2.1 always sends and 2.0.11 may not.
                if (ask_again(clientid, event.client, serial, event.username, event.password, extra,
                              route_.recheck_behind, v))
                    return MOSQ_ERR_SUCCESS;  // counted once settled
            } else if (held) {
                // A session without a connection of ours (2.1 re-checks
                // offline persistent sessions too): nothing is admitted by
                // answering, so nothing is asked. Refused, as we vouch for no
                // connection there; 2.1 keeps such a session (it only marks it
                // disconnected again), and its next connection logs in afresh.
                return MOSQ_ERR_AUTH;
            } else {
                if (route_.later) {
                    switch (scheduler_->login(clientid, event.client, event.username, event.password, extra.data(),
                                              extra.size(), v)) {
                    case LoginScheduler::Now::later: return auth_delayed;  // counted once settled
                    case LoginScheduler::Now::busy:
                        if (stats_) stats_->login(v, Clock::now() - start);
                        return server_busy;
                    default: break;
                    }
                } else {
                    v = checker_.login(event.username, event.password, extra.data(), extra.size());
                }
                if (v.granted)
                    connections.admit(event.client, clientid, this, event.username,
                                      settings().http_control ? event.password : nullptr, v.rules);
            }
        }
    } catch (...) {
        v = Verdict{};  // a value that could not be had, or no room to remember the connection, refuses
    }
    if (stats_) stats_->login(v, Clock::now() - start);
    // The answer said "ignore": the broker's next check (another plugin
    // line, a password file) decides; where none does, it refuses.
    if (v.deferred) return MOSQ_ERR_PLUGIN_DEFER;
    return v.granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_AUTH;
}

bool Instance::ask_again(const std::string &clientid, const mosquitto *client, unsigned long serial,
                         const char *username, const char *password, const ExtraFields &extra, bool behind,
                         Verdict &v) noexcept {
    // Answered later only where a TICK will settle the answer.
    if (behind && scheduler_ && (ticked_ || complete_))
        return scheduler_->recheck(clientid, client, serial, username, password, extra.data(), extra.size(), v) ==
               LoginScheduler::Now::later;
    v = checker_.login(username, password, extra.data(), extra.size(), false);
    v.deferred = false;  // a connection admitted here is not another check's to keep
    if (v.granted) {
        try {
            shared_->connections.renew(client, serial, v.rules);
        } catch (...) {
            v.granted = false;  // its new rules could not be kept: it goes, rather than keep the old ones
        }
    }
    return false;
}

bool Instance::recheck(const mosquitto *client, const Connections::Admitted &admitted) noexcept {
    if (!admitted.has_username || !admitted.has_password) return true;  // nothing to ask with
    Verdict v;
    try {
        const ExtraFields extra(settings().http_login_fields, BrokerClient(client), nullptr);
        if (ask_again(admitted.clientid, client, admitted.serial, admitted.username.c_str(),
                      admitted.password.c_str(), extra, true, v))
            return true;
    } catch (...) {
        return true;  // not asked: the connection stays as it is
    }
    return v.granted;
}

int Instance::access(const mosquitto *client, const char *topic, Access access,
                     const MessageFacts &message) noexcept {
    const auto start = stats_ ? Clock::now() : Clock::time_point();
    if (stats_) tell_if_no_tick();
    Verdict v;
    if (!route_.login_rules || !by_rules(client, topic, access, message, v))
        v = ask_access(checker_, BrokerClient(client), topic, access, message);
    if (stats_) stats_->access(v, Clock::now() - start);
    return v.granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ACL_DENIED;
}

bool Instance::by_rules(const mosquitto *client, const char *topic, Access access, const MessageFacts &message,
                        Verdict &v) noexcept {
    // Only rules this line's endpoint gave: another line's policy is not
    // this one's, though both share what they know of the connections.
    const Connections::Admitted *a = shared_->connections.find(client);
    if (!a || !a->rules || a->owner != this) return false;
    const LoginRules &rules = *a->rules;
    v.by_rules = true;
    // Its time is up: nothing more is granted, whether or not TICK has come
    // to disconnect it (2.0.11 with per_listener_settings true sends none).
    if (rules.expired(unix_now())) return true;
    if (rules.is_superuser()) {
        v.granted = true;
        return true;
    }
    if (!rules.has_acl() || access == Access::unsubscribe || access == Access::none) {
        v.by_rules = false;  // decided as without rules
        return false;
    }
    switch (rules.decide(access, topic ? topic : "", message.qos, message.retain,
                         a->has_username ? a->username.c_str() : nullptr, a->clientid.c_str())) {
    case LoginRules::Decision::allow: v.granted = true; return true;
    case LoginRules::Decision::deny: return true;
    case LoginRules::Decision::no_match: break;
    }
    // No rule decides: the access endpoint does, as without rules; without one, refused.
    if (!settings().http_acl_uri) return true;
    v.by_rules = false;
    return false;
}

void Instance::end_expired(Waker *waker) noexcept {
    Connections &connections = shared_->connections;
    const std::int64_t now = unix_now();
    try {
        for (const void *client : connections.expired(now))
            if (const auto *a = connections.find(client)) kick(a->clientid, client);
    } catch (...) {
        return;  // tried again at the next TICK; meanwhile their access is refused
    }
    // 2.1 may sleep past the next expiry; 2.0.11 ticks ten times a second.
    // At most a day ahead: an expiry years away must not overflow the clock.
    if (const auto next = connections.next_expiry(); next && waker)
        waker->wake_at(Clock::now() + std::chrono::seconds(std::min<std::int64_t>(*next - now, 86400)));
}

void Instance::tick(mosquitto_evt_tick &event) noexcept {
    ticked_ = true;
    reloading_ = false;
    Waker *waker = shared_->waker.get();
    // Said before the answers are taken: one arriving meanwhile wakes again.
    if (waker) waker->woken();
    if (scheduler_) scheduler_->tick();
    // 2.1 calls a callback that asked 0 on every pass of its loop, which
    // bounds no wait, and the waker ends the wait when something is due.
    // 2.0.11 calls about ten times a second whatever this says.
    event.next_s = 0;
    event.next_ns = 0;
    if (route_.login_rules) end_expired(waker);
    if (!stats_) return;
    const auto now = Clock::now();
    {
        try {
            for (const auto &[topic, payload] : stats_->due(now))
                mosquitto_broker_publish_copy(nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                              payload.data(), 0, true, nullptr);
        } catch (...) {
            // no stats this time; the counts go on
        }
    }
    if (waker) {
        waker->wake_at(now + stats_->until_due(now));
        return;
    }
    // Without a waker (2.0.11), a later call is the same as the next one.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(stats_->until_due(now)).count();
    event.next_s = static_cast<time_t>(ms / 1000);
    event.next_ns = static_cast<long>(ms % 1000);
}
