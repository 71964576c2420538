// Routing a `plugin` line's questions: logins (now, or handed to the
// scheduler and settled at a TICK), re-checks, access checks and wills, and
// the end of a connection, each read from and written to the one record of
// its connection. Lifecycle: instance_lifecycle.cpp; TICK: instance_tick.cpp.
#include "instance.h"

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

}  // namespace

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
    CheckResult v;
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
        if (rechecking && !held) {
            reloading_ = false;
            tell_waiting(start == Clock::time_point() ? Clock::now() : start);
        }
        const Connections::Record *record = connections.find(event.client);
        if (serial && held && record->state == Connections::State::admitted) {
            // The broker disconnects a client whose re-check is answered
            // later, so it is granted now and revalidated behind.
            auto now = ask_again(clientid, event.client, serial, asked.question(), false);
            if (!now) return MOSQ_ERR_SUCCESS;  // counted once settled
            v = std::move(*now);
            // No answer is no news: it keeps what it had, and waits for the
            // endpoint (a reload during an outage must not drop the fleet).
            result = v.granted() || v.unavailable() ? MOSQ_ERR_SUCCESS : MOSQ_ERR_AUTH;
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
                    v.source = Source::guard;
                    counted(v, start, clientid.c_str(), event.username);
                    return MOSQ_ERR_AUTH;  // not left pending: the id stays free for its owner
                }
                // Pending under the newest token of its id before it is
                // asked: an older pending login of the id completes nothing.
                PendingIds &ids = shared_->pending;
                const unsigned long token = ids.next_token();
                cancel_pending(ids.newest(clientid, token, this));
                // Its password kept for the refusals' key when answered
                // (admit() keeps it only where commands need it).
                auto now = scheduler_->login(token, clientid, event.client, address, q, true);
                if (!now) return auth_delayed;  // counted once settled
                ids.answered_now(clientid);  // answered now: it supersedes, and is not pending
                v = std::move(*now);
                if (v.source == Source::busy) {
                    counted(v, start, clientid.c_str(), event.username);
                    return server_busy;
                }
            } else {
                v = checker_.login(asked.question());
            }
            // The re-check of a connection left to the broker's other checks
            // that got no answer: left to them again, as it was.
            result = held && v.unavailable() ? MOSQ_ERR_PLUGIN_DEFER
                                             : decided(event.client, clientid, asked.question(), v);
        }
    } catch (...) {
        v = CheckResult{};  // a value that could not be had, or no room to remember the connection, refuses
        result = MOSQ_ERR_AUTH;
    }
    const char *id = mosquitto_client_id(event.client);
    counted(v, start, id, event.username);
    return result;
}

void Instance::counted(const CheckResult &v, Clock::time_point start, const char *clientid,
                       const char *username) noexcept {
    if (v.source == Source::endpoint && !v.unavailable()) endpoint_answered_ = true;
    if (stats_) stats_->login(v, Clock::now() - start);
    log_decision("login", clientid, username, nullptr, v);
}

int Instance::decided(const mosquitto *client, const std::string &clientid, const LoginQuestion &question,
                      const CheckResult &v) noexcept {
    if ((v.granted() || v.deferred()) && !admit(client, clientid.c_str(), question.username, question.password, v))
        return MOSQ_ERR_AUTH;
    // The answer said "ignore": the broker's next check (another plugin
    // line, a password file) decides; where none does, it refuses.
    if (v.deferred()) return MOSQ_ERR_PLUGIN_DEFER;
    if (v.granted()) return MOSQ_ERR_SUCCESS;
    // 2.1 sends an MQTT 5 client this code as the reason: try again later.
    return v.unavailable() && route_.newer_broker ? server_unavailable : MOSQ_ERR_AUTH;
}

bool Instance::admit(const mosquitto *client, const char *clientid, const char *username, const char *password,
                     const CheckResult &v, bool takes_over) noexcept {
    try {
        shared_->connections.admit(client, {this, clientid, username, shared_->keeps_passwords() ? password : nullptr,
                                            v.rules, v.deferred(), takes_over});
        return true;
    } catch (...) {
        return false;  // a connection we could not keep track of is not admitted
    }
}

Instance::Then Instance::settle(LoginScheduler::PendingLogin &p) noexcept {
    using Kind = LoginScheduler::PendingLogin::Kind;
    Connections &connections = shared_->connections;
    const auto *client = static_cast<const mosquitto *>(p.client);
    const CheckResult &v = p.result;
    if (p.kind == Kind::login) {
        // Superseded by a newer login of its id: the broker holds only the newest.
        if (!shared_->pending.settled(p.clientid, p.token)) return Then::nothing;
    } else if (p.state == LoginScheduler::PendingLogin::State::replaced ||
               connections.serial(client, p.clientid) != p.serial) {
        return Then::nothing;  // not the connection asked about, or a newer re-check is in force
    }
    if (v.source == Source::endpoint && !v.unavailable()) endpoint_answered_ = true;
    if (stats_) stats_->login(v, p.took);
    // A re-check without an answer keeps its client: the line says so beside "refused".
    const char *kind = p.kind == Kind::login ? "login"
                       : v.unavailable()     ? "re-check (its client stays until the endpoint answers)"
                                             : "re-check";
    log_decision(kind, p.clientid.c_str(),
                 p.username ? p.username->c_str() : nullptr, nullptr, v);
    if (p.kind == Kind::recheck) {
        if (v.unavailable()) {
            // No answer is no news: it keeps what it had until the endpoint answers.
            wait_for_endpoint(p.clientid, client, p.serial, p.username ? p.username->c_str() : nullptr,
                              p.password ? p.password->c_str() : nullptr);
            return Then::nothing;
        }
        if (!v.granted()) return Then::kick;
        try {
            connections.renew(client, p.serial, v.rules);
        } catch (...) {
            return Then::kick;  // its new rules could not be kept: it goes, rather than keep the old ones
        }
        // Asked again by a command while this answer was on its way.
        return p.again ? Then::recheck : Then::nothing;
    }
    // A pending login cannot be handed to the broker's other checks (2.1
    // refuses any answer but success): an answer that defers refuses here.
    if (v.deferred()) tell_ignored(p.clientid);
    const char *username = p.username ? p.username->c_str() : nullptr;
    const char *password = p.password ? p.password->c_str() : nullptr;
    // Its client may have left while pending: what it takes over is known
    // only once the broker has completed it.
    const bool granted = v.granted() && admit(client, p.clientid.c_str(), username, password, v, false);
    // Only the endpoint's refusals count: a login that got no answer (an
    // outage, too late) or that a command withdrew says nothing against
    // the address.
    if (!v.granted() && !v.unavailable() && v.source != Source::withdrawn)
        refusals_.refused({p.address.c_str(), p.clientid.c_str(), username, password}, Clock::now());
    complete_(p.clientid.c_str(), granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_AUTH);
    // The broker admits synchronously; if the client had left while
    // pending, nothing was, and the address may serve another later.
    if (granted) {
        if (connections.session(p.clientid) == client) connections.took_over(client);
        else connections.end(client, false);
    }
    return Then::nothing;
}

void Instance::tell_ignored(const std::string &clientid) noexcept {
    std::size_t unsaid = 0;
    if (!ignored_line_.due(Clock::now(), unsaid)) return;
    try {
        std::string line = "auth_plugin: the login of " + clientid +
                           " answered later said \"ignore\", and is refused: this broker takes no other answer for "
                           "a login answered later; with http_async_logins false the broker's next check decides it";
        if (unsaid) line += " (" + std::to_string(unsaid) + " more since the last line)";
        log_line(LogLevel::warning, line);
    } catch (...) {
        log_line(LogLevel::warning, "auth_plugin: a login answered later said \"ignore\", and is refused");
    }
}

void Instance::kick(const void *client) noexcept {
    try {
        const std::string *id = shared_->connections.kickable(client);
        if (!id) return;
        // Copied: the broker ends the connection at once, and its end event
        // changes the records.
        const std::string clientid = *id;
        mosquitto_kick_client_by_clientid(clientid.c_str(), false);
    } catch (...) {
        // no memory for the copy: it stays until its next re-check or expiry
    }
}

void Instance::cancel_pending(unsigned long token) noexcept {
    if (!token) return;
    for (Instance *line : shared_->instances)
        if (line->scheduler_) line->scheduler_->cancel(token);
}

std::optional<CheckResult> Instance::ask_again(const std::string &clientid, const mosquitto *client,
                                           unsigned long serial, const LoginQuestion &question,
                                           bool merge) noexcept {
    // Answered later only where asked to and a TICK will settle the answer.
    std::optional<CheckResult> now;
    if (route_.recheck_behind && scheduler_ && (ticked_ || complete_)) {
        now = scheduler_->recheck(shared_->pending.next_token(), clientid, client, serial, question, merge);
        if (!now) return now;
    } else {
        now = checker_.login(question, false);
    }
    CheckResult &v = *now;
    if (v.unavailable()) {
        // The back-off, or no answer: kept as it was, asked again later.
        wait_for_endpoint(clientid, client, serial, question.username, question.password);
        return now;
    }
    if (v.deferred()) v.decision = Decision::refuse;  // a connection admitted here is not another check's to keep
    if (v.granted()) {
        try {
            shared_->connections.renew(client, serial, v.rules);
        } catch (...) {
            v.decision = Decision::refuse;  // its new rules could not be kept: it goes, rather than keep the old ones
        }
    }
    return now;
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
        const auto now = ask_again(clientid, client, serial, asked.question(), true);
        // No answer: it waits for the endpoint, as if pending.
        if (!now || now->unavailable()) return Recheck::pending;
        return now->granted() ? Recheck::granted : Recheck::refused;
    } catch (...) {
        return Recheck::not_asked_failed;  // the connection stays as it is
    }
}

int Instance::access(const mosquitto *client, const char *topic, Access access,
                     const MessageFacts &message) noexcept {
    const auto start = stats_ ? Clock::now() : Clock::time_point();
    if (stats_) tell_if_no_tick();
    CheckResult v;
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
            v.source = Source::rules_lost;
            by_rules = true;
        }
    }
    // ${password} in an access template: the one its login gave (kept for it).
    const char *password = record && record->password ? record->password->c_str() : nullptr;
    if (!by_rules) v = ask_access(checker_, BrokerClient(client), topic, access, message, password);
    if (stats_) stats_->access(v, Clock::now() - start);
    log_decision(access_word(access), id, mosquitto_client_username(client), topic, v);
    // The answer said "ignore" (http_answers json): the broker's next check decides.
    return v.granted() ? MOSQ_ERR_SUCCESS : v.deferred() ? MOSQ_ERR_PLUGIN_DEFER : MOSQ_ERR_ACL_DENIED;
}
