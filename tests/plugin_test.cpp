// The plug-in as the broker sees it: loaded with dlopen, talking to a real
// HTTP endpoint on loopback. Every test runs with and without connection reuse.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "endpoint.h"
#include "loopback.h"
#include "plugin_fixture.h"

namespace {

constexpr int OK = 0, AUTH_DENIED = 11, ACL_DENIED = 12;

class PluginTest : public PluginFixture {
protected:
    Endpoint endpoint;

    void SetUp() override {
        configure({{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")}});
    }
    std::vector<std::string> paths() {
        std::vector<std::string> out;
        for (auto &r : endpoint.requests()) out.push_back(r.path);
        return out;
    }
};

TEST_P(PluginTest, GrantsExactlyOnStatus200) {
    struct Case {
        int status;
        const char *body;
        int unpwd, acl;
    } cases[] = {
        {200, "", OK, OK},
        {200, "deny", OK, OK},  // the body is never read
        {201, "", AUTH_DENIED, ACL_DENIED},
        {204, "", AUTH_DENIED, ACL_DENIED},
        {302, "", AUTH_DENIED, ACL_DENIED},
        {401, "", AUTH_DENIED, ACL_DENIED},
        {403, "", AUTH_DENIED, ACL_DENIED},
        {404, "", AUTH_DENIED, ACL_DENIED},
        {500, "", AUTH_DENIED, ACL_DENIED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        endpoint.clear();
        endpoint.answer(c.status, c.body);
        EXPECT_EQ(unpwd("alice", "secret"), c.unpwd);
        EXPECT_EQ(acl("dev1", "alice", "a/b", 1), c.acl);
        // one POST per check; a redirect is never followed
        EXPECT_EQ(paths(), (std::vector<std::string>{"/user", "/acl"}));
        for (auto &r : endpoint.requests()) EXPECT_EQ(r.method, "POST");
    }
}

TEST_P(PluginTest, SendsExactFormBodies) {
    struct Case {
        const char *user, *pass, *body;
    } credentials[] = {
        {"alice", "secret", "username=alice&password=secret"},
        {"a-Z_0.9~", "", "username=a-Z_0.9~&password="},
        {"", "", "username=&password="},
        {" &=+/#", "p", "username=%20%26%3D%2B%2F%23&password=p"},
        {"alice&password=x", "y", "username=alice%26password%3Dx&password=y"},
        {"J\xc3\xbcrgen", "\xe2\x82\xac\n", "username=J%C3%BCrgen&password=%E2%82%AC%0A"},
    };
    for (const auto &c : credentials) {
        SCOPED_TRACE(c.body);
        endpoint.clear();
        EXPECT_EQ(unpwd(c.user, c.pass), OK);
        auto requests = endpoint.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].body, c.body);
        EXPECT_EQ(requests[0].content_type, "application/x-www-form-urlencoded");
        EXPECT_EQ(requests[0].content_length, std::to_string(std::strlen(c.body)));
    }

    struct AclCase {
        const char *id, *user, *topic;
        int access;
        const char *body;
    } acls[] = {
        {"dev1", "alice", "a/b", 1, "clientid=dev1&username=alice&topic=a%2Fb&access=read"},
        {"dev1", "alice", "a/+/#", 2, "clientid=dev1&username=alice&topic=a%2F%2B%2F%23&access=write"},
        {"id", "u", "t", 0, "clientid=id&username=u&topic=t&access=none"},
        {"id", "u", "t", 3, "clientid=id&username=u&topic=t&access=none"},
        {"id", "u", "t", 4, "clientid=id&username=u&topic=t&access=none"},
        {"id", "u", "t", -1, "clientid=id&username=u&topic=t&access=none"},
        {"", "", "", 1, "clientid=&username=&topic=&access=read"},
        {"A-z.0_~", "u&topic=x", "caf\xc3\xa9 bar", 1,
         "clientid=A-z.0_~&username=u%26topic%3Dx&topic=caf%C3%A9%20bar&access=read"},
    };
    for (const auto &c : acls) {
        SCOPED_TRACE(c.body);
        endpoint.clear();
        EXPECT_EQ(acl(c.id, c.user, c.topic, c.access), OK);
        auto requests = endpoint.requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].body, c.body);
        EXPECT_EQ(requests[0].content_length, std::to_string(std::strlen(c.body)));
    }
}

TEST_P(PluginTest, NullStringsAndUnsetUrlsDecideWithoutARequest) {
    struct Case {
        bool configured;
        const char *user, *pass;
        const char *id, *topic;
        int unpwd, acl;
    } cases[] = {
        {false, "u", "p", "id", "t", OK, OK},
        {false, nullptr, "p", nullptr, nullptr, AUTH_DENIED, OK},
        {false, "u", nullptr, "id", nullptr, AUTH_DENIED, OK},
        {false, nullptr, nullptr, nullptr, "t", AUTH_DENIED, OK},
        {true, nullptr, "p", "id", "t", AUTH_DENIED, ACL_DENIED},  // null user name
        {true, "u", nullptr, nullptr, "t", AUTH_DENIED, ACL_DENIED},
        {true, nullptr, nullptr, "id", nullptr, AUTH_DENIED, ACL_DENIED},
    };
    endpoint.answer(200);
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "configured=" << c.configured << " user=" << !!c.user
                                          << " pass=" << !!c.pass << " id=" << !!c.id);
        if (c.configured)
            configure({{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")}});
        else
            configure({});
        endpoint.clear();
        EXPECT_EQ(unpwd(c.user, c.pass), c.unpwd);
        for (int access : {0, 1, 2, 3}) EXPECT_EQ(acl(c.id, c.user, c.topic, access), c.acl);
        EXPECT_TRUE(endpoint.requests().empty());
    }
}

TEST_P(PluginTest, OptionKeysMatchByPrefixAndLastWins) {
    const std::string user = endpoint.url("/user"), acl_url = endpoint.url("/acl");
    struct Case {
        Options::Pairs pairs;
        int unpwd, acl;
        std::vector<std::string> paths;
    } cases[] = {
        {{}, OK, OK, {}},
        {{{"http_user_uri", user}}, AUTH_DENIED, OK, {"/user"}},
        {{{"http_acl_uri", acl_url}}, OK, ACL_DENIED, {"/acl"}},
        {{{"http_user_uri_backup", user}, {"http_acl_uri2", acl_url}}, AUTH_DENIED, ACL_DENIED, {"/user", "/acl"}},
        {{{"http_acl_uri", endpoint.url("/first")}, {"http_acl_uri", endpoint.url("/second")}}, OK, ACL_DENIED, {"/second"}},
        {{{"http_user_uri", ""}}, AUTH_DENIED, OK, {}},  // configured, but nothing to reach
    };
    endpoint.answer(403);
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(n++);
        EXPECT_EQ(configure(c.pairs), OK);
        endpoint.clear();
        EXPECT_EQ(unpwd("u", "p"), c.unpwd);
        EXPECT_EQ(acl("id", "u", "t", 1), c.acl);
        EXPECT_EQ(paths(), c.paths);
    }
}

TEST_P(PluginTest, TimeoutOptionIsValidated) {
    struct Case {
        const char *value;
        bool valid;
    } cases[] = {
        {"1", true}, {"5000", true}, {"600000", true}, {"0", false}, {"-1", false}, {"600001", false},
        {"", false}, {"abc", false}, {"5s", false}, {" 5", false}, {"+5", false}, {"1e3", false},
        {"99999999999999999999999", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        Capture err(STDERR_FILENO);
        int rc = configure({{"http_user_uri", endpoint.url("/user")}, {"http_timeout_ms", c.value}});
        std::string text = err.text();
        if (c.valid) {
            EXPECT_EQ(rc, OK);
            // Only the one line saying what was configured.
            EXPECT_NE(text.find(std::string("http_timeout_ms ") + c.value + ","), std::string::npos) << text;
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        } else {
            EXPECT_NE(rc, OK);
            EXPECT_NE(text.find("http_timeout_ms"), std::string::npos) << text;
            EXPECT_NE(text.find(std::string("\"") + c.value + "\""), std::string::npos) << text;
            EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
        }
    }
    Capture err(STDERR_FILENO);
    EXPECT_NE(configure({{"http_keepalive", "yes"}}), OK);
    EXPECT_NE(err.text().find("http_keepalive \"yes\""), std::string::npos);
}

TEST_P(PluginTest, UnreachableEndpointsRefuseWithinTheTimeout) {
    const LoopbackListener closed(false);
    struct Case {
        const char *what;
        std::string url;
    } cases[] = {
        {"connection refused", closed.url()},
        {"name does not resolve", "http://auth-plugin-test.invalid/"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(configure({{"http_user_uri", c.url}, {"http_acl_uri", c.url}, {"http_timeout_ms", "300"}}), OK);
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(unpwd("u", "p"), AUTH_DENIED);
        EXPECT_EQ(acl("id", "u", "t", 2), ACL_DENIED);
        // generous bound: it only proves the check cannot hang
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
}

TEST_P(PluginTest, ResponseBodyNeverReachesStandardOutput) {
    endpoint.answer(200, "RESPONSE-BODY-MUST-NOT-LEAK");
    Capture out(STDOUT_FILENO);
    int u = unpwd("u", "p"), a = acl("id", "u", "t", 1);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(u, OK);
    EXPECT_EQ(a, OK);
}

TEST_P(PluginTest, FixedEntryPointsAndHooksLeaveSettingsAlone) {
    EXPECT_EQ(plugin.version(), 2);
    char key[16];
    std::memset(key, 0x5a, sizeof key);
    EXPECT_EQ(plugin.psk_key_get(nullptr, "hint", "identity", key, sizeof key), AUTH_DENIED);
    for (unsigned char byte : key) EXPECT_EQ(byte, 0x5a);

    Options opts(Options::Pairs{{"http_user_uri", "http://127.0.0.1:1/elsewhere"}});
    for (bool reload : {false, true}) {
        EXPECT_EQ(plugin.security_init(nullptr, opts.data(), opts.size(), reload), OK);
        EXPECT_EQ(plugin.security_cleanup(nullptr, opts.data(), opts.size(), reload), OK);
    }
    endpoint.answer(200);
    EXPECT_EQ(unpwd("u", "p"), OK);
    EXPECT_EQ(plugin.cleanup(nullptr, opts.data(), opts.size()), OK);
    EXPECT_EQ(plugin.version(), 2);
    EXPECT_EQ(paths(), std::vector<std::string>{"/user"});
}

TEST_P(PluginTest, ConnectionsAreReusedOnlyWithKeepalive) {
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(unpwd("u", "p"), OK);
        EXPECT_EQ(acl("id", "u", "t", 1), OK);
    }
    std::set<int> connections;
    for (auto &r : endpoint.requests()) connections.insert(r.client_port);
    EXPECT_EQ(connections.size(), GetParam() ? 1u : 20u);
}

TEST_P(PluginTest, ConcurrentChecksRightAfterInitAreEachDecidedOnTheirOwn) {
    // Each answer depends on the request's own body, so a crossed wire shows.
    endpoint.decide([](const Recorded &r) {
        bool good = r.body.find("password=good") != std::string::npos || r.body.find("topic=good") != std::string::npos;
        return good ? 200 : 403;
    });
    constexpr int cycles = 3, threads = 4, checks = 20;
    std::atomic<int> wrong{0};
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // the threads start the moment initialisation returns
        ASSERT_EQ(configure({{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")}}), OK);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                for (int i = 0; i < checks; ++i) {
                    bool good = (i + t) % 2 == 0;
                    int rc = i % 4 < 2 ? unpwd("u", good ? "good" : "bad")
                                       : acl("id", "u", good ? "good" : "bad", 1 + i % 2);
                    int expected = good ? OK : (i % 4 < 2 ? AUTH_DENIED : ACL_DENIED);
                    if (rc != expected) ++wrong;
                }
            });
        for (auto &t : pool) t.join();
        EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), OK);
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(endpoint.requests().size(), static_cast<std::size_t>(cycles * threads * checks));
}

INSTANTIATE_TEST_SUITE_P(Modes, PluginTest, ::testing::Values(false, true), connection_mode);

// With reuse on, an endpoint that closes its connections after every answer
// still gets every check, each answered correctly.
// Before the first initialisation nothing is configured, and nothing is
// granted: as after the last clean-up.
TEST(PluginLoad, EveryCheckRefusesBeforeTheFirstInitialisationAndAfterTheLastCleanUp) {
    const Plugin &plugin = Plugin::get();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(plugin.unpwd_check(nullptr, "u", "p"), AUTH_DENIED);
        EXPECT_EQ(plugin.acl_check(nullptr, "id", "u", "t", 2), ACL_DENIED);
        Options none(Options::Pairs{});
        ASSERT_EQ(plugin.init(nullptr, none.data(), none.size()), OK);
        EXPECT_EQ(plugin.unpwd_check(nullptr, "u", "p"), OK);  // configured: no endpoint, both strings
        EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), OK);
    }
}

TEST(KeepAlive, EndpointClosingConnectionsStillAnswersEveryCheck) {
    const Plugin &plugin = Plugin::get();
    Endpoint endpoint(1);
    Options opts(Options::Pairs{{"http_user_uri", endpoint.url("/user")}, {"http_keepalive", "true"}});
    ASSERT_EQ(plugin.init(nullptr, opts.data(), opts.size()), OK);
    for (int i = 0; i < 20; ++i) {
        endpoint.answer(i % 3 ? 200 : 403);
        EXPECT_EQ(plugin.unpwd_check(nullptr, "u", "p"), i % 3 ? OK : AUTH_DENIED) << i;
    }
    EXPECT_EQ(endpoint.requests().size(), 20u);
    EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), OK);
}

}  // namespace
