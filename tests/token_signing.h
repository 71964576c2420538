// Tokens made as a service would make them, with OpenSSL alone (not the
// library that verifies them): keys generated in-process, their public JWK,
// and compact tokens signed over whatever header and payload text is given
// (so that broken ones can be made too). For the token tests and benchmark.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rsa.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace signing {

struct PkeyFree {
    void operator()(EVP_PKEY *k) const noexcept { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

inline void must(bool ok, const char *what) {
    if (!ok) throw std::runtime_error(what);
}

// "RSA" with bits, "EC" with a curve ("P-256"), "ED25519".
inline Pkey rsa(unsigned bits) { return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits))); }
inline Pkey ec(const char *curve) { return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve)); }
inline Pkey ed25519() { return Pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519")); }

inline std::string b64url(std::string_view bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    while (!out.empty() && out.back() == '=') out.pop_back();
    for (char &c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
    return out;
}

inline std::string bn_param(EVP_PKEY *key, const char *name, int size = 0) {
    BIGNUM *bn = nullptr;
    must(EVP_PKEY_get_bn_param(key, name, &bn) == 1, name);
    std::string bytes(static_cast<size_t>(size ? size : BN_num_bytes(bn)), '\0');
    BN_bn2binpad(bn, reinterpret_cast<unsigned char *>(bytes.data()), static_cast<int>(bytes.size()));
    BN_free(bn);
    return b64url(bytes);
}

// The key's public JWK, with extra members (",\"alg\":\"RS256\"") if given.
inline std::string jwk(EVP_PKEY *key, const std::string &kid, const std::string &extra = "") {
    std::string members;
    if (EVP_PKEY_is_a(key, "RSA")) {
        members = R"("kty":"RSA","n":")" + bn_param(key, OSSL_PKEY_PARAM_RSA_N) + R"(","e":")" +
                  bn_param(key, OSSL_PKEY_PARAM_RSA_E) + '"';
    } else if (EVP_PKEY_is_a(key, "EC")) {
        char curve[32];
        must(EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve, nullptr) == 1, "crv");
        const std::string crv = std::string(curve) == "prime256v1" ? "P-256" : std::string(curve) == "secp384r1" ? "P-384" : "P-521";
        const int size = (EVP_PKEY_get_bits(key) + 7) / 8;
        members = R"("kty":"EC","crv":")" + crv + R"(","x":")" + bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, size) +
                  R"(","y":")" + bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, size) + '"';
    } else {
        unsigned char raw[32];
        size_t n = sizeof raw;
        must(EVP_PKEY_get_raw_public_key(key, raw, &n) == 1, "raw");
        members = R"("kty":"OKP","crv":"Ed25519","x":")" + b64url({reinterpret_cast<char *>(raw), n}) + '"';
    }
    return "{" + members + (kid.empty() ? "" : R"(,"kid":")" + kid + '"') + extra + "}";
}

// The signature of text by alg ("RS256", "PS384", "ES256", "EdDSA", "HS256"...):
// with key, or for HS with secret.
inline std::string sign(std::string_view alg, EVP_PKEY *key, std::string_view text, std::string_view secret = "") {
    const std::string bits(alg.substr(2));
    const EVP_MD *md = alg == "EdDSA" ? nullptr : bits == "256" ? EVP_sha256() : bits == "384" ? EVP_sha384() : EVP_sha512();
    const auto *data = reinterpret_cast<const unsigned char *>(text.data());
    std::string out(1024, '\0');
    auto *sig = reinterpret_cast<unsigned char *>(out.data());
    if (alg.substr(0, 2) == "HS") {
        unsigned n = 0;
        must(HMAC(md, secret.data(), static_cast<int>(secret.size()), data, text.size(), sig, &n), "hmac");
        return b64url(out.substr(0, n));
    }
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX *pctx = nullptr;
    must(EVP_DigestSignInit(ctx.get(), &pctx, md, nullptr, key) == 1, "sign init");
    if (alg.substr(0, 2) == "PS")
        must(EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
                 EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) == 1, "pss");
    size_t n = out.size();
    must(EVP_DigestSign(ctx.get(), sig, &n, data, text.size()) == 1, "sign");
    out.resize(n);
    if (alg.substr(0, 2) != "ES") return b64url(out);
    // JWS writes r and s side by side, each as long as the curve's order.
    const unsigned char *der = sig;
    ECDSA_SIG *pair = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(n));
    must(pair != nullptr, "der");
    const int half = (EVP_PKEY_get_bits(key) + 7) / 8;
    std::string raw(2 * static_cast<size_t>(half), '\0');
    BN_bn2binpad(ECDSA_SIG_get0_r(pair), reinterpret_cast<unsigned char *>(raw.data()), half);
    BN_bn2binpad(ECDSA_SIG_get0_s(pair), reinterpret_cast<unsigned char *>(raw.data()) + half, half);
    ECDSA_SIG_free(pair);
    return b64url(raw);
}

// A compact token of this header and payload text, signed by alg.
inline std::string token(std::string_view alg, EVP_PKEY *key, const std::string &header, const std::string &payload,
                         std::string_view secret = "") {
    const std::string text = b64url(header) + "." + b64url(payload);
    return text + "." + sign(alg, key, text, secret);
}

}  // namespace signing
