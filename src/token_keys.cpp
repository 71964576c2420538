// The key set: a JWKS document read once into keys ready to verify with
// (cjose imports RSA and EC keys, OpenSSL Ed25519 ones), each with the
// algorithms its own members allow. Anything doubtful about a key leaves it
// out; only a document that is no key set at all is an error.
#include "token_keys_impl.h"

#include <cjose/jwk.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace token {

namespace {
const char *const alg_names[alg_count] = {"RS256", "RS384", "RS512", "PS256", "PS384", "PS512", "ES256",
                                          "ES384", "ES512", "EdDSA", "HS256", "HS384", "HS512"};
}

const char *alg_name(Alg a) noexcept { return alg_names[a]; }

bool alg_named(std::string_view name, Alg &out) noexcept {
    for (int a = 0; a < alg_count; ++a)
        if (name == alg_names[a]) return out = static_cast<Alg>(a), true;
    return false;
}

Parsed parse_json(std::string_view text, Json &out) noexcept {
    json_error_t error;
    out.reset(json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES, &error));
    if (out) return Parsed::ok;
    return json_error_code(&error) == json_error_duplicate_key ? Parsed::duplicate : Parsed::not_json;
}

bool base64url_chars(std::string_view in) noexcept {
    for (const char c : in)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

bool base64url_decode(std::string_view in, std::string &out) {
    if (in.size() % 4 == 1 || in.size() > INT_MAX / 2 || !base64url_chars(in)) return false;
    // OpenSSL decodes the standard alphabet, padded.
    std::string standard(in);
    for (char &c : standard) c = c == '-' ? '+' : c == '_' ? '/' : c;
    const std::size_t pad = (4 - in.size() % 4) % 4;
    standard.append(pad, '=');
    out.resize(standard.size() / 4 * 3);
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(standard.data()),
                                  static_cast<int>(standard.size()));
    if (n < 0 || static_cast<std::size_t>(n) < pad) return false;
    out.resize(static_cast<std::size_t>(n) - pad);  // the padding decoded as zero bytes
    return true;
}

}  // namespace token

using namespace token;

namespace {

constexpr std::size_t max_document_bytes = 1024 * 1024;
constexpr std::size_t max_keys = 64;
constexpr std::size_t max_kid_bytes = 256;
constexpr unsigned min_rsa_bits = 2048, max_rsa_bits = 16384;

const char *string_member(const json_t *object, const char *name) noexcept {
    return json_string_value(json_object_get(object, name));  // null when absent or not a string
}

// A big-endian unsigned number from base64url, without its leading zeros.
bool unsigned_bytes(const json_t *key, const char *name, std::string &out) {
    const char *text = string_member(key, name);
    if (!text || !base64url_decode(text, out)) return false;
    out.erase(0, std::min(out.find_first_not_of('\0'), out.size()));
    return !out.empty();
}

// RSA keys too small to be safe, or with an exponent that makes
// verification meaningless (1, or even), are no keys of ours.
bool rsa_strong(const json_t *key, std::size_t &bytes) {
    std::string n, e;
    if (!unsigned_bytes(key, "n", n) || !unsigned_bytes(key, "e", e)) return false;
    unsigned top = static_cast<unsigned char>(n[0]), top_bits = 0;
    while (top) ++top_bits, top >>= 1;
    const std::size_t bits = (n.size() - 1) * 8 + top_bits;
    const bool e_fine = e.size() <= 8 && (e.back() & 1) && (e.size() > 1 || static_cast<unsigned char>(e[0]) >= 3);
    bytes = n.size();
    return bits >= min_rsa_bits && bits <= max_rsa_bits && e_fine;
}

// The algorithms the key's own members allow: its "alg" when given (one of
// its type's), else every one its type and curve verify. Zero: not a key we use.
Algs algorithms(const json_t *key, const char *kty) noexcept {
    Algs of_type = 0;
    const char *crv = string_member(key, "crv");
    if (std::strcmp(kty, "RSA") == 0) of_type = rsa_algs;
    else if (std::strcmp(kty, "EC") == 0 && crv)
        of_type = std::strcmp(crv, "P-256") == 0   ? alg_bit(ES256)
                  : std::strcmp(crv, "P-384") == 0 ? alg_bit(ES384)
                  : std::strcmp(crv, "P-521") == 0 ? alg_bit(ES512)
                                                   : 0;
    else if (std::strcmp(kty, "OKP") == 0 && crv && std::strcmp(crv, "Ed25519") == 0) of_type = alg_bit(EdDSA);
    const json_t *alg = json_object_get(key, "alg");
    if (!alg) return of_type;
    Alg named;
    if (!json_is_string(alg) || !alg_named(json_string_value(alg), named)) return 0;
    return of_type & alg_bit(named);
}

bool for_signatures(const json_t *key) noexcept {
    const json_t *use = json_object_get(key, "use");
    if (use && !(json_is_string(use) && std::strcmp(json_string_value(use), "sig") == 0)) return false;
    const json_t *ops = json_object_get(key, "key_ops");
    if (!ops) return true;
    std::size_t i;
    json_t *op;
    json_array_foreach(ops, i, op) {
        if (json_is_string(op) && std::strcmp(json_string_value(op), "verify") == 0) return true;
    }
    return false;
}

bool has_private_member(const json_t *key) noexcept {
    for (const char *name : {"d", "p", "q", "dp", "dq", "qi", "oth", "k"})
        if (json_object_get(key, name)) return true;
    return false;
}

// One key of the set, ready to verify with; false to leave it out.
bool read_key(json_t *key, const std::vector<TokenKeys::Key> &taken, TokenKeys::Key &out) {
    if (!json_is_object(key) || has_private_member(key) || !for_signatures(key)) return false;
    const char *kty = string_member(key, "kty");
    if (!kty) return false;
    if (const json_t *kid = json_object_get(key, "kid")) {
        if (!json_is_string(kid) || json_string_length(kid) > max_kid_bytes) return false;
        out.kid.assign(json_string_value(kid), json_string_length(kid));
        out.has_kid = true;
        for (const TokenKeys::Key &k : taken)
            if (k.has_kid && k.kid == out.kid) return false;  // the first of a kid is the one in force
    }
    out.algs = algorithms(key, kty);
    if (!out.algs) return false;
    if (out.algs == alg_bit(EdDSA)) {
        std::string x;
        const char *text = string_member(key, "x");
        if (!text || !base64url_decode(text, x) || x.size() != 32) return false;
        out.ed25519.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                      reinterpret_cast<const unsigned char *>(x.data()), x.size()));
        return out.ed25519 != nullptr;
    }
    if (std::strcmp(kty, "RSA") == 0 && !rsa_strong(key, out.rsa_bytes)) return false;
    // cjose checks the rest: an EC point on its curve, an RSA modulus it can use.
    cjose_err error;
    out.jwk.reset(cjose_jwk_import_json(key, &error));
    return out.jwk != nullptr;
}

}  // namespace

TokenKeys::TokenKeys() : impl_(new Impl) {}
TokenKeys::~TokenKeys() = default;

std::shared_ptr<const TokenKeys> TokenKeys::from_jwks(std::string_view document, std::string &error) noexcept {
    try {
        error.clear();
        if (document.size() > max_document_bytes) {
            error = "the key set is larger than 1 MiB";
            return nullptr;
        }
        Json parsed;
        const Parsed how = parse_json(document, parsed);
        // Only what is wrong, never the document's text (jansson's messages quote it).
        if (how == Parsed::duplicate) error = "the key set has a duplicate member";
        else if (how == Parsed::not_json) error = "the key set is not JSON";
        else if (!json_is_array(json_object_get(parsed.get(), "keys"))) error = "the key set has no \"keys\" list";
        if (!error.empty()) return nullptr;
        std::shared_ptr<TokenKeys> set(new TokenKeys);
        std::size_t i;
        json_t *key;
        json_array_foreach(json_object_get(parsed.get(), "keys"), i, key) {
            Key read;
            if (set->impl_->keys.size() < max_keys && read_key(key, set->impl_->keys, read))
                set->impl_->keys.push_back(std::move(read));
            else
                ++set->impl_->skipped;
        }
        return set;
    } catch (...) {
        error = "no memory to read the key set";
        return nullptr;
    }
}

std::shared_ptr<const TokenKeys> TokenKeys::from_secret(std::string_view secret, std::string &error) noexcept {
    try {
        error.clear();
        if (secret.size() < 32) {
            error = "the HMAC secret is shorter than 32 bytes";
            return nullptr;
        }
        std::shared_ptr<TokenKeys> set(new TokenKeys);
        Key key;
        key.algs = hmac_algs;
        cjose_err cerror;
        key.jwk.reset(cjose_jwk_create_oct_spec(reinterpret_cast<const std::uint8_t *>(secret.data()), secret.size(),
                                                &cerror));
        if (!key.jwk) {
            error = "the HMAC secret could not be made a key";
            return nullptr;
        }
        set->impl_->keys.push_back(std::move(key));
        set->impl_->secret = true;
        return set;
    } catch (...) {
        error = "no memory to read the HMAC secret";
        return nullptr;
    }
}

std::size_t TokenKeys::size() const noexcept { return impl_->keys.size(); }
std::size_t TokenKeys::skipped() const noexcept { return impl_->skipped; }

bool TokenKeys::has(std::string_view kid) const noexcept { return impl_->secret || impl_->find(kid); }

std::string TokenKeys::describe() const {
    auto algs = [](Algs of) {
        std::string out;
        for (int a = 0; a < alg_count; ++a)
            if (of & alg_bit(static_cast<Alg>(a))) out += (out.empty() ? "" : "/") + std::string(alg_name(static_cast<Alg>(a)));
        return out;
    };
    if (impl_->secret) return "an HMAC secret (" + algs(hmac_algs) + ")";
    const std::size_t n = impl_->keys.size();
    std::string out = std::to_string(n) + (n == 1 ? " key" : " keys");
    for (std::size_t i = 0; i < n; ++i) {
        const Key &key = impl_->keys[i];
        out += i ? ", " : ": ";
        if (!key.has_kid) out += "(no kid)";
        // A kid is the service's text: printable ASCII only, and not too much of it.
        for (std::size_t c = 0; c < key.kid.size() && c < 64; ++c)
            out += key.kid[c] >= 0x20 && key.kid[c] < 0x7f ? key.kid[c] : '?';
        if (key.kid.size() > 64) out += "...";
        out += " " + algs(key.algs);
    }
    if (impl_->skipped) out += "; " + std::to_string(impl_->skipped) + " left out";
    return out;
}
