// Logins decided by a signed token at the broker (http_jwt_*): the token's
// claims are the login's answer, read as an endpoint's JSON answer is, and
// no exchange is made for it. A verified token is remembered by its digest
// until its expiry, so that a reconnect costs a lookup. Owned by the
// Checker, which routes a credential shaped as a token here; only one
// thread uses it (the broker's).
#pragma once

#include <openssl/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "check_result.h"
#include "configuration.h"
#include "key_set_source.h"
#include "rare_line.h"
#include "request_template.h"

class TokenKeys;
class TokenVerifier;
class LoginRules;

class TokenLogins {
public:
    // settings: the checker's (configuration's own were moved there); the
    // verifier, the secret and the library are configuration's. Throws std::bad_alloc.
    TokenLogins(const Settings &settings, const Configuration &configuration, HttpClient &client, const std::string &shown_jwks_uri,
                std::function<KeySetSource::Clock::time_point()> now = KeySetSource::Clock::now,
                std::size_t remembered_bound = max_remembered);
    ~TokenLogins();

    // The credential that carries the token: the password, or the user name
    // (http_jwt_from username).
    const char *credential(const char *username, const char *password) const noexcept {
        return from_username_ ? username : password;
    }
    Uses uses() const noexcept;

    // A login with this credential (token points into values' username or
    // password): none when it is not shaped as a token (not ours to decide);
    // else granted with the token's rules, or refused with why. remembered
    // false: verified again even if remembered (a reload's re-check).
    std::optional<CheckResult> login(const char *token, const TemplateValues &values, bool remembered) noexcept;
    // The remembered tokens of this user (null: of anyone) are verified again at their next use.
    std::size_t forget(const char *username) noexcept;
    // A reload: everything is verified again, against a key set fetched again.
    void reload() noexcept;
    // At start: the key set tried once (a failure is not fatal); the line
    // that says which keys are in force. Throws std::bad_alloc.
    std::string start();
    // What is in force now, for the check tool. Throws std::bad_alloc.
    std::string describe() const;

    // How often the full map was swept for expired tokens.
    std::uint64_t sweeps() const noexcept { return sweeps_; }
    std::uint64_t fetched() const noexcept { return source_ ? source_->fetched() : 0; }
    std::uint64_t fetch_failed() const noexcept { return source_ ? source_->failed() : 0; }

    // The most tokens remembered; past it, one more is verified each time.
    static constexpr std::size_t max_remembered = 100000;
    using Digest = std::array<unsigned char, 32>;

private:
    struct DigestHash {
        std::size_t operator()(const Digest &d) const noexcept;
    };
    struct Remembered {
        std::int64_t expires;  // Unix seconds: forgotten then
        std::uint64_t user;    // user_tag of its user name
        std::uint64_t generation;  // of the keys that verified it
        std::shared_ptr<const LoginRules> rules;
    };
    std::shared_ptr<const TokenKeys> keys() noexcept;
    std::uint64_t generation() const noexcept { return source_ ? source_->generation() : 0; }
    bool digest(const char *token, const TemplateValues &values, Digest &out) noexcept;
    void remember(const Digest &key, std::int64_t expires, const char *username,
                  std::shared_ptr<const LoginRules> rules) noexcept;
    // The words for a claim that did not match, kept for the result to point at.
    const char *claim_words(const std::string &claim, const char *why) noexcept;
    void tell_no_keys() noexcept;

    const bool from_username_;
    const bool rules_applied_;  // auth_plugin_v5.so: the acl and the expiry are applied
    std::shared_ptr<const TokenVerifier> verifier_;
    std::shared_ptr<const TokenKeys> secret_;
    std::unique_ptr<KeySetSource> source_;  // http_jwt_jwks_uri
    // SHA-256 fetched once and one context reused: fetching it per login
    // cost more than hashing the token.
    struct MdFree {
        void operator()(EVP_MD *md) const noexcept;
    };
    struct MdCtxFree {
        void operator()(EVP_MD_CTX *ctx) const noexcept;
    };
    std::unique_ptr<EVP_MD, MdFree> sha256_;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> hashing_;
    std::unordered_map<Digest, Remembered, DigestHash> remembered_;
    const std::size_t bound_;
    // Once a sweep left the map full, how many more tokens go unremembered
    // before the next sweep (each reads the whole map).
    std::size_t unswept_ = 0;
    std::uint64_t sweeps_ = 0;
    std::set<std::string> claim_words_;
    RareLine no_keys_line_;
};
