#include "instance.h"

#include <dlfcn.h>

#include <algorithm>
#include <string>

#include "broker_client.h"
#include "decision_log.h"
#include "log.h"
#include "login_rules.h"
#include "questions.h"

namespace {

using Clock = Stats::Clock;

// The broker's answers that 2.0.11's headers lack: a login it will hear of
// later, and the reason codes 2.1 sends to MQTT 5 clients for a login its
// plug-in could not decide (0x88) or refused as too busy (0x89).
constexpr int auth_delayed = -5;
constexpr int server_unavailable = 136;
constexpr int server_busy = 137;

// The broker's own functions, as the connections use them.
void kick_by_clientid(const char *clientid) { mosquitto_kick_client_by_clientid(clientid, false); }
using SessionOf = const void *(*)(const char *clientid);

// One for the library, made by the first instance and freed by the last:
// plain globals, so that loading the library runs no code.
Shared *shared = nullptr;

Shared *hold_shared(bool waker) {
    std::unique_ptr<Shared> made;
    if (!shared) {
        // 2.1 says which session it holds under an id; 2.0.11 cannot.
        const auto session_of = reinterpret_cast<SessionOf>(dlsym(RTLD_DEFAULT, "mosquitto_client"));
        made = std::make_unique<Shared>(Connections::Broker{&kick_by_clientid, session_of});
    }
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

}  // namespace

bool Shared::keeps_passwords() const noexcept {
    // Commands re-check logins; an access template may send the password.
    return std::any_of(instances.begin(), instances.end(), [](const Instance *i) {
        return i->settings().http_control ||
               (i->checker().access_plan().uses() & bit(Placeholder::password)) != 0;
    });
}

Instance::Instance(Configuration configuration) : checker_(std::move(configuration)), started_(Clock::now()) {
    const Settings &s = checker_.settings();
    complete_ = reinterpret_cast<CompleteLogin>(dlsym(RTLD_DEFAULT, "mosquitto_complete_basic_auth"));
    route_ = decide_login_route(s, complete_ != nullptr);
    if (route_.stats)
        stats_ = std::make_unique<Stats>(std::chrono::seconds(s.http_stats_interval_s), s.http_stats_topic,
                                         started_);
    shared_ = hold_shared(route_.waker());
    try {
        shared_->instances.push_back(this);
        if (route_.scheduled) {
            Waker *waker = shared_->waker.get();
            scheduler_ = std::make_unique<LoginScheduler>(checker_, checker_.client(), s.http_max_in_flight,
                                                          shared_->connections, [waker] {
                                                              if (waker) waker->wake();
                                                          });
        }
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
    shared_->connections.end_owned_by(this);  // nothing may reach this instance again
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
    try {
        log_line(LogLevel::warning, ("auth_plugin: this broker sends no TICK (Mosquitto 2.0.11 with "
                                     "per_listener_settings true): " +
                                     without_tick(route_) +
                                     "; with per_listener_settings false, or Mosquitto 2.0.15 or later, this runs")
                                        .c_str());
    } catch (...) {  // no memory for the words: the warning is lost, nothing else
    }
}

void Instance::ended(const mosquitto *client, bool offline) noexcept {
    // Whether the broker keeps its session, and so may ask about its will
    // later: 2.1 says so by the event; 2.0.11 only by the connection's
    // flags (an MQTT 5 session may persist with a clean start).
    const bool persists = route_.newer_broker ? offline
                                              : !mosquitto_client_clean_session(client) ||
                                                    mosquitto_client_protocol_version(client) == 5;
    shared_->connections.end(client, persists);
    if (scheduler_) scheduler_->disconnected(client);
}

int Instance::login(const mosquitto_evt_basic_auth &event) noexcept {
    const auto start = stats_ || route_.later ? Clock::now() : Clock::time_point();
    Connections &connections = shared_->connections;
    connections.sweep();  // any will of a connection ended before this login has been asked about
    Verdict v;
    int result = MOSQ_ERR_AUTH;
    try {
        const BrokerClient client(event.client);
        const LoginAsked asked(checker_, client, event.username, event.password);
        const char *id = mosquitto_client_id(event.client);
        const std::string clientid = id ? id : "";
        // A reload's re-check is the login of a connection we admitted and
        // have not seen end, asked after RELOAD; on 2.1 it is also the
        // session the broker holds under its id, which a new connection
        // never is until admitted. The broker re-checks sessions without a
        // connection too: on 2.1 told by the same, on 2.0.11 by the end of
        // a connection whose session persists.
        const bool rechecking = reloading_ && route_.recheck_known;
        const unsigned long serial = rechecking ? connections.serial(event.client, clientid) : 0;
        const bool held = rechecking && (route_.newer_broker ? connections.session(clientid) == event.client
                                                             : serial || connections.offline(event.client, clientid));
        // 2.0.11: a login of no session it holds, so its walk is over.
        if (rechecking && !held) reloading_ = false;
        const Connections::Record *record = connections.find(event.client);
        if (serial && held && record->state == Connections::State::admitted) {
            // The broker disconnects a client whose re-check is answered
            // later, so it is granted now and revalidated behind.
            if (ask_again(clientid, event.client, serial, asked.question(), false, v))
                return MOSQ_ERR_SUCCESS;  // counted once settled
            result = v.granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_AUTH;
        } else if (held && !(record && record->state == Connections::State::deferred)) {
            // A session without a connection of ours (2.1 re-checks offline
            // persistent sessions too): nothing is admitted by answering, so
            // nothing is asked. Refused, as we vouch for no connection
            // there; 2.1 keeps such a session (it only marks it
            // disconnected again), and its next connection logs in afresh.
            // One our login left to the broker's other checks is asked
            // again below as a login: they decide again too.
        } else {
            // A re-check cannot be answered later: the broker would disconnect it.
            if (route_.later && !held) {
                const char *address = client.address();
                const LoginQuestion &q = asked.question();
                // Counts nothing: only the endpoint's refusals do.
                if (refusals_.refuses({address, id, q.username, q.password}, start)) {
                    v.refused_at_once = true;
                    counted(v, start, clientid.c_str(), event.username);
                    return MOSQ_ERR_AUTH;  // not left pending: the id stays free for its owner
                }
                // Its password kept for the refusals' key when answered
                // (admit() keeps it only where commands need it).
                switch (scheduler_->login(clientid, event.client, address, q, true, v)) {
                case LoginScheduler::Now::later: return auth_delayed;  // counted once settled
                case LoginScheduler::Now::busy:
                    counted(v, start, clientid.c_str(), event.username);
                    return server_busy;
                default: break;
                }
            } else {
                v = checker_.login(asked.question());
            }
            result = decided(event.client, clientid, asked.question(), v);
        }
    } catch (...) {
        v = Verdict{};  // a value that could not be had, or no room to remember the connection, refuses
        result = MOSQ_ERR_AUTH;
    }
    const char *id = mosquitto_client_id(event.client);
    counted(v, start, id, event.username);
    return result;
}

void Instance::counted(const Verdict &v, Clock::time_point start, const char *clientid,
                       const char *username) noexcept {
    if (stats_) stats_->login(v, Clock::now() - start);
    log_decision("login", clientid, username, nullptr, v);
}

int Instance::decided(const mosquitto *client, const std::string &clientid, const LoginQuestion &question,
                      const Verdict &v) noexcept {
    if ((v.granted || v.deferred) && !admit(client, clientid.c_str(), question.username, question.password, v))
        return MOSQ_ERR_AUTH;
    // The answer said "ignore": the broker's next check (another plugin
    // line, a password file) decides; where none does, it refuses.
    if (v.deferred) return MOSQ_ERR_PLUGIN_DEFER;
    if (v.granted) return MOSQ_ERR_SUCCESS;
    // 2.1 sends an MQTT 5 client this code as the reason: try again later.
    return v.unavailable() && route_.newer_broker ? server_unavailable : MOSQ_ERR_AUTH;
}

bool Instance::admit(const mosquitto *client, const char *clientid, const char *username, const char *password,
                     const Verdict &v) noexcept {
    try {
        shared_->connections.admit(client, {this, clientid, username, shared_->keeps_passwords() ? password : nullptr,
                                            v.rules, v.deferred});
        return true;
    } catch (...) {
        return false;  // a connection we could not keep track of is not admitted
    }
}

void Instance::settle(LoginScheduler::Settled &s) noexcept {
    Connections &connections = shared_->connections;
    const auto *client = static_cast<const mosquitto *>(s.client);
    if (stats_) stats_->login(s.verdict, s.took);
    log_decision(s.kind == LoginScheduler::Settled::Kind::login ? "login" : "re-check", s.clientid.c_str(),
                 s.username ? s.username->c_str() : nullptr, nullptr, s.verdict);
    switch (s.kind) {
    case LoginScheduler::Settled::Kind::login: {
        // A delayed login cannot be handed to the broker's other checks (2.1
        // refuses any answer but success): an answer that defers refuses here.
        const bool granted =
            s.verdict.granted && admit(client, s.clientid.c_str(), s.username ? s.username->c_str() : nullptr,
                                       s.password ? s.password->c_str() : nullptr, s.verdict);
        // Only the endpoint's refusals count: a login that got no answer
        // (an outage, too late) or that a command refused says nothing
        // against the address.
        if (!s.verdict.granted && !s.verdict.unavailable() && !s.verdict.withdrawn) {
            refusals_.refused({s.address.c_str(), s.clientid.c_str(), s.username ? s.username->c_str() : nullptr,
                               s.password ? s.password->c_str() : nullptr},
                              Clock::now());
        }
        complete_(s.clientid.c_str(), granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_AUTH);
        // The broker admits synchronously; if the client had left while
        // parked, nothing was, and the address may serve another later.
        if (granted && connections.session(s.clientid) != client) connections.end(client, false);
        return;
    }
    case LoginScheduler::Settled::Kind::recheck:
    case LoginScheduler::Settled::Kind::recheck_again:
        if (!s.verdict.granted) {
            connections.kick(client);
            return;
        }
        try {
            connections.renew(client, s.serial, s.verdict.rules);
        } catch (...) {
            connections.kick(client);  // its new rules could not be kept: it goes, rather than keep the old ones
            return;
        }
        // Asked again by a command while this answer was on its way.
        if (s.kind == LoginScheduler::Settled::Kind::recheck_again && recheck(client) == Recheck::refused)
            connections.kick(client);
        return;
    }
}

bool Instance::ask_again(const std::string &clientid, const mosquitto *client, unsigned long serial,
                         const LoginQuestion &question, bool merge, Verdict &v) noexcept {
    // Answered later only where asked to and a TICK will settle the answer.
    if (route_.recheck_behind && scheduler_ && (ticked_ || complete_))
        return scheduler_->recheck(clientid, client, serial, question, merge, v) == LoginScheduler::Now::later;
    v = checker_.login(question, false);
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

Instance::Recheck Instance::recheck(const mosquitto *client) noexcept {
    const Connections::Record *r = shared_->connections.find(client);
    if (!r || r->state != Connections::State::admitted || r->line != this) return Recheck::not_asked_failed;
    if (!r->username || !r->password) return Recheck::not_asked_no_password;
    try {
        // Copied: asking may change the records.
        const std::string clientid = r->clientid, username = *r->username, password = *r->password;
        const unsigned long serial = r->serial;
        const LoginAsked asked(checker_, BrokerClient(client), username.c_str(), password.c_str());
        Verdict v;
        if (ask_again(clientid, client, serial, asked.question(), true, v)) return Recheck::asked;
        return v.granted ? Recheck::granted : Recheck::refused;
    } catch (...) {
        return Recheck::not_asked_failed;  // the connection stays as it is
    }
}

int Instance::access(const mosquitto *client, const char *topic, Access access,
                     const MessageFacts &message) noexcept {
    const auto start = stats_ ? Clock::now() : Clock::time_point();
    if (stats_) tell_if_no_tick();
    Verdict v;
    bool by_rules = false;
    const Connections::Record *record = nullptr;
    const char *id = mosquitto_client_id(client);
    const char *clientid = id ? id : "";
    if (route_.login_rules || (checker_.access_plan().uses() & bit(Placeholder::password))) {
        record = shared_->connections.find(client);
        // A record at this address under another client id is an older
        // connection's, which the broker freed (2.0.11 keeps a persistent
        // session's record): it says nothing about this one.
        if (record && record->clientid != clientid) record = nullptr;
    }
    if (route_.login_rules) {
        // Only rules this line's endpoint gave: another line's policy is not
        // this one's. The record outlives its connection, so that its will
        // is decided as its own publish would have been.
        const Connections::Record *r = record;
        if (r && r->rules && r->line == this)
            by_rules = decide_by_rules(*r->rules, settings(), access, topic, message,
                                       r->username ? r->username->c_str() : nullptr, r->clientid.c_str(), v);
        // An ended connection whose rules had to be dropped: its will
        // cannot be decided as they would have, so it is refused.
        if (!r && shared_->connections.forgotten(client, clientid)) {
            v.rules_lost = true;
            by_rules = true;
        }
    }
    // ${password} in an access template: the one its login gave (kept for it).
    const char *password = record && record->password ? record->password->c_str() : nullptr;
    if (!by_rules) v = ask_access(checker_, BrokerClient(client), topic, access, message, password);
    if (stats_) stats_->access(v, Clock::now() - start);
    log_decision(access_word(access), mosquitto_client_id(client), mosquitto_client_username(client), topic, v);
    // The answer said "ignore" (http_answers json): the broker's next check decides.
    return v.granted ? MOSQ_ERR_SUCCESS : v.deferred ? MOSQ_ERR_PLUGIN_DEFER : MOSQ_ERR_ACL_DENIED;
}

void Instance::end_expired(Waker *waker) noexcept {
    Connections &connections = shared_->connections;
    const std::int64_t now = unix_now();
    try {
        for (const void *client : connections.expired(now)) connections.kick(client);
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
    shared_->connections.sweep();
    if (scheduler_) {
        try {
            scheduler_->reserve(settled_);
            scheduler_->take(settled_);
        } catch (...) {
            // no room to take them: they wait for the next TICK
        }
        // Settling may start a re-check, which never adds here.
        for (auto &s : settled_) settle(s);
        settled_.clear();
    }
    // 2.1 calls a callback that asked 0 on every pass of its loop, which
    // bounds no wait, and the waker ends the wait when something is due.
    // 2.0.11 calls about ten times a second whatever this says.
    event.next_s = 0;
    event.next_ns = 0;
    if (route_.login_rules) end_expired(waker);
    if (!stats_) return;
    const auto now = Clock::now();
    // Read only when due: TICK may come on every pass of the broker's loop.
    if (scheduler_ && stats_->until_due(now) == Clock::duration::zero())
        stats_->queue(scheduler_->limit(), scheduler_->queued());
    try {
        for (const auto &[topic, payload] : stats_->due(now))
            mosquitto_broker_publish_copy(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                                          true, nullptr);
    } catch (...) {
        // no stats this time; the counts go on
    }
    // Without a waker (2.0.11) nothing is said: that broker calls TICK on
    // every pass of its loop whatever the fields say, and its header names
    // in nanoseconds the field that 2.1 reads in milliseconds.
    if (waker) waker->wake_at(now + stats_->until_due(now));
}
