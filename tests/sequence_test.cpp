// auth_plugin_v5.so driven by random sequences of what a broker sends it, in
// the orders the broker's source allows: Mosquitto 2.0.11, or 2.1.2 when
// built as sequence_tests_21 (fake_broker_21.cpp exports 2.1's functions).
// The stand-in broker below keeps sessions as Mosquitto does (parked logins,
// takeovers, wills asked after the end event or after their delay, re-checks
// at a reload, kicks that end connections); a real endpoint answers each
// user as the sequence says (grant with rules, refuse, hold). After every
// step, nothing may be granted to a connection that the endpoint's answers,
// as of then, do not grant: no stranger admitted, no rule widened, nothing
// revoked kept. With tokens on, a connect may carry a signed token instead
// of a password (valid, valid under a key a later reload removes, expiring
// in a second, expired, forged, another user's): a token grants only while
// it verifies against the set served since. RapidCheck draws the sequences
// from a fixed seed (RC_PARAMS overrides it) and shrinks a failing one; the
// seed is printed with it.

#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <rapidcheck/state.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "endpoint.h"
#include "timing.h"
#include "token_signing.h"
#include "v5_line.h"

namespace {

#ifdef FAKE_BROKER_21
constexpr bool newer = true;  // 2.1.2: logins may be parked, persisting sessions end with CLIENT_OFFLINE
#define SEQUENCES Sequences21
#else
constexpr bool newer = false;
#define SEQUENCES Sequences20
#endif
constexpr int evt_client_offline = 28, auth_delayed = -5;

const char *const ids[] = {"A", "B"};  // a stranger and a victim may share one
const char *const users[] = {"alice", "mallory", "bob"};
const char *const topics[] = {"pub/x", "secret/x", "m/x", "c/A/x", "c/B/x"};

std::int64_t unix_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Each user's rules, as the endpoint's grant carries them (bob's carries
// none), and what they allow; with no rule matching, the access endpoint
// decides (it refuses only secret/x), or without one: refused, or for a
// connection without rules, granted.
std::string rules_of(const std::string &user) {
    if (user == "alice")
        return R"("acl":[{"permission":"allow","action":"all","topic":"pub/#"},)"
               R"({"permission":"deny","action":"all","topic":"secret/#"},)"
               R"({"permission":"allow","action":"all","topic":"c/${clientid}/#"}])";
    if (user == "mallory")
        return R"("acl":[{"permission":"allow","action":"all","topic":"m/#"},)"
               R"({"permission":"deny","action":"all","topic":"#"}])";
    return "";
}
bool allowed(const std::string &user, const std::string &id, const std::string &topic, bool acl_uri) {
    if (user == "alice" && (topic == "pub/x" || topic == "c/" + id + "/x")) return true;
    if (user == "alice" && topic == "secret/x") return false;
    if (user == "mallory") return topic == "m/x";
    return acl_uri ? topic != "secret/x" : user == "bob";
}

enum class Policy { grant, soon, past, refuse, hold };  // soon, past: a grant with expire_at
const char *const policy_names[] = {"grant", "grant expiring in 1 s", "grant expired", "refuse", "hold"};
bool grants(Policy p) { return p == Policy::grant || p == Policy::soon; }

// Tokens: none (a password), or how the connect's token was made.
enum class Token { none, valid, rotated, soon, expired, forged, stolen };
const char *const token_names[] = {"", "valid", "under the key a reload removes", "expiring in 1 s", "expired",
                                   "forged", "of another user"};
// The service's keys, made once: k1 stays, k2 goes at a rotation, k3 is nobody's.
struct ServiceKeys {
    signing::Pkey k1 = signing::ec("P-256"), k2 = signing::ec("P-256"), k3 = signing::ec("P-256");
    static const ServiceKeys &get() {
        static const ServiceKeys keys;
        return keys;
    }
    std::string set(bool with_k2) const {
        return R"({"keys":[)" + signing::jwk(k1.get(), "k1") + (with_k2 ? "," + signing::jwk(k2.get(), "k2") : "") +
               "]}";
    }
};
// The token a connect of user carries, and its exp.
std::string mint(Token kind, const std::string &user, std::int64_t &exp) {
    const ServiceKeys &keys = ServiceKeys::get();
    const std::int64_t now = unix_seconds();
    exp = kind == Token::soon ? now + 1 : kind == Token::expired ? now - 100 : now + 3600;
    const std::string kid = kind == Token::rotated ? "k2" : "k1";
    EVP_PKEY *key = kind == Token::rotated ? keys.k2.get() : kind == Token::forged ? keys.k3.get() : keys.k1.get();
    const std::string sub = kind == Token::stolen ? (user == "alice" ? "bob" : "alice") : user;
    // Its acl claim: the user's rules, as the endpoint's grant carries them.
    const std::string acl = rules_of(sub);
    return signing::token("ES256", key, R"({"alg":"ES256","kid":")" + kid + R"("})",
                          R"({"sub":")" + sub + R"(","exp":)" + std::to_string(exp) + (acl.empty() ? "" : ",") + acl +
                              "}");
}

struct Config {
    bool cache, acl, control, async, behind, tokens;
    bool holds() const { return newer && async && behind; }  // nothing asks at once: the test's thread never waits
    bool scheduled() const { return behind || (newer && async); }
};
std::ostream &operator<<(std::ostream &os, const Config &c) {
    return os << "cache " << c.cache << ", acl uri " << c.acl << ", control " << c.control << ", async logins "
              << c.async << ", reload in background " << c.behind << ", tokens " << c.tokens;
}

struct Step {
    enum Kind { connect, lose, publish, subscribe, will_ends, reload, tick, policy, control, wait_expiry, rotate };
    Kind kind = tick;
    int id = 0, user = 0, topic = 0, will = -1;  // will: a topic, -1 none
    bool good = true, v5 = true, persistent = false, delayed = false;
    Policy set = Policy::grant;
    int command = 0;  // below
    Token token = Token::none;
};
const char *const commands[] = {"disconnect clientid", "disconnect username", "recheck clientid",
                                "recheck username", "recheck", "forget username"};  // odd: by user name
std::ostream &operator<<(std::ostream &os, const Step &s) {
    switch (s.kind) {
    case Step::connect:
        os << "connect " << ids[s.id] << " as " << users[s.user] << (s.good ? "" : " (wrong password)")
           << (s.token != Token::none ? " with a token " : "") << token_names[static_cast<int>(s.token)]
           << (s.v5 ? " v5" : " v3.1.1") << (s.persistent ? " persistent" : "");
        if (s.will >= 0) os << " will " << topics[s.will] << (s.delayed ? " delayed" : "");
        return os;
    case Step::lose: return os << "connection of " << ids[s.id] << " lost";
    case Step::publish: return os << ids[s.id] << " publishes " << topics[s.topic];
    case Step::subscribe: return os << ids[s.id] << " subscribes " << topics[s.topic];
    case Step::will_ends: return os << "a will's delay ends";
    case Step::reload: return os << "SIGHUP";
    case Step::tick: return os << "TICK";
    case Step::policy: return os << "endpoint: " << users[s.user] << " " << policy_names[static_cast<int>(s.set)];
    case Step::control:
        os << "$CONTROL " << commands[s.command];
        if (s.command == 4) return os;
        return os << " " << (s.command % 2 ? users[s.user] : ids[s.id]);
    case Step::wait_expiry: return os << "wait for an expiry";
    case Step::rotate: return os << "key set: k2 removed; SIGHUP";
    }
    return os;
}

struct Answer {  // one the endpoint gave to a login (or re-check)
    std::string password;
    bool granted;
    std::optional<std::int64_t> expire_at;
};

// The endpoint's side, on its threads: each user's policy, and every answer
// given. Shared with the endpoint's handler, which may outlive a case.
struct Said {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, Policy> policy;
    std::vector<Answer> answers;
    bool stopping = false;  // held answers go, refused
    bool k2_served = true;  // the key set served

    static std::string &body() {  // what answer() decided, for the same request's body
        thread_local std::string b;
        return b;
    }
    int answer(const Recorded &r) {
        body().clear();
        if (r.path == "/acl") return r.fields.at("topic") == "secret/x" ? 403 : 200;
        if (r.path == "/jwks") {
            std::lock_guard<std::mutex> lock(mutex);
            body() = ServiceKeys::get().set(k2_served);
            return 200;
        }
        const std::string user = r.fields.at("username"), password = r.fields.at("password");
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return policy[user] != Policy::hold || stopping; });
        const Policy p = stopping ? Policy::refuse : policy[user];
        const bool valid = password.rfind("pw-" + user + "-", 0) == 0;
        Answer a{password, valid && grants(p), std::nullopt};
        std::string json = rules_of(user);
        if (p == Policy::soon || p == Policy::past) {
            a.expire_at = unix_seconds() + (p == Policy::soon ? 1 : -100);
            json += (json.empty() ? "" : ",") + std::string("\"expire_at\":") + std::to_string(*a.expire_at);
        }
        if (!json.empty()) body() = "{" + json + "}";
        answers.push_back(a);
        return valid && p != Policy::refuse ? 200 : 403;
    }
};

// The broker and what the endpoint said. Sessions live as long as the case,
// so no address is reused.
class Harness {
public:
    Harness(Endpoint &endpoint, const Config &config) : endpoint_(endpoint), config_(config) {
        fake::broker() = {};
        for (const char *u : users) said_->policy[u] = Policy::grant;
        endpoint_.decide([said = said_](const Recorded &r) { return said->answer(r); });
        endpoint_.json([](const Recorded &) { return Said::body(); });
        fake::broker().kick_clientid = [this](const char *id) {
            if (Session *s = session(id)) end_without_will(*s);
        };
        fake::broker().kick_username = [this](const char *user) {
            for (auto &s : sessions_)
                if (s->client.username == user && (s->state == Session::connected || s->state == Session::parked))
                    end_without_will(*s);
        };
        fake::broker().session_of = [this](const char *id) {
            Session *s = session(id);
            return s ? &s->client : nullptr;
        };
        fake::broker().complete = [this](const char *id, int rc) { complete(id, rc); };
        // Subscriptions asked too (else one that no rule decides is granted
        // unasked); a time-out never comes; few held answers at once.
        Options::Pairs options{{"http_user_uri", endpoint_.url("/user")}, {"http_login_rules", "true"},
                               {"http_timeout_ms", "60000"}, {"http_max_in_flight", "4"},
                               {"http_check_subscribe", "true"},
                               {"http_async_logins", config.async ? "true" : "false"},
                               {"http_reload_in_background", config.behind ? "true" : "false"}};
        if (config.cache) options.emplace_back("http_cache_ms", "60000");
        if (config.acl) options.emplace_back("http_acl_uri", endpoint_.url("/acl"));
        if (config.control) options.emplace_back("http_control", "true");
        if (config.tokens) {
            options.emplace_back("http_jwt_jwks_uri", endpoint_.url("/jwks"));
            options.emplace_back("http_jwt_claims", R"({"sub": "${username}"})");
            options.emplace_back("http_jwt_leeway_s", "0");
        }
        line_ = std::make_unique<Line>(1, options);
        if (line_->rc() != MOSQ_ERR_SUCCESS) throw std::runtime_error("the library did not start");
    }
    ~Harness() {
        {
            std::lock_guard<std::mutex> lock(said_->mutex);
            said_->stopping = true;
        }
        said_->changed.notify_all();
        line_.reset();
        fake::broker() = {};
        endpoint_.decide([](const Recorded &) { return 200; });
        endpoint_.json(nullptr);
        endpoint_.clear();
    }

    void run(const Step &step) {
        ++op_;
        switch (step.kind) {
        case Step::connect: connect(step); break;
        case Step::lose:
            if (Session *s = parked_.count(ids[step.id]) ? parked_[ids[step.id]] : connected(step.id)) lose(*s);
            break;
        case Step::publish:
        case Step::subscribe:
            if (Session *s = connected(step.id)) access(*s, topics[step.topic], step.kind == Step::publish);
            break;
        case Step::will_ends:  // the oldest delay still running ends
            for (Session *s : delayed_)
                if (s->state == Session::offline && s->will) {
                    ask_will(*s);
                    if (!s->persistent) gone(*s);
                    break;
                }
            break;
        case Step::reload: reload(); break;
        case Step::tick: settle(); break;
        case Step::policy: set_policy(users[step.user], step.set); break;
        case Step::control: command(step); break;
        case Step::wait_expiry: wait_expiry(); break;
        case Step::rotate: rotate(); break;
        }
        for (auto &s : sessions_)
            if (s->state == Session::connected) kept(*s);
        if (!failure_.empty()) RC_FAIL(failure_);
    }

private:
    struct Session {
        mosquitto client;  // its address is the broker's pointer
        std::string password;
        bool persistent = false, delayed = false;
        std::optional<std::string> will;
        enum State { parked, connected, offline, gone } state = parked;  // offline: held without a connection
        std::set<std::string> subs;
        std::size_t login_seq = 0, floor = 0;  // answers before its login; the first that may admit it
        int login_op = 0, recheck_op = 0;      // its login's step; its latest re-check asked behind
        std::int64_t login_s = 0;              // when its login was asked
        Token token = Token::none;             // its password is a token, made so
        std::int64_t token_exp = 0;
        std::string who() const { return client.id + " (" + client.username + ")"; }
    };
    struct Disconnect {
        int op;
        std::string id, user;
    };

    // What the endpoint said.
    std::size_t answered() {
        std::lock_guard<std::mutex> lock(said_->mutex);
        return said_->answers.size();
    }
    // The grants given to password since answer `from`: none (false), or
    // true with the latest expiry among them (none: never).
    bool granted(const std::string &password, std::size_t from, std::optional<std::int64_t> *expiry = nullptr) {
        std::lock_guard<std::mutex> lock(said_->mutex);
        bool any = false, endless = false;
        std::int64_t latest = 0;
        for (std::size_t i = from; i < said_->answers.size(); ++i) {
            const Answer &a = said_->answers[i];
            if (!a.granted || a.password != password) continue;
            endless = endless || !a.expire_at;
            latest = any ? std::max(latest, a.expire_at.value_or(0)) : a.expire_at.value_or(0);
            any = true;
        }
        if (expiry) *expiry = any && !endless ? std::optional<std::int64_t>(latest) : std::nullopt;
        return any;
    }
    // A token's verdict at a time: its key served (k2 until the rotation),
    // its sub the user's, its exp after that time.
    bool verifies(const Session &s, std::int64_t at) const {
        if (s.token == Token::expired || s.token == Token::forged || s.token == Token::stolen) return false;
        if (s.token == Token::rotated && rotated_) return false;
        return s.token_exp > at;
    }
    // What admits s: its token (its exp), or the endpoint's grants for its password since answer from.
    bool grant_of(const Session &s, std::size_t from, std::optional<std::int64_t> *expiry = nullptr) {
        if (s.token == Token::none) return granted(s.password, from, expiry);
        if (expiry) *expiry = s.token_exp;
        return true;
    }
    void set_policy(const std::string &user, Policy p) {
        if (p == Policy::hold && !config_.holds()) p = Policy::refuse;
        if (grants(p)) refusing_since_.erase(user);
        else refusing_since_.try_emplace(user, op_);
        {
            std::lock_guard<std::mutex> lock(said_->mutex);
            said_->policy[user] = p;
        }
        said_->changed.notify_all();
    }
    Policy policy(const std::string &user) {
        std::lock_guard<std::mutex> lock(said_->mutex);
        return said_->policy[user];
    }

    // A grant beyond the answers. Kept, not thrown: the library may be
    // calling the broker (a kick, a completed login) and lets nothing through.
    void fail(const std::string &what) {
        if (failure_.empty()) failure_ = what;
    }

    // The broker's side.
    Session *session(const std::string &id) {  // the session held under id (not a parked login)
        const auto found = by_id_.find(id);
        return found != by_id_.end() ? found->second : nullptr;
    }
    Session *connected(int id) {
        Session *s = session(ids[id]);
        return s && s->state == Session::connected ? s : nullptr;
    }
    void gone(Session &s) {
        if (session(s.client.id) == &s) by_id_.erase(s.client.id);
        s.state = Session::gone;
    }
    // The end event: 2.1 tells a session that persists apart.
    void ended(Session &s) {
        mosquitto_evt_disconnect e{};
        e.client = &s.client;
        line_->fire(newer && s.persistent ? evt_client_offline : MOSQ_EVT_DISCONNECT, &e);
    }
    // Its session ends here (refused, or taken over): the broker sets its
    // expiry to 0 first, so the event is DISCONNECT.
    void drop(Session &s) {
        s.persistent = false;
        s.will.reset();
        ended(s);
        gone(s);
    }
    void connect(const Step &step) {
        const std::string id = ids[step.id], user = users[step.user];
        auto owned = std::make_unique<Session>();
        Session &s = *owned;
        sessions_.push_back(std::move(owned));
        s.client = {id, user, "10.0.0." + std::to_string(step.user + 1), step.v5 ? 5 : 4, nullptr, !step.persistent};
        s.token = step.token;
        s.password = s.token != Token::none ? mint(s.token, user, s.token_exp) : step.good ? "pw-" + user + "-" + id : "wrong";
        s.persistent = step.persistent;
        if (step.will >= 0) s.will = topics[step.will];
        s.delayed = step.will >= 0 && step.v5 && step.delayed;
        if (newer && parked_.count(id)) return drop(s);  // refused before any plug-in is asked
        s.login_seq = answered();
        s.login_op = op_;
        s.login_s = unix_seconds();
        const int rc = line_->login(s.client, user.c_str(), s.password.c_str());
        if (rc == MOSQ_ERR_SUCCESS) return authorised(s);
        if (newer && rc == auth_delayed) parked_[id] = &s;
        else drop(s);
    }
    // connect__on_authorised: the session takes over the one held under its id.
    void authorised(Session &s) {
        const std::size_t reloaded = std::max(reload_seq_, forgotten_seq_[s.client.username]);
        const std::size_t floor = config_.cache ? std::min(s.login_seq, reloaded) : s.login_seq;
        if (s.token != Token::none) {
            if (!verifies(s, s.login_s)) fail(s.who() + " admitted with a token " + token_names[static_cast<int>(s.token)]);
        } else if (!granted(s.password, floor)) {
            fail(s.who() + " admitted without a grant answer for its password");
        }
        for (const Disconnect &d : disconnects_)
            if (d.op > s.login_op && (d.id == s.client.id || d.user == s.client.username))
                fail(s.who() + " admitted after a disconnect command named it while its login waited");
        s.floor = floor;
        if (Session *found = session(s.client.id)) {
            if (found->state == Session::connected && found->will && !found->delayed &&
                (!found->persistent || !s.persistent))
                ask_will(*found);
            if (s.persistent && found->persistent) s.subs = found->subs;
            drop(*found);
        }
        s.state = Session::connected;
        by_id_[s.client.id] = &s;
    }
    void complete(const std::string &id, int rc) {
        const auto found = parked_.find(id);
        if (found == parked_.end()) return;
        Session &s = *found->second;
        parked_.erase(found);
        if (rc == MOSQ_ERR_SUCCESS) return authorised(s);
        drop(s);
    }
    // The connection ends (lost, so the will goes); a parked login just leaves.
    void lose(Session &s) {
        if (s.state == Session::parked) {
            parked_.erase(s.client.id);
            s.state = Session::gone;
            return;
        }
        ended(s);
        if (s.will && !s.delayed) ask_will(s);
        s.state = Session::offline;
        if (s.will) delayed_.push_back(&s);
        else if (!s.persistent) gone(s);
    }
    // A kick, or a re-check refused: no will.
    void end_without_will(Session &s) {
        if (s.state == Session::parked) {  // by user name: a parked login goes too
            parked_.erase(s.client.id);
            s.state = Session::gone;
            return;
        }
        if (s.state == Session::gone) return;
        s.will.reset();
        ended(s);
        s.state = Session::offline;
        if (!s.persistent) gone(s);
    }

    // The questions, and the property for each grant.
    void ask_will(Session &s) {
        const std::string topic = *s.will;
        s.will.reset();
        check(s, topic, MOSQ_ACL_WRITE);
    }
    void access(Session &s, const std::string &topic, bool publish) {
        if (!check(s, topic, publish ? MOSQ_ACL_WRITE : MOSQ_ACL_SUBSCRIBE)) return;
        if (!publish) {
            s.subs.insert(topic);
            return;
        }
        for (auto &[id, receiver] : by_id_)  // deliveries, also to sessions without a connection
            if (receiver->subs.count(topic)) check(*receiver, topic, MOSQ_ACL_READ);
    }
    bool check(Session &s, const std::string &topic, int access) {
        const std::int64_t before = unix_seconds();
        if (line_->access(s.client, topic.c_str(), access) != MOSQ_ERR_SUCCESS) return false;
        const char *what = access == MOSQ_ACL_WRITE ? " write " : access == MOSQ_ACL_READ ? " read " : " subscribe ";
        if (!allowed(s.client.username, s.client.id, topic, config_.acl))
            fail(s.who() + " granted" + what + topic + " beyond its rules");
        if (std::optional<std::int64_t> at; grant_of(s, s.floor, &at) && at && *at <= before)
            fail(s.who() + " granted" + what + topic + " after its answer's expire_at");
        return true;
    }
    // After every step, for each connected session.
    void kept(const Session &s) {
        for (const Disconnect &d : disconnects_)
            if (d.op > s.login_op && (d.id == s.client.id || d.user == s.client.username))
                fail(s.who() + " still connected after a disconnect command named it");
        if (std::optional<std::int64_t> at; grant_of(s, s.floor, &at) && at && *at <= last_tick_s_)
            fail(s.who() + " still connected after a TICK past its answer's expire_at");
        if (s.token == Token::rotated && rotated_) fail(s.who() + " still connected after a reload removed its key");
    }

    void tick() {
        last_tick_s_ = unix_seconds();
        ticked_ = true;
        mosquitto_evt_tick e{};
        line_->tick(e);
    }
    // Re-checks answered in the background: refused since before each was asked, it must go once settled.
    bool revoked(const Session &s) {
        const auto since = refusing_since_.find(s.client.username);
        return s.state == Session::connected && s.token == Token::none && s.recheck_op && since != refusing_since_.end() &&
               since->second < s.recheck_op && policy(s.client.username) != Policy::hold;
    }
    // TICK. Where answers come later it waits (bounded) until those given
    // have been taken, so that a sequence runs alike each time; while some
    // are held, one TICK as it comes.
    void settle() {
        const bool holding = std::any_of(std::begin(users), std::end(users),
                                         [&](const char *u) { return policy(u) == Policy::hold; });
        if (!config_.scheduled() || holding) return tick();  // nothing to wait for, or not yet
        const auto done = [&] {
            return parked_.empty() && std::none_of(sessions_.begin(), sessions_.end(),
                                                   [&](const auto &s) { return revoked(*s); });
        };
        wait_until([&] { return tick(), done() || !failure_.empty(); }, std::chrono::seconds(2 * slowdown()));
        if (!parked_.empty()) fail(parked_.begin()->second->who() + " parked for good, its answer given");
        for (auto &s : sessions_)
            if (revoked(*s)) fail(s->who() + " still connected after its re-check was refused");
    }
    void reload() {
        line_->reload();
        reload_seq_ = answered();
        std::vector<Session *> held;
        for (auto &[id, s] : by_id_) held.push_back(s);
        for (Session *s : held) {
            if (session(s->client.id) != s) continue;
            const std::size_t before = answered();
            const std::int64_t before_s = unix_seconds();
            if (line_->login(s->client, s->client.username.c_str(), s->password.c_str()) != MOSQ_ERR_SUCCESS) {
                end_without_will(*s);
            } else if (s->state == Session::connected) {
                if (s->token != Token::none) {
                    if (!verifies(*s, before_s)) fail(s->who() + "'s re-check granted a token that does not verify");
                } else if (config_.behind && (newer || ticked_)) s->recheck_op = op_;  // granted now, asked behind
                else if (!granted(s->password, before))
                    fail(s->who() + "'s re-check granted without a grant answer");
                else s->floor = before;
            }
        }
    }
    void command(const Step &step) {
        if (!config_.control) return;
        const std::string id = ids[step.id], user = users[step.user];
        const bool by_id = step.command == 0 || step.command == 2, all = step.command == 4;
        std::string json = std::string(R"({"commands":[{"command":")") +
                           (step.command < 2 ? "disconnect" : step.command < 5 ? "recheck" : "forget") + "\"";
        if (!all) json += by_id ? R"(,"clientid":")" + id + "\"" : R"(,"username":")" + user + "\"";
        json += "}]}";
        std::vector<Session *> matched;
        for (auto &[i, s] : by_id_)
            if (s->state == Session::connected && (all || (by_id ? i == id : s->client.username == user)))
                matched.push_back(s);
        if (step.command < 2) {
            disconnects_.push_back({op_, by_id ? id : "", by_id ? "" : user});
            for (Session *s : matched) forgotten_seq_[s->client.username] = answered();
        }
        if (step.command == 1 || step.command == 5) forgotten_seq_[user] = answered();
        mosquitto_evt_control e{};
        e.topic = "$CONTROL/auth_plugin/v1";
        e.payload = json.data();
        e.payloadlen = static_cast<uint32_t>(json.size());
        const std::int64_t before_s = unix_seconds();
        line_->fire(MOSQ_EVT_CONTROL, &e);
        if (step.command < 2 || step.command == 5) return;
        for (Session *s : matched) {
            if (s->token != Token::none) {  // decided at once, by the token
                if (s->state == Session::connected && !verifies(*s, before_s))
                    fail(s->who() + " still connected after its token's re-check");
            } else if (config_.behind) s->recheck_op = op_;
            else if (s->state == Session::connected && !grants(policy(s->client.username)))
                fail(s->who() + " still connected after its re-check was refused");
        }
    }
    void wait_expiry() {  // for the soonest expiry of a connected session, a second or two away at most
        std::optional<std::int64_t> soonest;
        for (auto &s : sessions_)
            if (std::optional<std::int64_t> at;
                s->state == Session::connected && grant_of(*s, s->floor, &at) && at)
                soonest = std::min(soonest.value_or(*at), *at);
        if (!soonest || *soonest > unix_seconds() + 2) return;
        wait_until([&] { return unix_seconds() >= *soonest; }, std::chrono::seconds(3));
        tick();
    }

    // The key set served loses k2, and the broker is told to reload.
    void rotate() {
        {
            std::lock_guard<std::mutex> lock(said_->mutex);
            said_->k2_served = false;
        }
        rotated_ = true;
        reload();
    }

    Endpoint &endpoint_;
    const Config config_;
    std::unique_ptr<Line> line_;
    int op_ = 0;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::map<std::string, Session *> by_id_, parked_;
    std::vector<Session *> delayed_;  // wills delayed, in the order their delays end
    std::vector<Disconnect> disconnects_;
    std::size_t reload_seq_ = 0;
    std::map<std::string, std::size_t> forgotten_seq_;  // kept decisions withdrawn (cache)
    std::map<std::string, int> refusing_since_;         // the step since which a user is not granted
    std::int64_t last_tick_s_ = 0;
    bool ticked_ = false, rotated_ = false;
    std::string failure_;  // the first; thrown once the library's call has returned
    std::shared_ptr<Said> said_ = std::make_shared<Said>();
};

struct Model {};  // what is tested is what the library decides: the state is the harness's
struct Command final : rc::state::Command<Model, Harness> {
    Step step;
    explicit Command(Step s) : step(s) {}
    void run(const Model &, Harness &h) const override { h.run(step); }
    void show(std::ostream &os) const override { os << step; }
};

rc::Gen<Step> steps(const Config &config) {
    return rc::gen::exec([config] {
        Step s;
        s.kind = *rc::gen::weightedElement<Step::Kind>(
            {{24, Step::connect}, {12, Step::lose}, {12, Step::publish}, {8, Step::subscribe}, {8, Step::will_ends},
             {4, Step::reload}, {24, Step::tick}, {12, Step::policy},
             {config.control ? 12u : 0u, Step::control}, {1, Step::wait_expiry},
             {config.tokens ? 2u : 0u, Step::rotate}});  // a wait takes up to a second
        s.id = *rc::gen::inRange(0, 2);
        s.user = *rc::gen::inRange(0, 3);
        // the common topics more often, so that deliveries meet subscriptions
        s.topic = *rc::gen::weightedElement<int>({{3, 0}, {2, 1}, {3, 2}, {1, 3}, {1, 4}});
        if (s.kind == Step::connect) {
            s.good = *rc::gen::weightedElement<bool>({{9, true}, {1, false}});
            s.v5 = *rc::gen::arbitrary<bool>();
            s.persistent = *rc::gen::arbitrary<bool>();
            s.will = *rc::gen::inRange(-1, 5);
            s.delayed = s.v5 && s.will >= 0 && *rc::gen::arbitrary<bool>();
            if (config.tokens)
                s.token = *rc::gen::weightedElement<Token>({{6, Token::none}, {2, Token::valid}, {1, Token::rotated},
                                                            {1, Token::soon}, {1, Token::expired}, {1, Token::forged},
                                                            {1, Token::stolen}});
        }
        if (s.kind == Step::policy)
            s.set = *rc::gen::weightedElement<Policy>(
                {{3, Policy::grant}, {1, Policy::soon}, {1, Policy::past}, {3, Policy::refuse},
                 {config.holds() ? 3u : 0u, Policy::hold}});
        if (s.kind == Step::control) s.command = *rc::gen::inRange(0, 6);
        return s;
    });
}

rc::Gen<Config> configs() {
    return rc::gen::exec([] {
        Config c{*rc::gen::arbitrary<bool>(), *rc::gen::arbitrary<bool>(), false, *rc::gen::arbitrary<bool>(),
                 *rc::gen::arbitrary<bool>(), *rc::gen::arbitrary<bool>()};
        c.control = c.acl && *rc::gen::arbitrary<bool>();  // commands need the access endpoint
        return c;
    });
}

TEST(SEQUENCES, NothingIsGrantedBeyondTheEndpointsAnswers) {
    // A fixed run unless RC_PARAMS says otherwise; RapidCheck prints it first.
    setenv("RC_PARAMS", "seed=20260214 max_success=200 max_size=100", 0);
    const rc::detail::TestParams params = rc::detail::configuration().testParams;
    Endpoint endpoint;
    const auto result = rc::detail::checkTestable(
        [&] {
            const Config config = *configs();
            Harness harness(endpoint, config);
            rc::state::check(Model{}, harness, [&](const Model &) {
                return rc::gen::map(steps(config), [](const Step &s) {
                    return std::shared_ptr<const rc::state::Command<Model, Harness>>(std::make_shared<Command>(s));
                });
            });
        },
        rc::detail::TestMetadata{}, params);
    rc::detail::printResultMessage(result, std::cerr);
    std::cerr << std::endl;
    EXPECT_TRUE(result.is<rc::detail::SuccessResult>())
        << "seed " << params.seed << " (again: RC_PARAMS=\"seed=" << params.seed << " max_success=" << params.maxSuccess
        << " max_size=" << params.maxSize << "\"); the shrunk sequence is above";
}

}  // namespace
