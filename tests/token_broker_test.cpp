// Signed tokens verified inside the real broker (http_jwt_*): logins with no
// exchange, a token's claims as the connection's rules, its expiry, a key
// set that rotates or loses a key. CTest runs it as v5@2.0.11, v2@2.1.2 and
// v5@2.1.2 (broker.h); what only auth_plugin_v5.so applies is checked there.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "broker.h"
#include "endpoint.h"
#include "mqtt_client.h"
#include "timing.h"
#include "token_signing.h"

using namespace std::chrono_literals;

namespace {

long long unix_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The service's keys, made once: RS256, ES256 and EdDSA, one unknown to the
// set (a forger's), one added later (a rotation).
struct Keys {
    signing::Pkey rsa = signing::rsa(2048), ec = signing::ec("P-256"), ed = signing::ed25519(),
                  forger = signing::rsa(2048), rotated = signing::ec("P-256");
    static const Keys &get() {
        static const Keys keys;
        return keys;
    }
};

class TokenE2E : public ::testing::Test {
protected:
    const Keys &keys = Keys::get();
    Endpoint key_server, users;
    void SetUp() override {
        users.decide([](const Recorded &r) { return r.fields.count("password") && r.fields.at("password") == "secret" ? 200 : 401; });
        serve({signing::jwk(keys.rsa.get(), "r"), signing::jwk(keys.ec.get(), "e"), signing::jwk(keys.ed.get(), "d")});
    }
    void serve(const std::vector<std::string> &jwks) {
        std::string set;
        for (const auto &k : jwks) set += (set.empty() ? "" : ",") + k;
        key_server.header("Content-Type", "application/json");
        key_server.header("Cache-Control", "max-age=3600");
        key_server.answer(200, R"({"keys":[)" + set + "]}");
    }
    std::size_t fetches() const { return key_server.requests().size(); }
    std::vector<std::string> options(bool with_users = true) const {
        std::vector<std::string> o{"http_jwt_jwks_uri " + key_server.url("/jwks"),
                                   R"(http_jwt_claims {"sub": "${username}"})", "http_jwt_leeway_s 0",
                                   "http_timeout_ms 5000"};
        if (with_users) o.push_back("http_user_uri " + users.url("/user"));
        return o;
    }
    // A token for sub, signed by key with alg under kid, valid for life.
    static std::string token(const char *alg, EVP_PKEY *key, const std::string &kid, const std::string &sub,
                             long long life = 3600, const std::string &claims = "") {
        return signing::token(alg, key, R"({"alg":")" + std::string(alg) + R"(","kid":")" + kid + R"("})",
                              R"({"sub":")" + sub + R"(","exp":)" + std::to_string(unix_seconds() + life) + claims +
                                  "}");
    }
    // The CONNACK's code for a 3.1.1 login (0: in), -1 for none.
    static int login(const Broker &broker, const std::string &user, const std::string &password) {
        bench::Client c(broker.port());
        if (!c.send(bench::connect_packet("tok-" + user, user, password))) return -1;
        return c.connack(30s);
    }
};

TEST_F(TokenE2E, TokensAreDecidedAtTheBrokerAndOnlyOtherPasswordsReachTheEndpoint) {
    Broker broker(options());
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    EXPECT_TRUE(broker.log_has("3 keys")) << broker.process().output();  // the start-up line: the set in force
    const struct {
        const char *name;
        std::string user, password;
        bool in;
    } cases[] = {
        {"RS256", "dev1", token("RS256", keys.rsa.get(), "r", "dev1"), true},
        {"ES256", "dev1", token("ES256", keys.ec.get(), "e", "dev1"), true},
        {"EdDSA", "dev1", token("EdDSA", keys.ed.get(), "d", "dev1"), true},
        {"forged", "dev1", token("RS256", keys.forger.get(), "r", "dev1"), false},
        {"expired", "dev1", token("ES256", keys.ec.get(), "e", "dev1", -60), false},
        {"another's", "dev1", token("EdDSA", keys.ed.get(), "d", "dev2"), false},
        {"HMAC under a public key", "dev1",
         signing::token("HS256", nullptr, R"({"alg":"HS256","kid":"r"})",
                        R"({"sub":"dev1","exp":)" + std::to_string(unix_seconds() + 60) + "}", "not-a-secret"),
         false},
        {"a password", "alice", "secret", true},
        {"a wrong password", "alice", "wrong", false},
        {"a password in three parts, not a token", "alice", "not.a.token", false},  // asked, and refused there
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(login(broker, c.user, c.password) == 0, c.in) << broker.process().output();
    }
    // Tokens never reach the endpoint: only the three passwords did.
    ASSERT_EQ(users.requests().size(), 3u);
    for (const auto &r : users.requests()) EXPECT_EQ(r.fields.at("username"), "alice");
    EXPECT_EQ(fetches(), 1u);  // at start

    // A new key is picked up on the first token that names it.
    serve({signing::jwk(keys.rsa.get(), "r"), signing::jwk(keys.rotated.get(), "new")});
    EXPECT_EQ(login(broker, "dev1", token("ES256", keys.rotated.get(), "new", "dev1")), 0) << broker.process().output();
    EXPECT_EQ(fetches(), 2u);

    // A flood of unknown kids: one fetch per ten seconds at most, however long it takes.
    std::mt19937 random(45);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i)
        EXPECT_NE(login(broker, "dev1", token("RS256", keys.rsa.get(), std::to_string(random()), "dev1")), 0);
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LE(fetches(), 3u + static_cast<std::size_t>(took.count() / 10)) << took.count() << " s";
    EXPECT_EQ(users.requests().size(), 3u);
}

TEST_F(TokenE2E, AStartWithoutAKeySetGoesOnAndRefusesTokensUntilOneIsHad) {
    key_server.answer(503);
    Broker broker(options());
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    EXPECT_TRUE(broker.log_has("no key set had yet")) << broker.process().output();
    EXPECT_TRUE(broker.log_has("the key set could not be fetched")) << broker.process().output();
    EXPECT_NE(login(broker, "dev1", token("RS256", keys.rsa.get(), "r", "dev1")), 0);
    EXPECT_EQ(login(broker, "alice", "secret"), 0);  // passwords go on as ever
    EXPECT_NE(login(broker, "alice", "not.a.token"), 0);
    EXPECT_EQ(users.requests().size(), 2u);  // that one too: not shaped as a token
    EXPECT_EQ(fetches(), 1u);                       // tried again no sooner than 10 s later
}

TEST_F(TokenE2E, TheAclClaimGovernsPublishSubscribeAndWills) {
    auto opts = options(false);
    if (e2e_library_v5()) opts.push_back("http_stats_interval_s 1");
    Broker broker(opts);
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    const std::string acl =
        R"(,"acl":[{"permission":"allow","action":"publish","topic":"room/${username}/#"},
                   {"permission":"allow","action":"subscribe","topic":"room/#"},
                   {"permission":"deny","action":"all","topic":"#"}])";
    const std::string dev = token("EdDSA", keys.ed.get(), "d", "dev1", 3600, acl);
    if (!e2e_library_v5()) {  // auth_plugin.so cannot apply an acl: it grants no more than the token says
        EXPECT_NE(login(broker, "dev1", dev), 0);
        EXPECT_TRUE(broker.wait_for_log("which only auth_plugin_v5.so applies")) << broker.process().output();
        return;
    }
    auto argv = broker.client(MOSQUITTO_SUB, "watcher", "root",
                              token("RS256", keys.rsa.get(), "r", "root", 3600, R"(,"is_superuser":true)"));
    argv.insert(argv.end(), {"-v", "-t", "#", "-t", "$SYS/plugin/auth_plugin/token/#", "-W", "60"});  // -W only bounds it
    Process watcher(argv, broker.file("watcher.log"));
    ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from watcher"));
    {
        bench::Client c(broker.port());
        ASSERT_TRUE(c.send(bench::connect_packet("dev", "dev1", dev)));
        ASSERT_EQ(c.connack(30s), 0);
        ASSERT_TRUE(c.send(bench::subscribe_packet("secret/#", 0) + bench::subscribe_packet("room/#", 0) +
                           bench::publish_packet("room/other/a", "not-mine") + bench::publish_packet("room/dev1/a", "mine")));
        ASSERT_TRUE(c.ping());
        ASSERT_TRUE(broker.wait_for_log("Received PINGREQ from dev")) << broker.process().output();
    }
    // Wills: refused where a publish would be, sent where it would be.
    for (const auto &[topic, payload] : {std::pair{"secret/will", "leaked"}, {"room/dev1/will", "sent"}}) {
        const std::string id = std::string("will-") + payload;
        bench::Client c(broker.port());
        ASSERT_TRUE(c.send(bench::connect_with_will(id, "dev1", dev, 4, topic, payload)));
        ASSERT_EQ(c.connack(30s), 0);
    }
    // The figures count them: the watcher, dev and its two wills' connections; one fetch, at start.
    EXPECT_TRUE(wait_until([&] {
        const std::string out = watcher.output();
        return out.find("room/dev1/will sent") != std::string::npos &&
               out.find("token/granted 4") != std::string::npos &&
               out.find("token/key_set_fetched 1") != std::string::npos;
    })) << watcher.output() << broker.process().output();
    watcher.stop();
    EXPECT_NE(watcher.output().find("room/dev1/a mine"), std::string::npos) << watcher.output();
    EXPECT_EQ(watcher.output().find("not-mine"), std::string::npos) << watcher.output();
    EXPECT_EQ(watcher.output().find("leaked"), std::string::npos) << watcher.output();
    EXPECT_TRUE(broker.log_has("subscribe \"secret/#\" by client \"dev\", user \"dev1\": refused by rule 3"))
        << broker.process().output();
    EXPECT_TRUE(broker.log_has("subscribe \"room/#\" by client \"dev\", user \"dev1\": granted by rule 2"))
        << broker.process().output();
}

TEST_F(TokenE2E, ATokensExpiryEndsItsConnection) {
    if (!e2e_library_v5()) GTEST_SKIP() << "auth_plugin.so is told of no connection's end or time";
    Broker broker(options(false));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    const long long expires = unix_seconds() + 3;
    bench::Client c(broker.port());
    ASSERT_TRUE(c.send(bench::connect_packet("short", "dev1", token("ES256", keys.ec.get(), "e", "dev1", 3))));
    ASSERT_EQ(c.connack(30s), 0);
    EXPECT_TRUE(c.closed_within(60s));
    EXPECT_GE(unix_seconds(), expires);
}

TEST_F(TokenE2E, AReloadVerifiesConnectedTokensAgainstTheKeySetAsItIsNow) {
    Broker broker(options());
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    bench::Client dropped(broker.port()), kept(broker.port());
    ASSERT_TRUE(dropped.send(bench::connect_packet("dropped", "dev1", token("RS256", keys.rsa.get(), "r", "dev1"))));
    ASSERT_TRUE(kept.send(bench::connect_packet("kept", "dev1", token("EdDSA", keys.ed.get(), "d", "dev1"))));
    ASSERT_EQ(dropped.connack(30s), 0);
    ASSERT_EQ(kept.connack(30s), 0);
    serve({signing::jwk(keys.ed.get(), "d")});  // r is withdrawn
    broker.process().signal(SIGHUP);
    EXPECT_TRUE(dropped.closed_within(30s)) << broker.process().output();
    EXPECT_TRUE(kept.ping());
    EXPECT_TRUE(broker.wait_for_log("Received PINGREQ from kept"));
    EXPECT_FALSE(broker.disconnected("kept")) << broker.process().output();
    EXPECT_TRUE(users.requests().empty());
}

}  // namespace
