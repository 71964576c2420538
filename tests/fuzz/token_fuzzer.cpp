// libFuzzer target for the token reader. The sources are compiled in.
//
// The input's first byte chooses what the rest is:
//   'T'  a token, verified against a key set of an RSA, an EC and an Ed25519
//        key made at start (so it must be refused) and against the HMAC
//        secret; not_a_token exactly when it is not shaped as one;
//   'S'  a header and a payload, NUL-separated, signed here with the HMAC
//        secret: a token that verifies must make an answer the answer
//        reader takes (or refuses for the acl claim's rules alone), with its
//        expire_at the token's exp plus the leeway, later than now;
//        one that does not says why and makes no answer;
//   'K'  a key set document: read or refused, never both, and described.
#include "../../src/answer.cpp"
#include "../../src/http_client.cpp"
#include "../../src/json_answer.cpp"
#include "../../src/login_rules.cpp"
#include "../../src/login_rules_index.cpp"
#include "../../src/request_template.cpp"
#include "../../src/token_keys.cpp"
#include "../../src/token_verifier.cpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../token_signing.h"

namespace {

constexpr std::int64_t now = 2000000000;
const std::string secret(32, 's');

void must(bool ok) {
    if (!ok) std::abort();
}

struct Fixture {
    std::shared_ptr<const TokenKeys> jwks, hmac;
    TokenVerifier verifier{R"({"sub":"${username}","aud":"mqtt","scope":["mqtt"]})", std::chrono::seconds(30)};
    TemplateValues values;
    Fixture() {
        const signing::Pkey rsa = signing::rsa(2048), ec = signing::ec("P-256"), ed = signing::ed25519();
        std::string error;
        jwks = TokenKeys::from_jwks("{\"keys\":[" + signing::jwk(rsa.get(), "r") + "," + signing::jwk(ec.get(), "e") +
                                        "," + signing::jwk(ed.get(), "d") + "]}",
                                    error);
        hmac = TokenKeys::from_secret(secret, error);
        must(jwks && jwks->size() == 3 && hmac);
        values[Placeholder::username] = "alice";
    }
};

void check(const TokenVerifier::Result &r, bool may_be_valid) {
    if (r.outcome != TokenVerifier::Outcome::valid) {
        must(r.why[0] != '\0' && r.answer.empty());
        return;
    }
    must(may_be_valid && r.expires > now - 30);
    const RulesRead read = read_json_body(r.answer);
    // The acl claim is passed through as it is: its rules are the reader's to refuse.
    if (!read.rules) return must(std::strstr(read.error, "rule ") || std::strstr(read.error, "acl"));
    must(read.rules->expire_at() == r.expires + 30 && read.rules->result() == LoginRules::Answered::allow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const Fixture f;
    if (size == 0) return 0;
    const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    switch (data[0]) {
    case 'T':
        for (const TokenKeys *keys : {f.jwks.get(), f.hmac.get()}) {
            const auto r = f.verifier.verify(rest, *keys, f.values, now);
            check(r, keys == f.hmac.get());
            must((r.outcome == TokenVerifier::Outcome::not_a_token) == !TokenVerifier::shaped_as_token(rest));
        }
        break;
    case 'S': {
        const std::size_t nul = rest.find('\0');
        if (nul == std::string::npos) break;
        const std::string token = signing::token("HS256", nullptr, rest.substr(0, nul), rest.substr(nul + 1), secret);
        check(f.verifier.verify(token, *f.hmac, f.values, now), true);
        break;
    }
    case 'K': {
        std::string error;
        const auto keys = TokenKeys::from_jwks(rest, error);
        must(!keys != error.empty());
        if (keys) must(!keys->describe().empty());
        break;
    }
    }
    return 0;
}
