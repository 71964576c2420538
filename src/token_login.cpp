#include "token_login.h"

#include <openssl/evp.h>

#include <cstring>
#include <utility>

#include "checker.h"
#include "json_answer.h"
#include "log.h"
#include "login_rules.h"
#include "token_keys.h"
#include "token_verifier.h"

TokenLogins::TokenLogins(const Settings &s, const Configuration &c, HttpClient &client, const std::string &shown_jwks_uri,
                         std::function<KeySetSource::Clock::time_point()> now, std::size_t remembered_bound)
    : from_username_(s.http_jwt_from_username),
      rules_applied_(c.which == Interface::v5),
      verifier_(c.token_verifier),
      secret_(c.token_secret),
      sha256_(EVP_MD_fetch(nullptr, "SHA2-256", nullptr)),
      hashing_(EVP_MD_CTX_new()),
      bound_(remembered_bound) {
    if (s.http_jwt_jwks_uri)
        source_ = std::make_unique<KeySetSource>(client, s, *s.http_jwt_jwks_uri, shown_jwks_uri,
                                                 std::move(now));
}

TokenLogins::~TokenLogins() = default;

void TokenLogins::MdFree::operator()(EVP_MD *md) const noexcept { EVP_MD_free(md); }
void TokenLogins::MdCtxFree::operator()(EVP_MD_CTX *ctx) const noexcept { EVP_MD_CTX_free(ctx); }

Uses TokenLogins::uses() const noexcept { return verifier_ ? verifier_->uses() : 0; }

std::size_t TokenLogins::DigestHash::operator()(const Digest &d) const noexcept {
    std::size_t h;
    std::memcpy(&h, d.data(), sizeof h);  // a digest's bytes are as good as any hash
    return h;
}

std::shared_ptr<const TokenKeys> TokenLogins::keys() noexcept { return source_ ? source_->keys() : secret_; }

bool TokenLogins::digest(const char *token, const TemplateValues &values, Digest &out) noexcept {
    // The token and every value its claims were checked against: the same
    // token from another user name (say) is verified afresh.
    // Without SHA-256 (none to be had at start), tokens are verified each time.
    EVP_MD_CTX *ctx = hashing_.get();
    bool ok = ctx && sha256_ && EVP_DigestInit_ex2(ctx, sha256_.get(), nullptr) == 1;
    const auto add = [&](const char *text) {
        const std::size_t n = text ? std::strlen(text) : 0;
        const unsigned char had = text ? 1 : 0;
        ok = ok && EVP_DigestUpdate(ctx, &had, 1) == 1 && EVP_DigestUpdate(ctx, &n, sizeof n) == 1 &&
             (n == 0 || EVP_DigestUpdate(ctx, text, n) == 1);
    };
    add(token);
    const Uses used = uses();
    for (std::size_t p = 0; p < placeholder_count; ++p)
        if (used & bit(static_cast<Placeholder>(p))) add(values.of[p]);
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, out.data(), &length) == 1 && length == out.size();
    return ok;
}

std::optional<CheckResult> TokenLogins::login(const char *token, const TemplateValues &values,
                                              bool use_remembered) noexcept {
    if (!token || !std::strchr(token, '.')) return std::nullopt;  // a password: no digest for it
    CheckResult v;
    v.source = Source::token;
    const std::int64_t now = unix_now();
    Digest key{};
    const bool keyed = digest(token, values, key);
    if (keyed && use_remembered) {
        if (auto it = remembered_.find(key); it != remembered_.end()) {
            if (it->second.expires > now && it->second.generation == generation()) {
                v.decision = Decision::grant;
                v.rules = it->second.rules;
                v.why = "(remembered)";
                return v;
            }
            remembered_.erase(it);
        }
    }
    // Whether it is shaped as a token at all is read by the verifier, once;
    // a remembered one was.
    auto in_force = keys();
    if (!in_force) {
        if (!TokenVerifier::shaped_as_token(token)) return std::nullopt;
        tell_no_keys();
        v.why = "no key set had yet";
        return v;
    }
    TokenVerifier::Result r = verifier_->verify(token, *in_force, values, now);
    if (r.outcome == TokenVerifier::Outcome::unknown_key && source_) {
        // A kid the set lacks may be a rotation: the set fetched again (paced), then asked again.
        if (auto again = source_->unknown_kid(); again && again != in_force)
            r = verifier_->verify(token, *(in_force = std::move(again)), values, now);
    }
    if (r.outcome == TokenVerifier::Outcome::not_a_token) return std::nullopt;
    if (r.outcome != TokenVerifier::Outcome::valid) {
        v.why = r.outcome == TokenVerifier::Outcome::unknown_key ? "unknown key"
                : !r.claim.empty()                               ? claim_words(r.claim, r.why)
                : r.why && *r.why                                ? r.why
                                                                 : "not a valid token";
        return v;
    }
    // Its expire_at is when the token stops being valid: the connection ends then.
    RulesRead read = read_json_body(r.answer);
    if (!read.rules) {
        v.why = "its claims could not be read as rules";
        return v;
    }
    if (!rules_applied_ && read.rules->has_acl()) {
        // Granting without the acl would grant more than the token says.
        v.why = "it carries an acl claim, which only auth_plugin_v5.so applies";
        return v;
    }
    if (read.rules->result() != LoginRules::Answered::allow) {
        v.why = "its claims say deny";
        return v;
    }
    v.decision = Decision::grant;
    v.rules = std::move(read.rules);
    if (keyed) remember(key, r.expires, values[Placeholder::username], v.rules);
    return v;
}

void TokenLogins::remember(const Digest &key, std::int64_t expires, const char *username,
                           std::shared_ptr<const LoginRules> rules) noexcept {
    try {
        if (remembered_.size() >= bound_) {
            // A fleet larger than the bound would otherwise read the whole
            // map at every new login: after a sweep that left it full, the
            // next waits for a tenth of the bound more tokens.
            if (unswept_ > 0) return void(--unswept_);
            ++sweeps_;
            const std::int64_t now = unix_now();
            for (auto it = remembered_.begin(); it != remembered_.end();)
                it = it->second.expires <= now ? remembered_.erase(it) : std::next(it);
            if (remembered_.size() >= bound_) return void(unswept_ = bound_ / 10);
        }
        remembered_[key] = {expires, username ? user_tag(username) : 0, generation(), std::move(rules)};
    } catch (...) {
        // not remembered: verified again next time
    }
}

std::size_t TokenLogins::forget(const char *username) noexcept {
    const std::size_t had = remembered_.size();
    if (!username) {
        remembered_.clear();
        return had;
    }
    const std::uint64_t user = user_tag(username);
    for (auto it = remembered_.begin(); it != remembered_.end();)
        it = it->second.user == user ? remembered_.erase(it) : std::next(it);
    return had - remembered_.size();
}

void TokenLogins::reload() noexcept {
    remembered_.clear();
    if (source_) source_->expire();
}

const char *TokenLogins::claim_words(const std::string &claim, const char *why) noexcept {
    // Claim names come from http_jwt_claims and the few the verifier reads:
    // no secret, and few (bounded all the same).
    constexpr std::size_t most = 64;
    try {
        if (!why) why = "a claim does not match";
        const std::string words = std::strcmp(why, "claim does not match") == 0
                                      ? "claim " + claim + " does not match"
                                      : std::string(why) + " (" + claim + ")";
        if (claim_words_.size() < most || claim_words_.count(words)) return claim_words_.insert(words).first->c_str();
    } catch (...) {
    }
    return why;
}

void TokenLogins::tell_no_keys() noexcept {
    std::size_t unsaid = 0;
    if (!no_keys_line_.due(RareLine::Clock::now(), unsaid)) return;
    try {
        std::string line = "auth_plugin: a login with a token is refused: no key set has been had yet";
        if (unsaid) line += " (" + std::to_string(unsaid) + " more such logins since the last line)";
        log_line(LogLevel::warning, line);
    } catch (...) {
    }
}

std::string TokenLogins::start() {
    if (source_) source_->keys();
    return describe();
}

std::string TokenLogins::describe() const {
    const std::string from = from_username_ ? "user name" : "password";
    return "auth_plugin: a " + from + " shaped as a signed token is verified at the broker, never sent to an "
           "endpoint; " + (source_ ? source_->describe() : "verified with " + secret_->describe());
}
