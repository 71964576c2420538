// Signed tokens verified at the broker: a table of forged, expired,
// mis-addressed and malformed tokens that must each be refused with their
// reason, the valid ones for each algorithm, what a key set keeps and leaves
// out, and the answer a valid token makes as the answer reader reads it.
// Tokens are signed here with OpenSSL (tests/token_signing.h).

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "json_answer.h"
#include "token_keys.h"
#include "token_signing.h"
#include "token_verifier.h"

namespace {

using namespace signing;
using Outcome = TokenVerifier::Outcome;

constexpr std::int64_t now = 2000000000;
const char *const required = R"({"sub":"${username}","aud":"mqtt","iss":"https://id.example.com"})";

// Keys made once: generating RSA keys is slow in the sanitizer builds.
struct Keys {
    Pkey rsa = signing::rsa(2048), p256 = ec("P-256"), p384 = ec("P-384"), ed = ed25519(), other = ec("P-256");
    std::string set = "{\"keys\":[" + jwk(rsa.get(), "r") + "," + jwk(p256.get(), "e") + "," + jwk(p384.get(), "e3") +
                      "," + jwk(ed.get(), "d") + "]}";
    std::string secret = std::string(32, 's');
};
const Keys &keys() {
    static const Keys k;
    return k;
}

std::string header(const std::string &alg, const std::string &kid, const std::string &extra = "") {
    return R"({"alg":")" + alg + '"' + (kid.empty() ? "" : R"(,"kid":")" + kid + '"') + extra + "}";
}
std::string claims(const std::string &extra = "", std::int64_t exp = now + 600) {
    return R"({"sub":"alice","aud":"mqtt","iss":"https://id.example.com")" +
           (exp ? ",\"exp\":" + std::to_string(exp) : "") + extra + "}";
}

TokenVerifier::Result verify(const std::string &token, bool secret = false, const char *username = "alice") {
    std::string error;
    const auto set = secret ? TokenKeys::from_secret(keys().secret, error) : TokenKeys::from_jwks(keys().set, error);
    EXPECT_TRUE(set) << error;
    TemplateValues values;
    values[Placeholder::username] = username;
    return TokenVerifier(required, std::chrono::seconds(30)).verify(token, *set, values, now);
}

struct Row {
    const char *name;
    std::string token;
    const char *why;
    const char *claim = "";
    Outcome outcome = Outcome::refused;
};

TEST(Token, EachForgedExpiredMisaddressedOrMalformedTokenIsRefusedWithItsReason) {
    const Keys &k = keys();
    // ES256 by the key of kid e (or another key), with these claims and header members.
    auto es = [&](const std::string &payload, const std::string &extra = "", const char *kid = "e",
                  EVP_PKEY *key = nullptr) { return token("ES256", key ? key : k.p256.get(), header("ES256", kid, extra), payload); };
    auto at = [](const char *claim, std::int64_t when) { return claims(",\"" + std::string(claim) + "\":" + std::to_string(when)); };
    const std::string valid = token("RS256", k.rsa.get(), header("RS256", "r"), claims());
    const std::string public_key_bytes = jwk(k.rsa.get(), "r");  // as an HMAC secret
    std::string tampered = valid;
    tampered.replace(tampered.find('.') + 1, tampered.rfind('.') - tampered.find('.') - 1,
                     b64url(claims(R"(,"is_superuser":true)")));
    const std::string their_jwk = ",\"jwk\":" + jwk(k.other.get(), "e");
    const std::string other_claims = R"({"sub":"alice","aud":"mqtt","iss":"https://id.example.com","exp":2000000600})";
    auto with = [&](const char *from, const char *to) { std::string c = other_claims; return c.replace(c.find(from), std::strlen(from), to); };
    const Row rows[] = {
        {"alg none", b64url(header("none", "r")) + "." + b64url(claims()) + ".", "algorithm not the key's"},
        {"HS256 with the public key's bytes", token("HS256", nullptr, header("HS256", "r"), claims(), public_key_bytes),
         "algorithm not the key's"},
        {"RS256 against an EC key", token("RS256", k.rsa.get(), header("RS256", "e"), claims()), "algorithm not the key's"},
        {"unknown kid", es(claims(), "", "new"), "unknown key", "", Outcome::unknown_key},
        {"no kid, several keys", es(claims(), "", ""), "no kid"},
        {"crit", es(claims(), R"(,"crit":["exp"])"), "crit header"},
        {"no exp", es(claims("", 0)), "no exp"},
        {"expired", es(claims("", now - 30)), "expired"},
        {"expired past leeway", es(claims("", now - 31)), "expired"},
        {"nbf future", es(at("nbf", now + 31)), "not yet valid"},
        {"iat future", es(at("iat", now + 31)), "issued in the future"},
        {"exp not a number", es(R"({"exp":"2100000000"})"), "malformed claim", "exp"},
        {"wrong aud", es(with(R"("mqtt")", R"(["web","mqttx"])")), "claim does not match", "aud"},
        {"wrong iss", es(with("id.example.com", "evil")), "claim does not match", "iss"},
        {"sub of another user", es(with("alice", "bob")), "claim does not match", "sub"},
        {"duplicate header member", es(claims(), R"(,"alg":"ES256")"), "duplicate member"},
        {"duplicate payload member", es(claims(R"(,"sub":"alice")")), "duplicate member"},
        {"bad base64url (length)", b64url(header("ES256", "e")) + ".abcde.c2ln", "malformed"},
        {"bad base64url (alphabet)", b64url(header("ES256", "e")) + ".e30+.c2ln", "not a token", "", Outcome::not_a_token},
        {"header not JSON", b64url("not json") + "." + b64url(claims()) + ".c2ln", "not a token", "", Outcome::not_a_token},
        {"too long", es(claims(",\"x\":\"" + std::string(6200, 'x') + '"')), "too long"},
        {"signed by another key", es(claims(), "", "e", k.other.get()), "bad signature"},
        {"payload tampered", tampered, "bad signature"},
        {"signature cut", valid.substr(0, valid.size() - 4), "malformed"},
        {"jwk header of the signer's key", es(claims(), their_jwk, "e", k.other.get()), "bad signature"},
        {"jku and x5u elsewhere", es(claims(), R"(,"jku":"http://127.0.0.1:1/k","x5u":"http://127.0.0.1:1/c")", "e", k.other.get()),
         "bad signature"},
        {"jwk header, no kid", es(claims(), their_jwk, "", k.other.get()), "no kid"},
        {"acl claim neither list nor lists", es(claims(R"(,"acl":"all")")), "malformed claim", "acl"},
        {"is_superuser not a boolean", es(claims(R"(,"is_superuser":"true")")), "malformed claim", "is_superuser"},
    };
    for (const Row &row : rows) {
        const auto r = verify(row.token);
        EXPECT_EQ(r.outcome, row.outcome) << row.name << ": " << r.why;
        EXPECT_STREQ(r.why, row.why) << row.name;
        EXPECT_EQ(r.claim, row.claim) << row.name;
        EXPECT_TRUE(r.answer.empty()) << row.name;
    }
    EXPECT_EQ(verify(valid, false, nullptr).claim, "sub") << "a client without the value the claim needs";
    EXPECT_EQ(verify(rows[3].token).kid, "new");
    EXPECT_STREQ(verify(token("HS256", nullptr, header("HS256", ""), claims(), std::string(32, 'x')), true).why,
                 "bad signature") << "another secret";
    EXPECT_STREQ(verify(token("HS256", nullptr, header("HS512", ""), claims(), k.secret), true).why, "malformed")
        << "HS512 named, HS256's shorter signature";
    EXPECT_STREQ(verify(token("RS256", k.rsa.get(), header("RS256", ""), claims()), true).why,
                 "algorithm not the key's") << "a public-key token against the secret";
}

TEST(Token, ValidTokensOfEachAlgorithmAreTheLoginsAnswer) {
    const Keys &k = keys();
    const struct {
        const char *alg;
        EVP_PKEY *key;
        const char *kid;
    } rows[] = {{"RS256", k.rsa.get(), "r"}, {"RS512", k.rsa.get(), "r"}, {"PS256", k.rsa.get(), "r"},
                {"ES256", k.p256.get(), "e"}, {"ES384", k.p384.get(), "e3"}, {"EdDSA", k.ed.get(), "d"},
                {"HS256", nullptr, "any"}, {"HS512", nullptr, ""}};
    const std::string extra = R"(,"aud":["web","mqtt"],"nbf":)" + std::to_string(now + 29) + ",\"iat\":" +
                              std::to_string(now + 29) + R"(,"jku":"http://127.0.0.1:1/k")";
    for (const auto &row : rows) {
        const bool hmac = row.key == nullptr;
        const auto payload = R"({"sub":"alice","iss":"https://id.example.com","exp":)" + std::to_string(now - 29) + extra + "}";
        const auto r = verify(token(row.alg, row.key, header(row.alg, row.kid), payload, k.secret), hmac);
        EXPECT_EQ(r.outcome, Outcome::valid) << row.alg << ": " << r.why;
        EXPECT_EQ(r.answer, R"({"result":"allow","expire_at":2000000001})") << row.alg;  // exp plus the leeway
        EXPECT_EQ(r.expires, now - 29) << row.alg;
    }
}

// The answer is read as an endpoint's would be: both forms of the acl claim, is_superuser.
TEST(Token, TheAnswerIsReadByTheAnswerReader) {
    const Keys &k = keys();
    const struct {
        std::string claims;
        const char *answer;
        Access access;
        const char *topic;
        LoginRules::Match decided;
    } rows[] = {
        {R"(,"is_superuser":true,"acl":[{"permission":"deny","action":"publish","topics":["a/#"],"qos":[1]}])",
         R"({"result":"allow","is_superuser":true,"acl":[{"permission":"deny","action":"publish","topics":["a/#"],"qos":[1]}],"expire_at":2000000630})",
         Access::write, "a/b", LoginRules::Match::deny},
        {R"(,"acl":{"pub":["p/${clientid}"],"sub":[],"all":["x/+"]})",
         R"({"result":"allow","acl":[{"permission":"allow","action":"publish","topics":["p/${clientid}"]},{"permission":"allow","action":"all","topics":["x/+"]}],"expire_at":2000000630})",
         Access::read, "x/1", LoginRules::Match::allow},
    };
    for (const auto &row : rows) {
        const auto r = verify(token("EdDSA", k.ed.get(), header("EdDSA", "d"), claims(row.claims)));
        EXPECT_EQ(r.answer, row.answer);
        const RulesRead read = read_json_body(r.answer);
        ASSERT_TRUE(read.rules) << read.error;
        EXPECT_EQ(read.rules->expire_at(), 2000000630);
        EXPECT_EQ(read.rules->decide(row.access, row.topic, 1, false, "alice", "c1"), row.decided) << row.answer;
    }
}

TEST(Token, AKeySetKeepsOnlyKeysFitToVerifyWith) {
    const Keys &k = keys();
    const Pkey weak = signing::rsa(1024);
    std::string off_curve = jwk(k.p384.get(), "off");  // its point moved off the curve
    char &y = off_curve[off_curve.find(R"("y":")") + 5];
    y = y == 'A' ? 'B' : 'A';
    const std::string set = "{\"keys\":[" + jwk(k.rsa.get(), "r") + "," + jwk(weak.get(), "weak") + "," +
                            jwk(k.p256.get(), "enc", R"(,"use":"enc")") + "," +
                            jwk(k.p256.get(), "private", R"(,"d":")" + bn_param(k.p256.get(), OSSL_PKEY_PARAM_PRIV_KEY, 32) + '"') + "," + jwk(k.p256.get(), "r") + "," +
                            jwk(k.rsa.get(), "mismatch", R"(,"alg":"ES256")") + "," + R"({"kty":"oct","k":"c2VjcmV0"})" +
                            "," + jwk(k.p256.get(), "e", R"(,"alg":"ES256","use":"sig","key_ops":["verify"])") + "," +
                            jwk(k.ed.get(), "") + "," + off_curve + "]}";
    std::string error;
    const auto keys = TokenKeys::from_jwks(set, error);
    ASSERT_TRUE(keys) << error;
    EXPECT_EQ(keys->size(), 3u);
    EXPECT_EQ(keys->skipped(), 7u);
    EXPECT_TRUE(keys->has("r") && keys->has("e") && !keys->has("weak") && !keys->has("private"));
    EXPECT_EQ(keys->describe(), "3 keys: r RS256/RS384/RS512/PS256/PS384/PS512, e ES256, (no kid) EdDSA; 7 left out");

    const struct {
        std::string document;
        const char *error;
    } refused[] = {{"not json", "the key set is not JSON"},
                   {R"({"keys":[],"keys":[]})", "the key set has a duplicate member"},
                   {R"({"key":[]})", "the key set has no \"keys\" list"}};
    for (const auto &row : refused) {
        EXPECT_FALSE(TokenKeys::from_jwks(row.document, error)) << row.document;
        EXPECT_EQ(error, row.error);
    }
    EXPECT_FALSE(TokenKeys::from_secret(std::string(31, 's'), error));
    EXPECT_EQ(error, "the HMAC secret is shorter than 32 bytes");
    // A set of one key takes a token without a kid; an empty set takes none.
    const TokenVerifier verifier("", std::chrono::seconds(0));
    const std::string kidless = token("ES256", k.p256.get(), header("ES256", ""), claims());
    EXPECT_EQ(verifier.verify(kidless, *TokenKeys::from_jwks("{\"keys\":[" + jwk(k.p256.get(), "e") + "]}", error), {}, now).outcome,
              Outcome::valid);
    EXPECT_STREQ(verifier.verify(kidless, *TokenKeys::from_jwks(R"({"keys":[]})", error), {}, now).why, "no keys");
    const auto secret = TokenKeys::from_secret(k.secret, error);
    ASSERT_TRUE(secret);
    EXPECT_EQ(secret->describe(), "an HMAC secret (HS256/HS384/HS512)");
}

TEST(Token, ClaimsAndShapes) {
    EXPECT_EQ(TokenVerifier(required, std::chrono::seconds(0)).uses(), bit(Placeholder::username));
    for (const char *bad : {"[]", R"({"sub":"${nobody}"})", R"({"a":1,"a":2})"}) {
        try {
            TokenVerifier(bad, std::chrono::seconds(0));
            ADD_FAILURE() << bad;
        } catch (const std::invalid_argument &e) {
            EXPECT_EQ(std::string(e.what()).rfind("http_jwt_claims: ", 0), 0u) << e.what();
        }
    }
    const std::string shaped = b64url(header("ES256", "e")) + ".e30.";
    EXPECT_TRUE(TokenVerifier::shaped_as_token(shaped));
    EXPECT_TRUE(TokenVerifier::shaped_as_token(shaped + std::string(9000, 'A')));
    for (const std::string &not_one : {std::string("secret"), std::string("a.b.c"), b64url(R"({"typ":"JWT"})") + ".e30.",
                                       b64url("[]") + ".e30.", "." + shaped, shaped + " "})
        EXPECT_FALSE(TokenVerifier::shaped_as_token(not_one)) << not_one;
}

}  // namespace
