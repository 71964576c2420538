// What verifying one token costs, per algorithm: TokenVerifier::verify()
// whole (header, key, signature, claims, the answer), beside OpenSSL's
// signature check alone on the same key (the floor any verifier pays).
// Keys are imported once, as a key set is; tokens carry a typical payload
// and one required claim.
//
//   token_bench [--rounds R] [--count N] [--only ALG]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "token_keys.h"
#include "token_signing.h"
#include "token_verifier.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace signing;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// OpenSSL's verification of the token's signature alone, as a service's
// library would do it (a fresh context per token, the key already made).
bool floor_verify(const char *alg, EVP_PKEY *key, const std::string &token, const std::string &secret) {
    const std::size_t dot = token.rfind('.');
    const std::string text = token.substr(0, dot);
    if (alg[0] == 'H') return sign(alg, key, text, secret) == token.substr(dot + 1);
    std::string sig(1024, '\0');
    const std::string b64 = token.substr(dot + 1);
    std::string standard = b64;
    for (char &c : standard) c = c == '-' ? '+' : c == '_' ? '/' : c;
    standard.append((4 - b64.size() % 4) % 4, '=');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(sig.data()),
                            reinterpret_cast<const unsigned char *>(standard.data()), static_cast<int>(standard.size()));
    sig.resize(static_cast<std::size_t>(n) - (standard.size() - b64.size()));
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (alg[0] == 'E' && alg[1] == 'S') {  // JWS's r||s as the DER OpenSSL takes
        ECDSA_SIG *pair = ECDSA_SIG_new();
        const int half = static_cast<int>(sig.size() / 2);
        ECDSA_SIG_set0(pair, BN_bin2bn(reinterpret_cast<unsigned char *>(sig.data()), half, nullptr),
                       BN_bin2bn(reinterpret_cast<unsigned char *>(sig.data()) + half, half, nullptr));
        unsigned char *der = nullptr;
        n = i2d_ECDSA_SIG(pair, &der);
        sig.assign(reinterpret_cast<char *>(der), static_cast<std::size_t>(n));
        OPENSSL_free(der);
        ECDSA_SIG_free(pair);
    }
    const EVP_MD *md = std::strcmp(alg, "EdDSA") == 0 ? nullptr : EVP_sha256();
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(sig.data()), sig.size(),
                            reinterpret_cast<const unsigned char *>(text.data()), text.size()) == 1;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 5, count = 2000;
    const char *only = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--count") == 0) count = std::max(1, std::atoi(argv[i + 1]));
    }
    const Pkey rsa = signing::rsa(2048), p256 = ec("P-256"), ed = ed25519();
    const std::string secret(32, 's');
    const std::string set = "{\"keys\":[" + jwk(rsa.get(), "r") + "," + jwk(p256.get(), "e") + "," + jwk(ed.get(), "d") + "]}";
    std::string error;
    const auto jwks = TokenKeys::from_jwks(set, error);
    const auto hmac = TokenKeys::from_secret(secret, error);
    const TokenVerifier verifier(R"({"sub":"${username}"})", std::chrono::seconds(30));
    TemplateValues values;
    values[Placeholder::username] = "device-0001";
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string payload = R"({"sub":"device-0001","iss":"https://id.example.com","aud":"mqtt","iat":)" +
                                std::to_string(now) + ",\"exp\":" + std::to_string(now + 3600) +
                                R"(,"acl":[{"permission":"allow","action":"all","topic":"devices/${clientid}/#"}]})";
    const struct {
        const char *alg;
        EVP_PKEY *key;
        const char *kid;
    } rows[] = {{"RS256", rsa.get(), "r"}, {"ES256", p256.get(), "e"}, {"EdDSA", ed.get(), "d"}, {"HS256", nullptr, ""}};
    std::printf("%-6s %14s %14s %8s  (%d tokens, median of %d rounds)\n", "alg", "verify() us", "OpenSSL us",
                "ratio", count, rounds);
    for (const auto &row : rows) {
        if (only && std::strcmp(only, row.alg) != 0) continue;
        const std::string header = std::string(R"({"alg":")") + row.alg + "\",\"typ\":\"JWT\"" +
                                   (*row.kid ? std::string(R"(,"kid":")") + row.kid + '"' : "") + "}";
        const std::string token = signing::token(row.alg, row.key, header, payload, secret);
        const TokenKeys &keys = row.key ? *jwks : *hmac;
        if (verifier.verify(token, keys, values, now).outcome != TokenVerifier::Outcome::valid ||
            !floor_verify(row.alg, row.key, token, secret)) {
            std::fprintf(stderr, "%s: the token does not verify\n", row.alg);
            return 1;
        }
        std::vector<double> ours, floor;
        for (int r = 0; r < rounds; ++r) {
            auto t0 = Clock::now();
            for (int i = 0; i < count; ++i)
                if (verifier.verify(token, keys, values, now).outcome != TokenVerifier::Outcome::valid) return 1;
            auto t1 = Clock::now();
            for (int i = 0; i < count; ++i)
                if (!floor_verify(row.alg, row.key, token, secret)) return 1;
            auto t2 = Clock::now();
            ours.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count() / count);
            floor.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count() / count);
        }
        std::printf("%-6s %14.1f %14.1f %8.2f\n", row.alg, median(ours), median(floor), median(ours) / median(floor));
    }
    return 0;
}
