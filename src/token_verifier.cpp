// A token verified: its header read by us (duplicates refused, the
// algorithm checked against the key's before any signature is looked at),
// its signature by cjose (RSA, EC, HMAC) or OpenSSL (Ed25519), its claims
// judged, then turned into the answer an endpoint would have given.
#include "token_verifier.h"

#include <cjose/jws.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "token_keys_impl.h"

using namespace token;

namespace {

constexpr std::size_t max_kid_reported = 256;

struct JwsFree {
    void operator()(cjose_jws_t *j) const noexcept { cjose_jws_release(j); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *c) const noexcept { EVP_MD_CTX_free(c); }
};
struct CharFree {
    void operator()(char *p) const noexcept { std::free(p); }
};

// The three parts of a compact token, split at its two dots.
struct Parts {
    std::string_view header, payload, signature, signed_text;
    bool split(std::string_view token) noexcept {
        const std::size_t first = token.find('.');
        if (first == std::string_view::npos) return false;
        const std::size_t second = token.find('.', first + 1);
        if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) return false;
        header = token.substr(0, first);
        payload = token.substr(first + 1, second - first - 1);
        signature = token.substr(second + 1);
        signed_text = token.substr(0, second);
        return !header.empty() && base64url_chars(header) && base64url_chars(payload) && base64url_chars(signature);
    }
};

// A NumericDate: a JSON number, seconds since 1970, whole ones counted.
bool seconds(const json_t *value, std::int64_t &out) noexcept {
    if (json_is_integer(value)) return out = json_integer_value(value), true;
    if (!json_is_real(value)) return false;
    const double d = std::floor(json_real_value(value));
    if (!(d > -9e18 && d < 9e18)) return false;
    return out = static_cast<std::int64_t>(d), true;
}

// The size a signature of alg by key must have. cjose compares an HMAC for
// the length of its own digest, whatever the token's length: a shorter
// signature would have it read past its buffer.
std::size_t signature_bytes(const TokenKeys::Key &key, Alg alg) noexcept {
    switch (alg) {
    case HS256: return 32;
    case HS384: return 48;
    case HS512: return 64;
    case ES256: return 64;
    case ES384: return 96;
    case ES512: return 132;
    case EdDSA: return 64;
    default: return key.rsa_bytes;
    }
}

bool string_equals(const json_t *value, const std::string &text) noexcept {
    return json_is_string(value) && json_string_length(value) == text.size() &&
           std::memcmp(json_string_value(value), text.data(), text.size()) == 0;
}

json_t *checked(json_t *made) {
    if (!made) throw std::bad_alloc();
    return made;
}
void set(json_t *object, const char *name, json_t *value) {
    if (json_object_set_new(object, name, checked(value)) != 0) throw std::bad_alloc();
}

// The acl claim's older form, {"pub": [...], "sub": [...], "all": [...]}, as
// the rules it stands for: each list allows its action on its topics. False
// for anything else in it.
bool older_acl(const json_t *lists, json_t *rules) {
    static const char *const actions[][2] = {{"pub", "publish"}, {"sub", "subscribe"}, {"all", "all"}};
    std::size_t known = 0;
    for (const auto &pair : actions) {
        json_t *topics = json_object_get(lists, pair[0]);
        if (!topics) continue;
        ++known;
        if (!json_is_array(topics)) return false;
        if (json_array_size(topics) == 0) continue;  // a rule needs a topic
        Json rule(checked(json_object()));
        set(rule.get(), "permission", json_string("allow"));
        set(rule.get(), "action", json_string(pair[1]));
        if (json_object_set(rule.get(), "topics", topics) != 0 || json_array_append(rules, rule.get()) != 0)
            throw std::bad_alloc();
    }
    return known == json_object_size(lists);
}

}  // namespace

struct TokenVerifier::Impl {
    struct Claim {
        std::string name;
        bool templated = false;
        Template text;  // templated: the value, filled with the client's
        Json value;     // otherwise: equal as JSON
    };
    std::vector<Claim> claims;
    Uses uses = 0;
    std::int64_t leeway = 0;

    void verify(std::string_view token, const TokenKeys &keys, const TemplateValues &values, std::int64_t now,
                Result &r) const;
    bool signed_by(const TokenKeys::Key &key, Alg alg, std::string_view token, const Parts &parts) const;
    bool claims_hold(const json_t *payload, const TemplateValues &values, Result &r) const;
    static bool answer(const json_t *payload, std::int64_t until, Result &r);
};

TokenVerifier::TokenVerifier(std::string_view claims, std::chrono::seconds leeway) : impl_(new Impl) {
    impl_->leeway = std::max<std::int64_t>(0, std::min<std::int64_t>(leeway.count(), 365LL * 24 * 3600));
    if (claims.find_first_not_of(" \t\r\n") == std::string_view::npos) return;
    Json parsed;
    const Parsed how = parse_json(claims, parsed);
    if (how == Parsed::duplicate) throw std::invalid_argument("http_jwt_claims: a claim is named twice");
    if (how != Parsed::ok || !json_is_object(parsed.get()))
        throw std::invalid_argument("http_jwt_claims: not a JSON object of claims");
    const char *name;
    json_t *value;
    json_object_foreach(parsed.get(), name, value) {
        Impl::Claim claim;
        claim.name = name;
        if (json_is_string(value)) {
            std::string unknown;
            claim.templated = true;
            if (!claim.text.add({json_string_value(value), json_string_length(value)}, Escape::none, unknown))
                throw std::invalid_argument("http_jwt_claims: claim " + claim.name + " has an unknown placeholder ${" +
                                            unknown + "}");
            impl_->uses |= claim.text.uses();
        } else {
            claim.value.reset(json_incref(value));
        }
        impl_->claims.push_back(std::move(claim));
    }
}

TokenVerifier::~TokenVerifier() = default;

Uses TokenVerifier::uses() const noexcept { return impl_->uses; }

bool TokenVerifier::shaped_as_token(std::string_view text) noexcept {
    try {
        Parts parts;
        if (!parts.split(text)) return false;
        if (text.size() > max_token_bytes) return true;  // refused as too long, not read
        std::string header;
        json_error_t error;
        if (!base64url_decode(parts.header, header)) return false;
        // Read as it comes, duplicates and all: a token with them is still one (and refused).
        Json object(json_loadb(header.data(), header.size(), 0, &error));
        return json_is_object(object.get()) && (json_object_get(object.get(), "alg") || json_object_get(object.get(), "kid"));
    } catch (...) {
        return false;
    }
}

TokenVerifier::Result TokenVerifier::verify(std::string_view token, const TokenKeys &keys,
                                            const TemplateValues &values, std::int64_t now) const noexcept {
    try {
        Result r;
        impl_->verify(token, keys, values, now, r);
        return r;
    } catch (...) {
        Result failed;
        failed.why = "out of memory";
        return failed;
    }
}

void TokenVerifier::Impl::verify(std::string_view token, const TokenKeys &keys, const TemplateValues &values,
                                 std::int64_t now, Result &r) const {
    auto refuse = [&r](const char *why, Outcome outcome = Outcome::refused) {
        r.outcome = outcome;
        r.why = why;
    };
    // Not shaped as a token: not ours to decide (shaped_as_token, read once here).
    auto not_ours = [&]() { refuse("not a token", Outcome::not_a_token); };
    Parts parts;
    if (!parts.split(token)) return not_ours();
    if (token.size() > max_token_bytes) return refuse("too long");
    std::string text, claims_text;
    Json header;
    if (!base64url_decode(parts.header, text)) return not_ours();
    const Parsed how = parse_json(text, header);
    if (how == Parsed::duplicate) return shaped_as_token(token) ? refuse("duplicate member") : not_ours();
    const json_t *alg_member = json_object_get(header.get(), "alg");
    const json_t *kid_member = json_object_get(header.get(), "kid");
    if (!json_is_object(header.get()) || (!alg_member && !kid_member)) return not_ours();
    if (!json_is_string(alg_member) || (kid_member && !json_is_string(kid_member)) ||
        !base64url_decode(parts.payload, claims_text))
        return refuse("malformed");
    if (json_object_get(header.get(), "crit")) return refuse("crit header");
    Alg alg;
    // "none" is no algorithm of ours, nor is any other we do not verify.
    if (!alg_named(json_string_value(alg_member), alg)) return refuse("algorithm not the key's");

    // The key: by kid, or the only one there is. jku, x5u, jwk and x5c are never looked at.
    const TokenKeys::Impl &held = *keys.impl_;
    const TokenKeys::Key *key = nullptr;
    if (held.secret) key = &held.keys.front();
    else if (kid_member) {
        const std::string_view kid(json_string_value(kid_member), json_string_length(kid_member));
        key = held.find(kid);
        if (!key) {
            r.kid.assign(kid.substr(0, max_kid_reported));
            return refuse("unknown key", Outcome::unknown_key);
        }
    } else if (held.keys.size() == 1) key = &held.keys.front();
    else return refuse(held.keys.empty() ? "no keys" : "no kid");
    if (!(key->algs & alg_bit(alg))) return refuse("algorithm not the key's");
    // Unpadded base64url: 4 characters for 3 bytes, a last group of 2 or 3 for 1 or 2.
    if (parts.signature.size() % 4 == 1 || parts.signature.size() * 3 / 4 != signature_bytes(*key, alg))
        return refuse("malformed");
    if (!signed_by(*key, alg, token, parts)) return refuse("bad signature");

    Json payload;
    const Parsed read = parse_json(claims_text, payload);
    if (read == Parsed::duplicate) return refuse("duplicate member");
    if (read != Parsed::ok || !json_is_object(payload.get())) return refuse("malformed");

    // exp, nbf and iat with the leeway, for clocks apart (now - leeway cannot overflow, exp + leeway could).
    std::int64_t exp, nbf, iat;
    const json_t *member = json_object_get(payload.get(), "exp");
    if (!member) return refuse("no exp");
    if (!seconds(member, exp)) return r.claim = "exp", refuse("malformed claim");
    if (exp <= now - leeway) return refuse("expired");
    if ((member = json_object_get(payload.get(), "nbf"))) {
        if (!seconds(member, nbf)) return r.claim = "nbf", refuse("malformed claim");
        if (nbf > now && nbf - now > leeway) return refuse("not yet valid");
    }
    if ((member = json_object_get(payload.get(), "iat"))) {
        if (!seconds(member, iat)) return r.claim = "iat", refuse("malformed claim");
        if (iat > now && iat - now > leeway) return refuse("issued in the future");
    }
    if (!claims_hold(payload.get(), values, r)) return refuse("claim does not match");
    // The connection ends when the token stops being valid: at exp, as late as the leeway lets it.
    const std::int64_t until = exp > std::numeric_limits<std::int64_t>::max() - leeway ? exp : exp + leeway;
    if (!answer(payload.get(), until, r)) return refuse("malformed claim");
    r.outcome = Outcome::valid;
    r.why = "";
    r.expires = exp;
}

bool TokenVerifier::Impl::signed_by(const TokenKeys::Key &key, Alg alg, std::string_view token,
                                    const Parts &parts) const {
    if (alg == EdDSA) {
        std::string signature;
        if (!base64url_decode(parts.signature, signature)) return false;
        std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
        if (!ctx) throw std::bad_alloc();
        return EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.ed25519.get()) == 1 &&
               EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.data()), signature.size(),
                                reinterpret_cast<const unsigned char *>(parts.signed_text.data()),
                                parts.signed_text.size()) == 1;
    }
    // cjose reads the same header again and verifies by its alg, which is the
    // one just checked against the key (and it refuses a key of another type).
    cjose_err error;
    std::unique_ptr<cjose_jws_t, JwsFree> jws(cjose_jws_import(token.data(), token.size(), &error));
    return jws && cjose_jws_verify(jws.get(), key.jwk.get(), &error);
}

bool TokenVerifier::Impl::claims_hold(const json_t *payload, const TemplateValues &values, Result &r) const {
    std::string wanted;
    for (const Claim &claim : claims) {
        const json_t *have = json_object_get(payload, claim.name.c_str());
        bool holds = false;
        if (!claim.templated) holds = have && json_equal(have, claim.value.get());
        else if (wanted.clear(); have && claim.text.fill(values, Escape::none, wanted)) {
            holds = string_equals(have, wanted);
            if (!holds && json_is_array(have) && claim.name == "aud") {  // an audience among several
                std::size_t i;
                json_t *one;
                json_array_foreach(have, i, one) holds = holds || string_equals(one, wanted);
            }
        }
        if (!holds) return r.claim = claim.name, false;
    }
    return true;
}

bool TokenVerifier::Impl::answer(const json_t *payload, std::int64_t until, Result &r) {
    // Written as it goes: only the acl claim is JSON of the token's to copy.
    std::string out = R"({"result":"allow")";
    if (const json_t *superuser = json_object_get(payload, "is_superuser")) {
        if (!json_is_boolean(superuser)) return r.claim = "is_superuser", false;
        out += json_is_true(superuser) ? R"(,"is_superuser":true)" : R"(,"is_superuser":false)";
    }
    if (json_t *acl = json_object_get(payload, "acl")) {
        Json rules;
        if (!json_is_array(acl)) {
            rules.reset(checked(json_array()));
            if (!json_is_object(acl) || !older_acl(acl, rules.get())) return r.claim = "acl", false;
            acl = rules.get();
        }
        std::unique_ptr<char, CharFree> text(json_dumps(acl, JSON_COMPACT));
        if (!text) throw std::bad_alloc();
        out.append(R"(,"acl":)").append(text.get());
    }
    out.append(R"(,"expire_at":)").append(std::to_string(until)).append("}");
    r.answer = std::move(out);
    return true;
}
