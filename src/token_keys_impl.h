// What the key set and the verifier share, kept out of their headers: the
// algorithms, the keys as they are held (imported once, when the set is
// read), and the JSON and base64url readers both use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <cjose/jwk.h>
#include <jansson.h>
#include <openssl/evp.h>

#include "token_keys.h"

namespace token {

// The algorithms a key can verify; a token's "alg" must name one of its key's.
enum Alg : std::uint8_t { RS256, RS384, RS512, PS256, PS384, PS512, ES256, ES384, ES512, EdDSA, HS256, HS384, HS512 };
constexpr int alg_count = HS512 + 1;
using Algs = std::uint16_t;  // a bit per Alg
constexpr Algs alg_bit(Alg a) noexcept { return static_cast<Algs>(1u << a); }
constexpr Algs rsa_algs = alg_bit(RS256) | alg_bit(RS384) | alg_bit(RS512) | alg_bit(PS256) | alg_bit(PS384) |
                          alg_bit(PS512);
constexpr Algs hmac_algs = alg_bit(HS256) | alg_bit(HS384) | alg_bit(HS512);
const char *alg_name(Alg a) noexcept;
// False for a name we do not verify ("none" among them).
bool alg_named(std::string_view name, Alg &out) noexcept;

struct JsonFree {
    void operator()(json_t *j) const noexcept { json_decref(j); }
};
using Json = std::unique_ptr<json_t, JsonFree>;
struct JwkFree {
    void operator()(cjose_jwk_t *k) const noexcept { cjose_jwk_release(k); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *k) const noexcept { EVP_PKEY_free(k); }
};

enum class Parsed { ok, not_json, duplicate };
// JSON text as jansson reads it with duplicate members refused (in any
// object, however deep). Throws nothing.
Parsed parse_json(std::string_view text, Json &out) noexcept;

// base64url as tokens and keys write it: the URL-safe alphabet, no padding,
// no other character. OpenSSL decodes. False for anything else. Throws
// std::bad_alloc.
bool base64url_decode(std::string_view in, std::string &out);
bool base64url_chars(std::string_view in) noexcept;

}  // namespace token

struct TokenKeys::Key {
    std::string kid;
    bool has_kid = false;
    token::Algs algs = 0;
    std::size_t rsa_bytes = 0;  // an RSA key's modulus: the size of its signatures
    std::unique_ptr<cjose_jwk_t, token::JwkFree> jwk;  // RSA, EC and the HMAC secret: cjose verifies
    std::unique_ptr<EVP_PKEY, token::PkeyFree> ed25519;  // EdDSA: OpenSSL verifies (cjose has no OKP keys)
};

struct TokenKeys::Impl {
    std::vector<Key> keys;
    std::size_t skipped = 0;
    bool secret = false;  // one HMAC secret: it answers for any kid
    const Key *find(std::string_view kid) const noexcept {
        for (const Key &k : keys)
            if (k.has_kid && k.kid == kid) return &k;
        return nullptr;
    }
};
