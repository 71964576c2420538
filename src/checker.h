// The two questions the broker asks, decided from the settings and, where
// they say so, by the endpoints. Made from start-up's Configuration: the
// request plans come built.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "access.h"
#include "backoff.h"
#include "check_result.h"
#include "configuration.h"
#include "decision_cache.h"
#include "http_client.h"
#include "rare_line.h"
#include "request_template.h"
#include "settings.h"

class TokenLogins;

// A check made ready to ask: what it does before its exchange, kept until
// the answer arrives, for an exchange that someone else runs.
struct PreparedCheck {
    Request request;
    Backoff *backoff = nullptr;
    std::size_t backoff_member = 0;  // which URL of the back-off's
    Backoff::Turn turn = Backoff::Turn::ask;
    bool keyed = false;  // has a decision-cache key
    std::uint64_t generation = 0;  // the cache's when asked: a reload or forget since makes its answer expired
    std::uint64_t user = 0;        // user_tag of the user it is about, for the cache's forget
    // Its answer's body is kept and read: a login whose answer may carry
    // rules, or any check under http_answers json.
    bool rules = false;
    bool login = false;
    DecisionCache::Digest key{};
};

// A login question: who, with what, and the extra fields the settings name
// (part of the question, so of the decision cache's key too).
struct LoginQuestion {
    const char *username = nullptr, *password = nullptr;
    const Field *extra = nullptr;
    std::size_t extra_count = 0;
    // For templates: what the client tells beyond the above (null: nothing).
    const TemplateValues *values = nullptr;
};

// An access question about a client and a topic.
struct AccessQuestion {
    const char *clientid = nullptr, *username = nullptr, *topic = nullptr;
    Access access = Access::none;
    const Field *extra = nullptr;
    std::size_t extra_count = 0;
    const TemplateValues *values = nullptr;  // as for a login
};

// A fixed 64-bit hash (FNV-1a) of a user name, never 0 (which means none).
std::uint64_t user_tag(const char *username) noexcept;

class Checker {
public:
    // Throws std::bad_alloc when it cannot be set up.
    explicit Checker(Configuration configuration);
    ~Checker();
    const Settings &settings() const noexcept { return settings_; }
    const HttpClient &client() const noexcept { return client_; }
    // How each question becomes a request (built at start-up): what its templates use.
    const RequestPlan &login_plan() const noexcept { return login_plan_; }
    const RequestPlan &access_plan() const noexcept { return access_plan_; }

    // The request a question would send, without sending it (the check
    // tool's --show-request); false when none would be sent.
    bool login_request(const LoginQuestion &question, Request &out) const noexcept;
    bool access_request(const AccessQuestion &question, Request &out) const noexcept;

    // consult_cache false: asked of the endpoint even when a kept decision
    // could answer (a reload's re-check).
    CheckResult login(const LoginQuestion &question, bool consult_cache = true) noexcept;
    CheckResult access(const AccessQuestion &question) noexcept;

    // A login in two halves, for an exchange run elsewhere. begin_login is
    // true when q must be asked of the endpoint (q.request); false when
    // v is already the result (decided without asking, from the cache
    // unless consult_cache is false, or refused by the back-off). finish is
    // called exactly once for each q begun, with what the exchange came to.
    // A kept answer whose rules' expire_at has passed answers nothing: the
    // login is asked again.
    bool begin_login(const LoginQuestion &question, bool consult_cache, PreparedCheck &q, CheckResult &v) noexcept;
    CheckResult finish(const PreparedCheck &q, const Answer &answer) noexcept;

    // The broker reloads its configuration: the endpoint's policy may have
    // changed too, so no kept decision answers fresh any more; kept ones
    // still answer while the endpoint gives no decision.
    void reload() noexcept;
    // The kept decisions about this user (null: about anyone) no longer
    // answer fresh; with keep_stale they still answer while the endpoint
    // gives no decision. Returns how many changed; 0 without a cache.
    std::size_t forget(const char *username, bool keep_stale) noexcept;
    // Signed tokens decided here (http_jwt_*): null when not configured.
    TokenLogins *tokens() noexcept { return tokens_.get(); }
    const TokenLogins *tokens() const noexcept { return tokens_.get(); }

private:
    // The password a login is asked with; null: it is not asked.
    const char *asked_password(const LoginQuestion &question) const noexcept;
    bool begin(std::size_t backoff_member, std::uint64_t user, bool consult_cache, PreparedCheck &q,
               CheckResult &v) noexcept;
    // q's exchange, now, and its result with the time it took.
    CheckResult timed_exchange(const PreparedCheck &q) noexcept;
    // For a check the endpoint gave no decision: a kept one within its stale bound, if any.
    void answer_stale(CheckResult &v, const DecisionCache::Digest &key,
                      std::chrono::steady_clock::time_point now) noexcept;
    // A granted answer's body read (http_login_rules, http_answers json):
    // what it decides, into v and for the cache.
    DecisionCache::Decision read_rules(const Answer &answer, bool login, CheckResult &v) noexcept;
    // One line for the broker's log, at most one per interval however many
    // answers are refused (a flood must not flood the log). Answers are
    // finished on one thread (the broker's), so this needs no lock.
    void tell_refused_rules(bool login, const char *why) noexcept;
    // A granted login whose rules say its time is up (expire_at) is refused,
    // and the log says so (at most once per interval).
    void refuse_if_expired(CheckResult &v) noexcept;

    const Settings settings_;
    HttpClient client_;
    const RequestPlan login_plan_, access_plan_;
    std::unique_ptr<DecisionCache> cache_;  // null unless http_cache_ms is set
    // Both URL settings, each backing off on its own failures (with
    // http_backoff_ms; without, only telling an outage), and both ended by
    // an answer from their origin; null when neither is set.
    std::unique_ptr<Backoff> backoff_;
    std::unique_ptr<TokenLogins> tokens_;  // null unless http_jwt_jwks_uri or http_jwt_secret_file is set
    static constexpr std::size_t user_member = 0, acl_member = 1;  // in backoff_
    RareLine refused_line_, expired_line_;
    bool told_superuser_ = false;  // an is_superuser left unapplied, said once
};
