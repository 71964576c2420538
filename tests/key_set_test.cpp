// The key set source against a counting key server on loopback, on a clock
// the test turns: how long a set is kept, when it is fetched again, and what
// stays in force while the server cannot give one; and the tokens a checker
// remembers.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>

#include "checker.h"
#include "endpoint.h"
#include "key_set_source.h"
#include "settings.h"
#include "startup.h"
#include "token_keys.h"
#include "token_login.h"
#include "token_verifier.h"
#include "token_signing.h"

namespace {

using namespace std::chrono_literals;
using Clock = KeySetSource::Clock;

// A public key (Ed25519, RFC 8037's example) under each kid.
std::string key_set(std::initializer_list<const char *> kids) {
    std::string keys;
    for (const char *kid : kids)
        keys += std::string(keys.empty() ? "" : ",") + R"({"kty":"OKP","crv":"Ed25519","use":"sig","kid":")" + kid +
                R"(","x":"11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo"})";
    return R"({"keys":[)" + keys + "]}";
}

class KeySet : public ::testing::Test {
protected:
    Endpoint server;
    Settings settings;
    HttpClient client{settings};
    Clock::time_point now = Clock::now();
    KeySetSource source{client, settings, server.url("/jwks"), "the test's server", [this] { return now; }};
    std::size_t fetches() const { return server.requests().size(); }
    void serve(const std::string &set, const std::string &cache_control = "") {
        server.header("Cache-Control", cache_control);
        server.header("Content-Type", "application/json");
        server.answer(200, set);
    }
};

TEST_F(KeySet, KeptForItsMaxAgeWithinAMinuteAndADay) {
    const struct {
        const char *cache_control;
        Clock::duration kept;
    } cases[] = {
        {"max-age=120", 120s},
        {"public, max-age=5", 60s},     // at least a minute
        {"max-age=999999", 24h},        // at most a day
        {"", 5min},                     // none given
        {"no-store", 60s},              // nothing to keep by: a minute
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cache_control);
        serve(key_set({"a"}), c.cache_control);
        source.expire();
        const std::size_t before = fetches();
        ASSERT_TRUE(source.keys());
        EXPECT_EQ(fetches(), before + 1);
        now += c.kept - 1s;
        EXPECT_TRUE(source.keys()->has("a"));
        EXPECT_EQ(fetches(), before + 1);
        now += 2s;
        source.keys();
        EXPECT_EQ(fetches(), before + 2);
    }
}

TEST_F(KeySet, ANewKeyIsPickedUpOnItsFirstUnknownKidAndAFloodFetchesOnce) {
    serve(key_set({"a"}), "max-age=3600");
    ASSERT_TRUE(source.keys());
    const auto first = source.generation();
    serve(key_set({"a", "b"}), "max-age=3600");
    now += 1s;
    auto keys = source.unknown_kid();  // rotated: the first token signed by b
    ASSERT_TRUE(keys);
    EXPECT_TRUE(keys->has("b"));
    EXPECT_NE(source.generation(), first);
    EXPECT_EQ(fetches(), 2u);

    // 100 tokens with random kids within ten seconds: no more fetches; then one.
    std::mt19937 random(7);
    for (int i = 0; i < 100; ++i) {
        now += 90ms;
        EXPECT_FALSE(source.unknown_kid()->has(std::to_string(random())));
    }
    EXPECT_EQ(fetches(), 2u);
    now += 1s;
    source.unknown_kid();
    EXPECT_EQ(fetches(), 3u);
}

TEST_F(KeySet, TheLastGoodSetStaysWhileTheServerFailsTriedAgainEveryTenSeconds) {
    server.answer(404);
    EXPECT_FALSE(source.keys());  // no set yet
    EXPECT_EQ(source.failed(), 1u);
    now += 9s;
    EXPECT_FALSE(source.unknown_kid());
    EXPECT_EQ(fetches(), 1u);  // paced, unknown kids or not
    serve(key_set({"a"}), "max-age=60");
    now += 2s;
    ASSERT_TRUE(source.keys());
    EXPECT_EQ(source.fetched(), 1u);

    for (const auto &failure : {std::pair{500, key_set({"z"})}, {200, std::string("{\"no\": \"keys\"}")}}) {
        server.answer(failure.first, failure.second);
        now += 61s;
        const std::size_t before = fetches();
        auto keys = source.keys();
        ASSERT_TRUE(keys);
        EXPECT_TRUE(keys->has("a"));
        EXPECT_EQ(fetches(), before + 1);
        now += 5s;
        source.keys();
        source.unknown_kid();
        EXPECT_EQ(fetches(), before + 1);  // within ten seconds of a failure
    }
    EXPECT_EQ(source.failed(), 3u);
    EXPECT_NE(source.describe().find("the test's server"), std::string::npos);
}

// A service that hangs for as long as a time-out (the clock turned 30 s by
// the server itself) is asked again ten seconds after that answer, not at
// once: the broker's thread is held one time-out per ten seconds at most.
TEST(KeySetPace, PacedFromTheEndOfAFetchThatTookLong) {
    Endpoint server;
    Settings settings;
    HttpClient client{settings};
    std::atomic<Clock::rep> ticks{Clock::now().time_since_epoch().count()};
    KeySetSource source{client, settings, server.url("/jwks"), "the test's server",
                        [&] { return Clock::time_point(Clock::duration(ticks.load())); }};
    const auto slow = [&](int status) {
        server.header("Content-Type", "application/json");
        server.answer(status, key_set({"a"}));
        server.decide([&ticks, status](const Recorded &) {
            ticks += std::chrono::duration_cast<Clock::duration>(30s).count();
            return status;
        });
    };
    slow(500);  // failed after 30 s
    EXPECT_FALSE(source.keys());
    EXPECT_FALSE(source.keys());
    EXPECT_FALSE(source.unknown_kid());
    EXPECT_EQ(server.requests().size(), 1u);
    slow(200);  // an unknown kid's fetch that took 30 s
    ticks += std::chrono::duration_cast<Clock::duration>(10s).count();
    ASSERT_TRUE(source.unknown_kid());
    EXPECT_EQ(server.requests().size(), 2u);
    source.unknown_kid();
    EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace

// A verified token is remembered by a digest of it and the values its claims
// used: a reconnect costs a lookup, and nothing else is answered from it.
TEST(TokenMemo, RemembersAVerifiedTokenUntilItsUserIsForgottenOrTheKeysOrTheBrokerReload) {
    Endpoint server;
    const auto a = signing::ed25519(), b = signing::ed25519();
    const auto serve = [&](const std::string &keys) {
        server.header("Content-Type", "application/json");
        server.answer(200, R"({"keys":[)" + keys + "]}");
    };
    serve(signing::jwk(a.get(), "a"));
    Settings settings;
    settings.http_jwt_jwks_uri = server.url("/jwks");
    settings.http_jwt_claims = R"({"sub": "${username}"})";
    Checker checker(configuration_of(settings, Interface::v5));
    const long long now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    const auto token = [&](EVP_PKEY *key, const char *kid) {
        return signing::token("EdDSA", key, R"({"alg":"EdDSA","kid":")" + std::string(kid) + R"("})",
                              R"({"sub":"bob","exp":)" + std::to_string(now + 600) + "}");
    };
    const std::string by_a = token(a.get(), "a"), by_b = token(b.get(), "b");
    // What each login came to: "verified", "remembered" or "refused".
    const auto login = [&](const char *user, const std::string &t) -> std::string {
        const CheckResult v = checker.login({user, t.c_str()});
        if (v.source != Source::token) return "not a token's";
        if (!v.granted()) return "refused";
        return v.why ? "remembered" : "verified";
    };
    EXPECT_EQ(login("bob", by_a), "verified");
    EXPECT_EQ(login("bob", by_a), "remembered");
    EXPECT_EQ(login("eve", by_a), "refused");  // the same token from another user name is verified, and fails
    checker.forget("eve", false);
    EXPECT_EQ(login("bob", by_a), "remembered");
    checker.forget("bob", false);
    EXPECT_EQ(login("bob", by_a), "verified");
    serve(signing::jwk(a.get(), "a") + "," + signing::jwk(b.get(), "b"));
    EXPECT_EQ(login("bob", by_b), "verified");  // a new set came with b's kid
    EXPECT_EQ(login("bob", by_a), "verified");  // verified again with it
    EXPECT_EQ(login("bob", by_a), "remembered");
    checker.reload();
    EXPECT_EQ(login("bob", by_a), "verified");
    EXPECT_EQ(server.requests().size(), 3u);  // at the first login, for b's kid, at the reload
}

// A fleet larger than the bound: once a sweep for expired tokens leaves the
// map full, the next waits for a tenth of the bound more tokens (each sweep
// reads the whole map on the broker's thread).
TEST(TokenMemo, AFullMapIsSweptOncePerTenthOfItsBound) {
    Settings settings;
    Configuration c = configuration_of(settings, Interface::v5);
    std::string error;
    c.token_secret = TokenKeys::from_secret(std::string(32, 's'), error);
    c.token_verifier = std::make_shared<TokenVerifier>("", std::chrono::seconds(30));
    ASSERT_TRUE(c.token_secret) << error;
    HttpClient client(settings);
    TokenLogins tokens(settings, c, client, "", KeySetSource::Clock::now, 20);
    const long long exp = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count() + 600;
    TemplateValues values;
    values[Placeholder::username] = "bob";
    for (int i = 0; i < 50; ++i) {
        const std::string t = signing::token("HS256", nullptr, R"({"alg":"HS256"})",
                                             R"({"jti":)" + std::to_string(i) + R"(,"exp":)" + std::to_string(exp) + "}",
                                             std::string(32, 's'));
        const auto v = tokens.login(t.c_str(), values, true);
        ASSERT_TRUE(v && v->granted()) << i;
    }
    // Full at the 21st: swept then, at the 24th, 27th... (a tenth of 20 skipped between).
    EXPECT_EQ(tokens.sweeps(), 10u);
}
