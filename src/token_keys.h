// The keys that signed tokens are verified with: a JSON Web Key Set
// (http_jwt_jwks_uri) or one HMAC secret (http_jwt_secret_file). Immutable
// once made, shared by every check that uses it; a new set replaces it whole.
//
// Each key carries the algorithms it verifies, decided by the key alone (its
// "alg" member, or else its type and curve): a token never chooses one.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class TokenKeys {
public:
    struct Key;  // one usable key: its kid, algorithms and verifier

    // A key set document ({"keys": [...]}). Keys it cannot use (an unknown
    // kty or alg, "use" other than "sig", RSA under 2048 bits, a private
    // member, a duplicate kid) are left out and counted in skipped(). Null,
    // with one line in error (no key material), when the document is not a
    // key set at all. Throws nothing.
    static std::shared_ptr<const TokenKeys> from_jwks(std::string_view document, std::string &error) noexcept;
    // One HMAC secret: HS256, HS384 and HS512. Null, with error, for a secret
    // too short to be one (under 32 bytes).
    static std::shared_ptr<const TokenKeys> from_secret(std::string_view secret, std::string &error) noexcept;

    std::size_t size() const noexcept;     // keys in force
    std::size_t skipped() const noexcept;  // keys left out
    // A key of this kid is in force (a token naming one that is not may
    // mean the set was rotated: worth fetching again). The HMAC secret
    // answers for any kid.
    bool has(std::string_view kid) const noexcept;
    // What is in force, for the start-up line and the check tool, never key
    // material: "3 keys: a RS256, b ES256, c EdDSA" or "an HMAC secret
    // (HS256, HS384, HS512)". Throws std::bad_alloc.
    std::string describe() const;

    ~TokenKeys();
    TokenKeys(const TokenKeys &) = delete;
    TokenKeys &operator=(const TokenKeys &) = delete;

private:
    TokenKeys();
    friend class TokenVerifier;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
