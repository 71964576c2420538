#include "checker.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "log.h"
#include "login_rules.h"


Checker::Checker(Settings settings) : settings_(std::move(settings)), client_(settings_) {
    if (settings_.http_cache_ms > 0)
        cache_ = std::make_unique<DecisionCache>(settings_.http_cache_ms,
                                                 static_cast<std::size_t>(settings_.http_cache_entries),
                                                 settings_.http_cache_stale_ms,
                                                 static_cast<std::size_t>(settings_.http_cache_bytes));
    if (settings_.http_backoff_ms > 0)  // an unset URL is never asked, so its member never backs off
        backoff_ = std::make_unique<Backoff>(
            settings_.http_backoff_ms,
            std::vector<std::string>{settings_.http_user_uri.value_or(""), settings_.http_acl_uri.value_or("")},
            settings_.http_unix_socket, settings_.http_cache_stale_ms);
}

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

}  // namespace

Verdict Checker::login(const LoginQuestion &question, bool consult_cache) noexcept {
    PreparedCheck q;
    Verdict v;
    if (!begin_login(question, consult_cache, q, v)) return v;
    return timed_exchange(q);
}

Verdict Checker::access(const AccessQuestion &a) noexcept {
    Verdict v;
    if (!settings_.http_acl_uri) return v.granted = true, v;
    if (!a.clientid || !a.username || !a.topic) return v;
    std::array<Field, max_fields> all;
    const std::size_t n = with_extra(all,
                                     {{"clientid", a.clientid},
                                      {"username", a.username},
                                      {"topic", a.topic},
                                      {"access", access_word(a.access)}},
                                     a.extra, a.extra_count);
    if (n == 0) return v;
    return ask(*settings_.http_acl_uri, acl_member, all.data(), n, user_tag(a.username));
}

bool Checker::begin(const std::string &url, std::size_t backoff_member, const Field *fields, std::size_t count,
                    std::uint64_t user, bool consult_cache, PreparedCheck &q, Verdict &v) noexcept {
    v = Verdict{};
    q.body = form_body(fields, count, q.length);
    if (!q.body) return false;
    q.url = &url;
    q.backoff = backoff_.get();
    q.backoff_member = backoff_member;
    q.user = user;
    const auto now = std::chrono::steady_clock::now();
    q.keyed = cache_ && cache_->digest(url, q.body.get(), q.length, q.key);
    if (q.keyed) q.generation = cache_->generation();
    if (q.keyed && consult_cache) {
        // A kept grant whose rules' time is up ends that decision, not the
        // user: the endpoint is asked again.
        if (auto kept = cache_->find(q.key, now); kept && !(kept->rules && kept->rules->expired(unix_now()))) {
            v.cached = true;
            v.granted = kept->granted;
            v.rules = std::move(kept->rules);
            return false;
        }
    }
    // Kept answers go on answering while the endpoint is down.
    q.turn = q.backoff ? q.backoff->turn(backoff_member, now) : Backoff::Turn::ask;
    if (q.turn == Backoff::Turn::refuse) {
        v.backed_off = true;
        if (q.keyed) answer_stale(v, q.key, now);
        return false;
    }
    return true;
}

Verdict Checker::finish(const PreparedCheck &q, const Answer &answer) noexcept {
    Verdict v;
    v.answer = answer;
    v.granted = answer.outcome() == Outcome::granted;
    std::optional<DecisionCache::Said> said;
    if (q.rules && v.granted) said = read_rules(answer, v);
    if (!q.backoff && !q.keyed) return v;
    const auto arrived = std::chrono::steady_clock::now();
    if (q.backoff) q.backoff->record(q.backoff_member, q.turn, answer, arrived);
    if (q.keyed) {
        cache_->store(q.key, answer, arrived, q.generation, q.user, said);
        // Only the endpoint's silence or failure: a request never sent (out
        // of memory, say) tells nothing of it, and refuses as ever.
        const Outcome outcome = answer.outcome();
        if (outcome == Outcome::no_answer || outcome == Outcome::undecided) answer_stale(v, q.key, arrived);
    }
    return v;
}

Verdict Checker::ask(const std::string &url, std::size_t backoff_member, const Field *fields, std::size_t count,
                     std::uint64_t user) noexcept {
    PreparedCheck q;
    Verdict v;
    if (!begin(url, backoff_member, fields, count, user, true, q, v)) return v;
    return timed_exchange(q);
}

Verdict Checker::timed_exchange(const PreparedCheck &q) noexcept {
    // Timed only when there is an exchange: a kept or refused answer costs no clock.
    const auto start = std::chrono::steady_clock::now();
    const Answer answer = client_.post(q.url->c_str(), q.body.get(), q.length, q.rules);
    const auto took = std::chrono::steady_clock::now() - start;
    Verdict v = finish(q, answer);
    v.exchange_ms = std::chrono::duration<double, std::milli>(took).count();
    return v;
}

bool Checker::begin_login(const LoginQuestion &l, bool consult_cache, PreparedCheck &q, Verdict &v) noexcept {
    v = Verdict{};
    if (!l.username || !l.password) return false;
    if (!settings_.http_user_uri) return v.granted = true, false;
    std::array<Field, max_fields> all;
    const std::size_t n =
        with_extra(all, {{"username", l.username}, {"password", l.password}}, l.extra, l.extra_count);
    if (n == 0) return false;
    q.rules = settings_.http_login_rules;
    return begin(*settings_.http_user_uri, user_member, all.data(), n, user_tag(l.username), consult_cache, q, v);
}

void Checker::reload() noexcept {
    if (cache_) cache_->expire_all();
}

std::size_t Checker::forget(const char *username, bool keep_stale) noexcept {
    if (!cache_) return 0;
    return username ? cache_->forget(user_tag(username), keep_stale) : cache_->forget_all(keep_stale);
}

void Checker::answer_stale(Verdict &v, const DecisionCache::Digest &key,
                           std::chrono::steady_clock::time_point now) noexcept {
    if (settings_.http_cache_stale_ms == 0) return;
    if (auto kept = cache_->find_stale(key, now)) {
        v.stale = true;
        v.granted = kept->granted;
        v.rules = std::move(kept->rules);
        refuse_if_expired(v);
    }
}

DecisionCache::Said Checker::read_rules(const Answer &answer, Verdict &v) noexcept {
    DecisionCache::Said said;
    const RulesRead read = read_login_rules(answer);
    if (read.refused()) {
        tell_refused_rules(read.error);
        v.granted = false;
        v.rules_unreadable = true;  // kept as a refusal, as the endpoint's fault is not the client's to exploit
        return said;
    }
    if (!read.rules) {  // no JSON: the status decides, as without rules
        said.granted = true;
        return said;
    }
    switch (read.rules->result()) {
    case LoginRules::Result::allow:
        said.granted = true;
        said.rules = read.rules;
        v.rules = read.rules;
        refuse_if_expired(v);
        break;
    case LoginRules::Result::deny: v.granted = false; break;
    case LoginRules::Result::ignore:
        v.granted = false;
        v.deferred = true;
        said.keep = false;  // the broker's other checks decide, each time
        break;
    }
    return said;
}

void Checker::tell_refused_rules(const char *why) noexcept {
    const auto now = std::chrono::steady_clock::now();
    ++untold_;
    if (told_at_ != std::chrono::steady_clock::time_point{} && now - told_at_ < std::chrono::seconds(10)) return;
    try {
        std::string line = std::string("auth_plugin: a login answer's rules could not be read, so the login is refused: ") + why;
        if (untold_ > 1) line += " (" + std::to_string(untold_ - 1) + " more such answers since the last line)";
        log_line(LogLevel::warning, line);
    } catch (...) {
        log_line(LogLevel::warning, "auth_plugin: a login answer's rules could not be read, so the login is refused");
    }
    told_at_ = now;
    untold_ = 0;
}

void Checker::refuse_if_expired(Verdict &v) noexcept {
    if (!v.granted || !v.rules || !v.rules->expired(unix_now())) return;
    v.granted = false;
    v.expired = true;
    const auto now = std::chrono::steady_clock::now();
    ++untold_expired_;
    if (told_expired_at_ != std::chrono::steady_clock::time_point{} && now - told_expired_at_ < std::chrono::seconds(10))
        return;
    try {
        std::string line = "auth_plugin: a login is refused although its answer granted it: the answer's expire_at "
                           "has passed";
        if (untold_expired_ > 1)
            line += " (" + std::to_string(untold_expired_ - 1) + " more such logins since the last line)";
        log_line(LogLevel::notice, line);
    } catch (...) {
    }
    told_expired_at_ = now;
    untold_expired_ = 0;
}
