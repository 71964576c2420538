// Signed tokens (JWT, compact form) verified at the broker: a token that
// verifies is the login's answer, its claims read as a login's JSON answer
// is (src/json_answer.h), with no exchange.
//
// What a token cannot talk us out of: the algorithm is the key's (never
// "none", never an HMAC token against a public key); jku, x5u, jwk and x5c
// are never fetched or trusted; a crit header refuses; exp is required,
// exp, nbf and iat are judged with the leeway; duplicate members, bad
// base64url and over-long tokens refuse.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "request_template.h"

class TokenKeys;

class TokenVerifier {
public:
    static constexpr std::size_t max_token_bytes = 8 * 1024;

    // claims: http_jwt_claims, a JSON object whose string values are
    // templates (${username}, ${clientid}, ...) that the token's claim of
    // that name must equal once filled (for "aud", one of its values);
    // other values must be equal as JSON. Empty: no claim is required
    // beyond exp. Throws std::invalid_argument with one line naming
    // http_jwt_claims and what is wrong (never a value), std::bad_alloc.
    TokenVerifier(std::string_view claims, std::chrono::seconds leeway);
    ~TokenVerifier();
    TokenVerifier(const TokenVerifier &) = delete;
    TokenVerifier &operator=(const TokenVerifier &) = delete;

    // The placeholders the claims use: values must be had for them.
    Uses uses() const noexcept;

    // Text shaped as a token: three base64url parts, the first a JSON object
    // with an "alg" or "kid" member. Anything else is not for us to decide
    // (a password for the endpoint).
    static bool shaped_as_token(std::string_view text) noexcept;

    enum class Outcome : std::uint8_t {
        not_a_token,  // not shaped as one
        valid,        // verified, claims as required: answer and expires are set
        refused,      // shaped as a token, and not a valid one: why says what
        unknown_key,  // names a kid that is not in the set (fetch the set again, then ask again)
    };
    struct Result {
        Outcome outcome = Outcome::refused;
        // Fixed text, never the token nor a claim's value: "expired", "not yet
        // valid", "issued in the future", "no exp", "bad signature", "unknown
        // key", "no kid", "algorithm not the key's" ("none" too), "crit
        // header", "malformed", "malformed claim", "too long", "duplicate
        // member", "claim does not match", "not a token"...
        const char *why = "";
        std::string claim;  // the claim that did not match or could not be read (why says which)
        std::string kid;    // the kid named, if any (for unknown_key)
        // valid: the login's answer as JSON, as an endpoint would have given
        // it: {"result": "allow", "is_superuser": ..., "acl": ..., "expire_at": exp
        // plus the leeway (when the token stops being valid)},
        // with an acl claim's older pub/sub/all lists as rules; is_superuser
        // and acl only where the token carries them.
        std::string answer;
        std::int64_t expires = 0;  // exp, Unix seconds
    };
    // now: Unix seconds. Never throws: anything that goes wrong refuses.
    Result verify(std::string_view token, const TokenKeys &keys, const TemplateValues &values,
                  std::int64_t now) const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
