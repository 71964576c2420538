#include "checker.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "json_answer.h"
#include "log.h"
#include "endpoint_url.h"
#include "login_rules.h"
#include "token_login.h"
#include "token_verifier.h"


Checker::Checker(Configuration configuration)
    : settings_(std::move(configuration.settings)),
      client_(settings_),
      login_plan_(std::move(configuration.login_plan)),
      access_plan_(std::move(configuration.access_plan)) {
    if (settings_.http_cache_ms > 0)
        cache_ = std::make_unique<DecisionCache>(settings_.http_cache_ms,
                                                 static_cast<std::size_t>(settings_.http_cache_entries),
                                                 settings_.http_cache_stale_ms,
                                                 static_cast<std::size_t>(settings_.http_cache_bytes));
    // Without http_backoff_ms it only tells an outage (an unset URL is never
    // asked, so its member never backs off nor tells).
    if (settings_.http_user_uri || settings_.http_acl_uri)
        backoff_ = std::make_unique<Backoff>(
            settings_.http_backoff_ms,
            std::vector<std::string>{settings_.http_user_uri.value_or(""), settings_.http_acl_uri.value_or("")},
            settings_.http_unix_socket, settings_.http_cache_stale_ms);
    if (settings_.tokens())
        tokens_ = std::make_unique<TokenLogins>(settings_, configuration, client_,
                                                redact_url(settings_.http_jwt_jwks_uri.value_or("")));
}

Checker::~Checker() = default;

std::uint64_t user_tag(const char *username) noexcept {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (const char *c = username; *c; ++c) h = (h ^ static_cast<unsigned char>(*c)) * 0x100000001b3u;
    return h != 0 ? h : 1;
}

namespace {

// The standard fields, then the extra ones, in one list; zero when they do not fit.
template <std::size_t N>
std::size_t with_extra(std::array<Field, max_fields> &all, const Field (&fields)[N], const Field *extra,
                       std::size_t extra_count) noexcept {
    static_assert(N <= max_fields);
    if (extra_count > max_fields - N) return 0;
    std::copy(fields, fields + N, all.begin());
    std::copy(extra, extra + extra_count, all.begin() + N);
    return N + extra_count;
}

// ${action}: as the login rules read it, writes are publishes, subscriptions
// and deliveries subscribes.
const char *action_word(Access a) noexcept {
    switch (a) {
    case Access::write: return "publish";
    case Access::read:
    case Access::subscribe: return "subscribe";
    case Access::unsubscribe: return "unsubscribe";
    case Access::none: break;
    }
    return nullptr;
}

TemplateValues login_values(const LoginQuestion &l, const char *password) noexcept {
    TemplateValues v = l.values ? *l.values : TemplateValues{};
    v[Placeholder::username] = l.username;
    v[Placeholder::password] = password;
    return v;
}

TemplateValues access_values(const AccessQuestion &a) noexcept {
    TemplateValues v = a.values ? *a.values : TemplateValues{};
    v[Placeholder::clientid] = a.clientid;
    v[Placeholder::username] = a.username;
    v[Placeholder::topic] = a.topic;
    v[Placeholder::action] = action_word(a.access);
    return v;
}

}  // namespace

CheckResult Checker::login(const LoginQuestion &question, bool consult_cache) noexcept {
    PreparedCheck q;
    CheckResult v;
    if (!begin_login(question, consult_cache, q, v)) return v;
    return timed_exchange(q);
}

const char *Checker::asked_password(const LoginQuestion &l) const noexcept {
    // The broker gives an empty password as none. An endpoint written for
    // EMQX is asked with an empty value (fleets with a token for a user name
    // rely on it); the form, as ever, is not asked.
    return l.password || !login_plan_.templated() ? l.password : "";
}

bool Checker::login_request(const LoginQuestion &l, Request &out) const noexcept {
    const char *password = asked_password(l);
    if (!l.username || !password || !settings_.http_user_uri) return false;
    std::array<Field, max_fields> all;
    const std::size_t n = with_extra(all, {{"username", l.username}, {"password", password}}, l.extra, l.extra_count);
    return n != 0 && login_plan_.build(*settings_.http_user_uri, all.data(), n, login_values(l, password), out);
}

bool Checker::access_request(const AccessQuestion &a, Request &out) const noexcept {
    if (!settings_.http_acl_uri || !a.clientid || !a.username || !a.topic) return false;
    std::array<Field, max_fields> all;
    const std::size_t n = with_extra(all,
                                     {{"clientid", a.clientid},
                                      {"username", a.username},
                                      {"topic", a.topic},
                                      {"access", access_word(a.access)}},
                                     a.extra, a.extra_count);
    return n != 0 && access_plan_.build(*settings_.http_acl_uri, all.data(), n, access_values(a), out);
}

CheckResult Checker::access(const AccessQuestion &a) noexcept {
    CheckResult v;
    // An unsubscription only ever takes rights away: granted unasked, as
    // EMQX never asks about one.
    if (!settings_.http_acl_uri || a.access == Access::unsubscribe) return v.decision = Decision::grant, v;
    PreparedCheck q;
    if (!access_request(a, q.request)) {
        if (a.clientid && a.username && a.topic) v.source = Source::unwritable;  // there was something to ask
        return v;
    }
    q.rules = settings_.http_answers_json;
    if (!begin(acl_member, user_tag(a.username), true, q, v)) return v;
    return timed_exchange(q);
}

bool Checker::begin(std::size_t backoff_member, std::uint64_t user, bool consult_cache, PreparedCheck &q,
                    CheckResult &v) noexcept {
    v = CheckResult{};
    q.backoff = backoff_.get();
    q.backoff_member = backoff_member;
    q.user = user;
    const auto now = std::chrono::steady_clock::now();
    const Request &r = q.request;
    q.keyed = cache_ && cache_->digest(r.url_text(), r.header_text, r.body.get(), r.length, q.key);
    if (q.keyed) q.generation = cache_->generation();
    if (q.keyed && consult_cache) {
        // A kept grant whose rules' time is up ends that decision, not the
        // user: the endpoint is asked again.
        if (auto kept = cache_->find(q.key, now); kept && !(kept->rules && kept->rules->expired(unix_now()))) {
            v.source = Source::cache;
            v.decision = decision_of(kept->granted);
            v.rules = std::move(kept->rules);
            return false;
        }
    }
    // Kept answers go on answering while the endpoint is down.
    q.turn = q.backoff ? q.backoff->turn(backoff_member, now) : Backoff::Turn::ask;
    if (q.turn == Backoff::Turn::refuse) {
        v.source = Source::backoff;  // unless a kept decision answers
        if (q.keyed) answer_stale(v, q.key, now);
        return false;
    }
    return true;
}

CheckResult Checker::finish(const PreparedCheck &q, const Answer &answer) noexcept {
    CheckResult v;
    v.answer = answer;
    v.source = answer.late ? Source::too_late : answer.attempted ? Source::endpoint : Source::none;
    v.decision = decision_of(answer.outcome() == Outcome::granted);
    std::optional<DecisionCache::Decision> said;
    if (q.rules && v.granted()) said = read_rules(answer, q.login, v);
    if (!q.backoff && !q.keyed) return v;
    const auto arrived = std::chrono::steady_clock::now();
    if (q.backoff) q.backoff->record(q.backoff_member, q.turn, answer, arrived);
    if (q.keyed) {
        cache_->store(q.key, answer, arrived, q.generation, q.user, said, v.deferred());
        // Only the endpoint's silence or failure: a request never sent (out
        // of memory, say) tells nothing of it, and refuses as ever.
        const Outcome outcome = answer.outcome();
        if (outcome == Outcome::no_answer || outcome == Outcome::undecided) answer_stale(v, q.key, arrived);
    }
    return v;
}

CheckResult Checker::timed_exchange(const PreparedCheck &q) noexcept {
    // Timed only when there is an exchange: a kept or refused answer costs no clock.
    const auto start = std::chrono::steady_clock::now();
    const Answer answer = client_.send(q.request, q.rules);
    const auto took = std::chrono::steady_clock::now() - start;
    CheckResult v = finish(q, answer);
    v.exchange_ms = std::chrono::duration<double, std::milli>(took).count();
    return v;
}

bool Checker::begin_login(const LoginQuestion &l, bool consult_cache, PreparedCheck &q, CheckResult &v) noexcept {
    v = CheckResult{};
    if (tokens_) {
        // A token is decided here, valid or not: a forged one never falls
        // through to the endpoint, nor is it ever sent there.
        const char *credential = tokens_->credential(l.username, l.password);
        if (credential) {
            if (auto decided = tokens_->login(credential, login_values(l, l.password), consult_cache)) {
                v = std::move(*decided);
                return false;
            }
        }
        if (!settings_.http_user_uri) {
            v.source = Source::token;
            v.why = "the credential is not shaped as a token, and there is no http_user_uri to ask";
            return false;
        }
    }
    if (!l.username || !asked_password(l)) return false;
    if (!settings_.http_user_uri) return v.decision = Decision::grant, false;
    if (!login_request(l, q.request)) {
        v.source = Source::unwritable;
        return false;
    }
    q.rules = settings_.http_login_rules || settings_.http_answers_json;
    q.login = true;
    return begin(user_member, user_tag(l.username), consult_cache, q, v);
}

void Checker::reload() noexcept {
    if (cache_) cache_->expire_all();
    if (tokens_) tokens_->reload();
}

std::size_t Checker::forget(const char *username, bool keep_stale) noexcept {
    const std::size_t tokens = tokens_ ? tokens_->forget(username) : 0;
    if (!cache_) return tokens;
    return tokens + (username ? cache_->forget(user_tag(username), keep_stale) : cache_->forget_all(keep_stale));
}

void Checker::answer_stale(CheckResult &v, const DecisionCache::Digest &key,
                           std::chrono::steady_clock::time_point now) noexcept {
    if (settings_.http_cache_stale_ms == 0) return;
    if (auto kept = cache_->find_stale(key, now)) {
        v.source = Source::stale;
        // A kept "ignore" hands the check on, as the answer did.
        v.decision = kept->others_decide ? Decision::defer : decision_of(kept->granted);
        v.rules = std::move(kept->rules);
        refuse_if_expired(v);
    }
}

DecisionCache::Decision Checker::read_rules(const Answer &answer, bool login, CheckResult &v) noexcept {
    DecisionCache::Decision said;
    const bool json_answers = settings_.http_answers_json;
    if (json_answers && answer.status == 204) {  // EMQX's "allow" without a body
        said.granted = true;
        return said;
    }
    RulesRead read = read_json_answer(answer, json_answers);
    // Rules that nothing here would apply would grant more than they say.
    if (read.rules && login && !settings_.http_login_rules && (read.rules->has_acl() || read.rules->expire_at())) {
        read.rules.reset();
        std::snprintf(read.error, sizeof read.error, "it carries acl or expire_at, which only http_login_rules applies");
    }
    if (read.rules && login && !settings_.http_login_rules && read.rules->is_superuser() &&
        read.rules->result() == LoginRules::Answered::allow && !told_superuser_) {
        told_superuser_ = true;  // once: a fleet's every login may say it
        log_line(LogLevel::warning,
                 "auth_plugin: a login's answer says is_superuser true, which is not applied: rules from a login's "
                 "answer apply with auth_plugin_v5.so unless http_login_rules is false; such a client's access is "
                 "decided as any other's");
    }
    if (read.refused()) {
        tell_refused_rules(login, read.error);
        // Kept as a refusal, as the endpoint's fault is not the client's to exploit.
        v.decision = Decision::refuse;
        v.overruled = CheckResult::Overruled::rules_unreadable;
        return said;
    }
    if (!read.rules) {  // no JSON: the status decides, as without rules
        said.granted = true;
        return said;
    }
    switch (read.rules->result()) {
    case LoginRules::Answered::allow:
        said.granted = true;
        if (login && settings_.http_login_rules) {
            said.rules = read.rules;
            v.rules = read.rules;
            refuse_if_expired(v);
        }
        break;
    case LoginRules::Answered::deny: v.decision = Decision::refuse; break;
    case LoginRules::Answered::ignore:
        v.decision = Decision::defer;
        // the broker's other checks decide, each time: kept to answer stale only
        break;
    }
    return said;
}

void Checker::tell_refused_rules(bool login, const char *why) noexcept {
    const auto now = std::chrono::steady_clock::now();
    std::size_t unsaid = 0;
    if (!refused_line_.due(now, unsaid)) return;
    try {
        std::string line = std::string(login ? "auth_plugin: a login answer's rules could not be read, so the login is refused: "
                                             : "auth_plugin: an access answer could not be read, so the check is refused: ") +
                           why;
        if (unsaid) line += " (" + std::to_string(unsaid) + " more such answers since the last line)";
        log_line(LogLevel::warning, line);
    } catch (...) {
        log_line(LogLevel::warning, "auth_plugin: a login answer's rules could not be read, so the login is refused");
    }
}

void Checker::refuse_if_expired(CheckResult &v) noexcept {
    if (!v.granted() || !v.rules || !v.rules->expired(unix_now())) return;
    v.decision = Decision::refuse;
    v.overruled = CheckResult::Overruled::expired;
    const auto now = std::chrono::steady_clock::now();
    std::size_t unsaid = 0;
    if (!expired_line_.due(now, unsaid)) return;
    try {
        std::string line = "auth_plugin: a login is refused although its answer granted it: the answer's expire_at "
                           "has passed";
        if (unsaid) line += " (" + std::to_string(unsaid) + " more such logins since the last line)";
        log_line(LogLevel::notice, line);
    } catch (...) {
    }
}
