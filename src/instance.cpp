#include "instance.h"

#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

using Clock = Figures::Clock;

struct BioFree {
    void operator()(BIO *b) const noexcept { BIO_free(b); }
};
struct X509Free {
    void operator()(X509 *c) const noexcept { X509_free(c); }
};

// The client certificate's subject as RFC 2253 text; empty without one.
// Throws when it cannot be rendered.
std::string certificate_subject(const mosquitto *client) {
    std::unique_ptr<X509, X509Free> cert(static_cast<X509 *>(mosquitto_client_certificate(client)));
    if (!cert) return {};
    std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(cert.get()), 0, XN_FLAG_RFC2253) < 0)
        throw std::runtime_error("subject");
    char *text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    return std::string(text, static_cast<std::size_t>(length));
}

std::string text(const char *s) { return s ? s : ""; }

}  // namespace

// The extra fields the settings name, with their values for one question.
// The names point into the settings, which outlive every check.
class ExtraFields {
public:
    // acl is null for a login. Throws when a value cannot be had.
    ExtraFields(const std::vector<std::string> &names, const mosquitto *client, const mosquitto_evt_acl_check *acl) {
        for (const auto &name : names) {
            if (count_ == values_.size()) break;  // the settings allow no more
            values_[count_] = value(name, client, acl);
            fields_[count_] = {name.c_str(), nullptr};
            ++count_;
        }
        for (std::size_t i = 0; i < count_; ++i) fields_[i].value = values_[i].c_str();
    }
    const Field *data() const noexcept { return count_ ? fields_.data() : nullptr; }
    std::size_t size() const noexcept { return count_; }

private:
    static std::string value(const std::string &name, const mosquitto *client, const mosquitto_evt_acl_check *acl) {
        if (name == "clientid") return text(mosquitto_client_id(client));
        if (name == "address") return text(mosquitto_client_address(client));
        if (name == "protocol_version") return std::to_string(mosquitto_client_protocol_version(client));
        if (name == "certificate_subject") return certificate_subject(client);
        if (acl && name == "qos") return std::to_string(acl->qos);
        if (acl && name == "retain") return acl->retain ? "true" : "false";
        throw std::invalid_argument(name);  // the settings let through no other name
    }

    std::array<std::string, 4> values_;
    std::array<Field, 4> fields_{};
    std::size_t count_ = 0;
};

namespace {

// The version-5 access codes, as the endpoint reads them.
const char *access_word_v5(int access) noexcept {
    switch (access) {
    case MOSQ_ACL_READ: return "read";
    case MOSQ_ACL_WRITE: return "write";
    case MOSQ_ACL_SUBSCRIBE: return "subscribe";
    case MOSQ_ACL_UNSUBSCRIBE: return "unsubscribe";
    default: return "none";
    }
}

bool has_wildcard(const char *name) noexcept { return name && std::strpbrk(name, "+#"); }

Verdict refused() noexcept { return {}; }

// The broker's answer for a login it will hear of later (2.1; 2.0.11's
// headers lack the name).
constexpr int auth_delayed = -5;
Verdict granted() noexcept {
    Verdict v;
    v.granted = true;
    return v;
}

}  // namespace

CurlGlobal::CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("libcurl could not be initialised");
}
CurlGlobal::~CurlGlobal() { curl_global_cleanup(); }

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

Instance::Instance(Settings settings) : checker_(std::move(settings)) {
    const Settings &s = checker_.settings();
    if (s.http_stats_interval_s > 0)
        figures_ = std::make_unique<Figures>(std::chrono::seconds(s.http_stats_interval_s), s.http_stats_topic,
                                             Clock::now());
    complete_ = reinterpret_cast<CompleteLogin>(dlsym(RTLD_DEFAULT, "mosquitto_complete_basic_auth"));
    session_of_ = reinterpret_cast<SessionOf>(dlsym(RTLD_DEFAULT, "mosquitto_client"));
    async_logins_ = s.http_async_logins && complete_ && s.http_user_uri;
    // Commands need the admitted connections, which the scheduler keeps.
    const bool scheduled = async_logins_ || (s.http_reload_in_background && s.http_user_uri) || s.http_control;
    // 2.1's loop is the one that may sleep through a due TICK (waker.h).
    shared_ = hold_shared(complete_ != nullptr && (scheduled || figures_));
    try {
        shared_->instances.push_back(this);
    } catch (...) {
        release_shared();
        throw;
    }
    if (!scheduled) return;
    LoginScheduler::Host host{
        [this](const std::string &clientid, const void *client, bool granted, const char *username,
               const char *password) { complete(clientid, client, granted, username, password); },
        [this](const std::string &clientid, const void *client) {
            // The broker kicks by client id: only while that id is this connection's.
            if (!session_of_ || session_of_(clientid.c_str()) == client)
                mosquitto_kick_client_by_clientid(clientid.c_str(), false);
        },
        [waker = shared_->waker.get()] {
            if (waker) waker->wake();
        }};
    try {
        scheduler_ = std::make_unique<LoginScheduler>(checker_, checker_.client(), s.http_max_in_flight,
                                                      shared_->connections, std::move(host));
        scheduler_->settled = [this](const Verdict &v, Clock::duration took) {
            if (figures_) figures_->login(v, took);
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

std::string Instance::describe_logins() const {
    const Settings &s = settings();
    if (!s.http_user_uri) return "";
    std::string line = std::string("auth_plugin: logins ") +
                       (async_logins_ ? "the decision cache cannot answer are answered later, up to " +
                                            std::to_string(s.http_max_in_flight) + " asked at once and " +
                                            std::to_string(LoginScheduler::max_waiting_logins) +
                                            " waiting (more are refused as busy)"
                                      : complete_ ? "are answered at once (http_async_logins false)"
                                                  : "are answered at once (this broker cannot answer them later)");
    line += s.http_reload_in_background
                ? "; after a reload, the connections this library admitted stay while re-checked in the background "
                  "(once the broker's TICK is seen; Mosquitto 2.0.11 with per_listener_settings true sends none, "
                  "and then re-checks at once)"
                : "; after a reload, connected clients are re-checked at once";
    return line;
}

void Instance::reload() noexcept {
    reloading_ = true;
    checker_.reload();
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

void Instance::complete(const std::string &clientid, const void *client, bool granted, const char *username,
                        const char *password) noexcept {
    if (granted) {
        try {
            shared_->connections.admit(client, clientid, this, username, password);
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
    const auto start = figures_ ? Clock::now() : Clock::time_point();
    Verdict v;
    try {
        const ExtraFields extra(settings().http_login_fields, event.client, nullptr);
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
                              settings().http_reload_in_background, v))
                    return MOSQ_ERR_SUCCESS;  // counted once settled
            } else if (held) {
                // A session without a connection of ours (2.1 re-checks
                // offline persistent sessions too): nothing is admitted by
                // answering, so nothing is asked. Refused, as we vouch for no
                // connection there; 2.1 keeps such a session (it only marks it
                // disconnected again), and its next connection logs in afresh.
                return MOSQ_ERR_AUTH;
            } else {
                if (async_logins_) {
                    switch (scheduler_->login(clientid, event.client, event.username, event.password, extra.data(),
                                              extra.size(), v)) {
                    case LoginScheduler::Now::later: return auth_delayed;  // counted once settled
                    case LoginScheduler::Now::busy:
                        if (figures_) figures_->login(v, Clock::now() - start);
                        return server_busy;
                    default: break;
                    }
                } else {
                    v = checker_.login(event.username, event.password, extra.data(), extra.size());
                }
                if (v.granted)
                    connections.admit(event.client, clientid, this, event.username,
                                      settings().http_control ? event.password : nullptr);
            }
        }
    } catch (...) {
        v = refused();  // a value that could not be had, or no room to remember the connection, refuses
    }
    if (figures_) figures_->login(v, Clock::now() - start);
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
    return false;
}

bool Instance::recheck(const mosquitto *client, const Connections::Admitted &admitted) noexcept {
    if (!admitted.has_username || !admitted.has_password) return true;  // nothing to ask with
    Verdict v;
    try {
        const ExtraFields extra(settings().http_login_fields, client, nullptr);
        if (ask_again(admitted.clientid, client, admitted.serial, admitted.username.c_str(),
                      admitted.password.c_str(), extra, true, v))
            return true;
    } catch (...) {
        return true;  // not asked: the connection stays as it is
    }
    return v.granted;
}

int Instance::access(const mosquitto_evt_acl_check &event) noexcept {
    const auto start = figures_ ? Clock::now() : Clock::time_point();
    const Verdict v = decide_access(event);
    if (figures_) figures_->access(v, Clock::now() - start);
    return v.granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ACL_DENIED;
}

Verdict Instance::decide_access(const mosquitto_evt_acl_check &event) noexcept {
    const Settings &s = settings();
    const char *clientid = mosquitto_client_id(event.client);
    const char *username = mosquitto_client_username(event.client);
    // The broker applies this rule for its older interfaces only: a name that
    // is a pattern must not reach an endpoint that may match on it.
    if (s.http_acl_uri && (has_wildcard(clientid) || has_wildcard(username))) return refused();
    const bool subscription = event.access == MOSQ_ACL_SUBSCRIBE || event.access == MOSQ_ACL_UNSUBSCRIBE;
    if (subscription && !s.http_check_subscribe) return granted();
    try {
        const ExtraFields extra(s.http_acl_fields, event.client, &event);
        return checker_.access(clientid, username, event.topic, access_word_v5(event.access), extra.data(),
                               extra.size());
    } catch (...) {
        return refused();
    }
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
    if (!figures_) return;
    const auto now = Clock::now();
    {
        try {
            for (const auto &[topic, payload] : figures_->due(now))
                mosquitto_broker_publish_copy(nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                              payload.data(), 0, true, nullptr);
        } catch (...) {
            // no figures this time; the counts go on
        }
    }
    if (waker) {
        waker->wake_at(now + figures_->until_due(now));
        return;
    }
    // Without a waker (2.0.11), a later call is the same as the next one.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(figures_->until_due(now)).count();
    event.next_s = static_cast<time_t>(ms / 1000);
    event.next_ns = static_cast<long>(ms % 1000);
}
