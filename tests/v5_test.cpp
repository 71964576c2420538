// auth_plugin_v5.so loaded with dlopen against a stand-in for the broker
// (fake_broker.*): one instance per plugin line, what each question asks, and
// the figures.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "checker.h"
#include "decision_log.h"
#include "endpoint.h"
#include "fake_broker.h"
#include "hostile_server.h"
#include "stats.h"
#include "v5_line.h"
#include "timing.h"

namespace {

using namespace std::chrono_literals;

class PluginV5 : public ::testing::Test {
protected:
    Endpoint endpoint;
    mosquitto client{"dev1", "alice", "127.0.0.1", 5, nullptr};

    void SetUp() override {
        fake::broker() = {};
        endpoint.decide([](const Recorded &r) { return r.body.find("closed") == std::string::npos ? 200 : 403; });
    }
    void TearDown() override { EXPECT_TRUE(fake::broker().callbacks.empty()); }
    std::vector<std::string> bodies() {
        std::vector<std::string> out;
        for (auto &r : endpoint.requests()) out.push_back(r.body);
        return out;
    }
};

TEST_F(PluginV5, EachPluginLineHasItsOwnInstance) {
    Endpoint other;
    EXPECT_EQ(Library::get().version(0, nullptr), 5);
    auto a = std::make_unique<Line>(
        1, Options::Pairs{{"http_user_uri", endpoint.url("/a")}, {"http_reload_in_background", "false"}});
    Line b(2, {{"http_user_uri", other.url("/b")}, {"http_stats_interval_s", "60"}});
    ASSERT_EQ(a->rc(), MOSQ_ERR_SUCCESS);
    ASSERT_EQ(b.rc(), MOSQ_ERR_SUCCESS);
    EXPECT_NE(a->userdata(), b.userdata());
    // TICK only where figures or background re-checks need it; DISCONNECT
    // everywhere, as a command on any line may reach any line's connections
    EXPECT_EQ(a->events(), (std::vector<int>{MOSQ_EVT_BASIC_AUTH, MOSQ_EVT_ACL_CHECK, MOSQ_EVT_RELOAD,
                                            MOSQ_EVT_DISCONNECT}));
    EXPECT_EQ(b.events(), (std::vector<int>{MOSQ_EVT_BASIC_AUTH, MOSQ_EVT_ACL_CHECK, MOSQ_EVT_RELOAD, MOSQ_EVT_TICK,
                                            MOSQ_EVT_DISCONNECT}));

    EXPECT_EQ(a->login(client, "u", "p"), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(b.login(client, "u", "p"), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(endpoint.requests().size(), 1u);
    EXPECT_EQ(endpoint.requests()[0].path, "/a");
    EXPECT_EQ(other.requests().size(), 1u);
    EXPECT_EQ(other.requests()[0].path, "/b");

    a.reset();  // its clean-up takes its callbacks only
    EXPECT_EQ(fake::broker().callbacks.size(), 5u);
    EXPECT_EQ(b.login(client, "u", "p"), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(other.requests().size(), 2u);
}

// After a reload the broker re-checks every connected client; this broker
// cannot answer a login later, so each re-check is granted at once and asked
// behind, and a client found refused is disconnected at a later TICK. Before
// any TICK (2.0.11 with per_listener_settings true sends none), and with the
// option off, re-checks are answered at once.
// Only connections admitted before the reload are re-checked: a stranger's
// login after it is asked like any other, and nothing comes from the cache.
TEST_F(PluginV5, AReloadReChecksOnlyAdmittedConnectionsAndRevocationsFollow) {
    mosquitto revoked{"dev-revoked", "revoked", "127.0.0.1", 5, nullptr}, kept{"dev-kept", "kept", "127.0.0.1", 5, nullptr},
        gone{"dev-gone", "gone-revoked", "127.0.0.1", 5, nullptr}, stranger{"dev-kept", "kept", "127.0.0.1", 5, nullptr};
    std::atomic<bool> revoking{false};
    endpoint.decide([&](const Recorded &r) {
        const bool refused = r.fields.at("password") == "wrong" ||
                             (revoking && r.fields.at("username").find("revoked") != std::string::npos);
        return refused ? 401 : 200;
    });
    struct Case {
        const char *background;
        bool ticked;  // a TICK came before the reload
        int revoked_answer;
        std::vector<std::string> kicked;
    } cases[] = {
        {"true", true, MOSQ_ERR_SUCCESS, {"dev-revoked"}},
        {"true", false, MOSQ_ERR_AUTH, {}},
        {"false", true, MOSQ_ERR_AUTH, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.background) + (c.ticked ? " ticked" : ""));
        fake::broker() = {};
        revoking = false;
        Line line(1, {{"http_user_uri", endpoint.url("/user")}, {"http_reload_in_background", c.background},
                      {"http_cache_ms", "60000"}});
        ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
        for (auto *admitted : {&revoked, &kept, &gone})
            ASSERT_EQ(line.login(*admitted, admitted->username.c_str(), "p"), MOSQ_ERR_SUCCESS);
        if (c.ticked) line.tick();
        revoking = true;
        endpoint.clear();
        ASSERT_EQ(line.reload(), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(line.login(revoked, "revoked", "p"), c.revoked_answer);
        EXPECT_EQ(line.login(kept, "kept", "p"), MOSQ_ERR_SUCCESS);
        const bool behind = c.revoked_answer == MOSQ_ERR_SUCCESS;
        if (behind) {
            EXPECT_EQ(line.login(gone, "gone-revoked", "p"), MOSQ_ERR_SUCCESS);
        }
        // a stranger using a connected client's id and name, before the next TICK
        EXPECT_EQ(line.login(stranger, "kept", "wrong"), MOSQ_ERR_AUTH);
        if (behind) line.disconnect(gone);  // left before its answer: not touched
        // TICKs, as the broker's loop sends them, until every answer is in:
        // each re-check asked of the endpoint, none from the cache (the one
        // of the client that left may not be asked at all).
        ASSERT_TRUE(wait_until([&] {
            line.tick();
            return endpoint.requests().size() >= 3 && fake::broker().kicked.size() >= c.kicked.size();
        }));
        for (int i = 0; i < 3; ++i) line.tick();
        EXPECT_EQ(fake::broker().kicked, c.kicked);
        EXPECT_LE(endpoint.requests().size(), behind ? 4u : 3u);
        endpoint.clear();
    }
}

// A reload during an outage drops nobody: a re-check that gets no answer (a
// 5xx, the back-off) keeps the connection as it was, and it is asked again
// once the endpoint answers, when only a refusal removes it. A connection left
// to the broker's other checks ("ignore") is left to them again. Without a
// scheduler the re-check is answered at once, and kept the same way. A client
// whose exchange alone fails gains nothing: it is asked again all the same.
TEST_F(PluginV5, AReloadDuringAnOutageDropsNobodyAndOnlyARefusalOnceAnsweredRemoves) {
    mosquitto revoked{"dev-revoked", "revoked", "127.0.0.1", 5, nullptr},
        kept{"dev-kept", "kept", "127.0.0.1", 5, nullptr}, carol{"dev-carol", "carol", "127.0.0.1", 5, nullptr};
    std::atomic<bool> down{false}, revoking{false}, alone{false};
    endpoint.decide([&](const Recorded &r) {
        if (down && (!alone || r.fields.at("username") == "revoked")) return 503;
        return revoking && r.fields.at("username") == "revoked" ? 401 : 200;
    });
    endpoint.json([](const Recorded &r) {
        return std::string(r.fields.at("username") == "carol" ? R"({"result":"ignore"})" : R"({"result":"allow"})");
    });
    struct Case {
        const char *background, *backoff_ms;
        bool alone;  // only the revoked client's exchange fails
        std::vector<std::string> kicked;  // once the endpoint answers again
    } cases[] = {
        {"true", "0", false, {"dev-revoked"}},
        {"true", "1000", false, {"dev-revoked"}},
        {"true", "0", true, {"dev-revoked"}},
        {"false", "0", false, {}},  // asked again at the next reload
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.background) + " backoff " + c.backoff_ms + (c.alone ? " alone" : ""));
        fake::broker() = {};
        down = revoking = false;
        alone = c.alone;
        Line line(1, {{"http_user_uri", endpoint.url("/user")}, {"http_reload_in_background", c.background},
                      {"http_backoff_ms", c.backoff_ms}, {"http_answers", "json"}});
        ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
        ASSERT_EQ(line.login(revoked, "revoked", "p"), MOSQ_ERR_SUCCESS);
        ASSERT_EQ(line.login(kept, "kept", "p"), MOSQ_ERR_SUCCESS);
        ASSERT_EQ(line.login(carol, "carol", "p"), MOSQ_ERR_PLUGIN_DEFER);
        line.tick();
        down = revoking = true;
        endpoint.clear();
        ASSERT_EQ(line.reload(), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(line.login(revoked, "revoked", "p"), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(line.login(kept, "kept", "p"), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(line.login(carol, "carol", "p"), MOSQ_ERR_PLUGIN_DEFER);
        mosquitto fresh{"dev-new", "new", "127.0.0.1", 5, nullptr};
        EXPECT_EQ(line.login(fresh, "new", "p") == MOSQ_ERR_SUCCESS, c.alone);  // a new login: the walk is over
        // Every answer taken, and the line said.
        const std::string waiting = c.alone ? "no answer: 1;" : "no answer: 2;";
        ASSERT_TRUE(wait_until([&] {
            line.tick();
            const auto &log = fake::broker().log;
            return std::any_of(log.begin(), log.end(), [&](const std::string &l) {
                return l.find("waiting for the endpoint, which gave them " + waiting) != std::string::npos;
            });
        })) << testing::PrintToString(fake::broker().log);
        EXPECT_TRUE(fake::broker().kicked.empty());
        down = false;
        if (!c.kicked.empty()) {
            ASSERT_TRUE(wait_until([&] {
                line.tick();
                return !fake::broker().kicked.empty();
            }));
            // The rest asked too: nobody waits any more.
            ASSERT_TRUE(wait_until([&] {
                line.tick();
                const auto &log = fake::broker().log;
                return std::any_of(log.begin(), log.end(), [](const std::string &l) {
                    return l.find("waiting for the endpoint: none") != std::string::npos;
                });
            })) << testing::PrintToString(fake::broker().log);
        }
        EXPECT_EQ(fake::broker().kicked, c.kicked);
    }
}

// Where decisions are kept stale, a user whose last answer was "ignore" is
// handed to the broker's other checks through an outage, as it was; a kept
// "ignore" never answers fresh (the endpoint is asked each time).
TEST_F(PluginV5, AStaleIgnoreHandsTheLoginOnThroughAnOutage) {
    std::atomic<bool> down{false};
    endpoint.decide([&](const Recorded &) { return down ? 503 : 200; });
    endpoint.json([](const Recorded &) { return std::string(R"({"result":"ignore"})"); });
    for (const char *stale_ms : {"3600000", "0"}) {
        SCOPED_TRACE(stale_ms);
        down = false;
        endpoint.clear();
        Line line(1, {{"http_user_uri", endpoint.url("/user")}, {"http_answers", "json"}, {"http_cache_ms", "60000"},
                      {"http_cache_stale_ms", stale_ms}});
        ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
        ASSERT_EQ(line.login(client, "carol", "p"), MOSQ_ERR_PLUGIN_DEFER);
        ASSERT_EQ(line.login(client, "carol", "p"), MOSQ_ERR_PLUGIN_DEFER);
        EXPECT_EQ(endpoint.requests().size(), 2u);
        down = true;
        EXPECT_EQ(line.login(client, "carol", "p"), *stale_ms == '0' ? MOSQ_ERR_AUTH : MOSQ_ERR_PLUGIN_DEFER);
        line.disconnect(client);
    }
}

TEST_F(PluginV5, ALineTheBrokerRefusesFailsItsStartWithOneLine) {
    fake::broker().one_policy_per_library = true;
    Line first(1, {{"http_user_uri", endpoint.url("/a")}});
    ASSERT_EQ(first.rc(), MOSQ_ERR_SUCCESS);
    const auto logged = fake::broker().log.size();
    Line second(2, {{"http_user_uri", endpoint.url("/b")}});
    EXPECT_NE(second.rc(), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(second.userdata(), nullptr);
    EXPECT_TRUE(second.events().empty());
    ASSERT_EQ(fake::broker().log.size(), logged + 1);
    EXPECT_NE(fake::broker().log.back().find("per_listener_settings"), std::string::npos) << fake::broker().log.back();
    EXPECT_EQ(first.login(client, "u", "p"), MOSQ_ERR_SUCCESS);  // the first goes on alone
    EXPECT_EQ(endpoint.requests().size(), 1u);
}

TEST_F(PluginV5, InvalidOptionsFailTheStartWithOneLine) {
    struct Case {
        Options::Pairs pairs;
        const char *says;
    } cases[] = {
        {{{"http_login_fields", "clientid,password"}}, "password"},
        {{{"http_acl_fields", "certificate_subject"}}, "certificate_subject"},
        {{{"http_stats_interval_s", "-1"}}, "http_stats_interval_s"},
        {{{"http_check_subscribe", "yes"}}, "http_check_subscribe"},
        {{{"http_timeout_ms", "0"}}, "http_timeout_ms"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.says);
        fake::broker().log.clear();
        Line line(1, c.pairs);
        EXPECT_NE(line.rc(), MOSQ_ERR_SUCCESS);
        EXPECT_TRUE(line.events().empty());
        ASSERT_EQ(fake::broker().log.size(), 1u);
        EXPECT_NE(fake::broker().log[0].find(c.says), std::string::npos) << fake::broker().log[0];
    }
}

TEST_F(PluginV5, AccessQuestions) {
    constexpr int R = MOSQ_ACL_READ, W = MOSQ_ACL_WRITE, S = MOSQ_ACL_SUBSCRIBE, U = MOSQ_ACL_UNSUBSCRIBE;
    const int OK = MOSQ_ERR_SUCCESS, NO = MOSQ_ERR_ACL_DENIED;
    struct Case {
        bool acl_uri, check_subscribe;
        const char *id, *user, *topic;
        int access, rc;
        const char *body;  // "": decided without a request
    } cases[] = {
        {true, false, "dev1", "alice", "a/b", R, OK, "clientid=dev1&username=alice&topic=a%2Fb&access=read"},
        {true, false, "dev1", "alice", "closed", W, NO, "clientid=dev1&username=alice&topic=closed&access=write"},
        {true, false, "dev1", "alice", "a/#", S, OK, ""},  // subscriptions are granted unless asked for
        {true, false, "dev1", "alice", "a/#", U, OK, ""},
        {true, true, "dev1", "alice", "$share/g/a/#", S, OK,
         "clientid=dev1&username=alice&topic=%24share%2Fg%2Fa%2F%23&access=subscribe"},
        {true, true, "dev1", "alice", "closed/+", S, NO, "clientid=dev1&username=alice&topic=closed%2F%2B&access=subscribe"},
        // an unsubscription only takes rights away: never asked, as EMQX never asks
        {true, true, "dev1", "alice", "closed/+", U, OK, ""},
        {true, false, "dev1", "alice", "a", 16, OK, "clientid=dev1&username=alice&topic=a&access=none"},
        // a name that is a pattern is refused without a request, subscriptions included
        {true, false, "dev+1", "alice", "a", R, NO, ""},
        {true, false, "dev1", "al#ice", "a", W, NO, ""},
        {true, false, "dev1", "al#ice", "a", S, NO, ""},
        {true, true, "#", "alice", "a", S, NO, ""},
        {false, true, "dev+1", "al#ice", "a", W, OK, ""},  // no access endpoint: all granted
        {true, false, "dev1", "", "a", R, NO, ""},         // no user name
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.id) + " " + c.user + " " + c.topic + " " + std::to_string(c.access));
        Options::Pairs pairs{{"http_check_subscribe", c.check_subscribe ? "true" : "false"}};
        if (c.acl_uri) pairs.emplace_back("http_acl_uri", endpoint.url("/acl"));
        Line line(1, pairs);
        ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
        endpoint.clear();
        mosquitto who{c.id, c.user, "127.0.0.1", 5, nullptr};
        EXPECT_EQ(line.access(who, c.topic, c.access), c.rc);
        EXPECT_EQ(bodies(), *c.body ? std::vector<std::string>{c.body} : std::vector<std::string>{});
    }
}

// A certificate whose subject is all that matters here.
std::unique_ptr<X509, void (*)(X509 *)> certificate(const char *org, const char *cn) {
    std::unique_ptr<X509, void (*)(X509 *)> cert(X509_new(), X509_free);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(org), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(cn), -1, -1, 0);
    return cert;
}

TEST_F(PluginV5, ExtraFieldsFollowInTheOrderGiven) {
    auto cert = certificate("Acme", "dev 1, \"east\"");
    mosquitto tls{"dev1", "alice", "::1", 4, cert.get()};
    struct Case {
        const char *login_fields, *acl_fields;
        mosquitto *who;
        const char *login_body, *acl_body;
    } cases[] = {
        {"clientid,address,protocol_version,certificate_subject", "address,qos,retain", &tls,
         "username=u&password=p&clientid=dev1&address=%3A%3A1&protocol_version=4"
         "&certificate_subject=CN%3Ddev%201%5C%2C%20%5C%22east%5C%22%2CO%3DAcme",
         "clientid=dev1&username=alice&topic=t&access=write&address=%3A%3A1&qos=1&retain=true"},
        {"certificate_subject,clientid", "retain", &client,  // no certificate: an empty value
         "username=u&password=p&certificate_subject=&clientid=dev1",
         "clientid=dev1&username=alice&topic=t&access=write&retain=true"},
        {"", "", &client, "username=u&password=p", "clientid=dev1&username=alice&topic=t&access=write"},  // unset
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.login_body);
        Options::Pairs pairs{{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")}};
        if (*c.login_fields) pairs.emplace_back("http_login_fields", c.login_fields);
        if (*c.acl_fields) pairs.emplace_back("http_acl_fields", c.acl_fields);
        Line line(1, pairs);
        ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
        endpoint.clear();
        EXPECT_EQ(line.login(*c.who, "u", "p"), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(line.access(*c.who, "t", MOSQ_ACL_WRITE, 1, true), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(bodies(), (std::vector<std::string>{c.login_body, c.acl_body}));
    }
}

TEST_F(PluginV5, ExtraFieldsArePartOfTheCacheKey) {
    Line line(1, {{"http_user_uri", endpoint.url("/user")}, {"http_cache_ms", "60000"},
                  {"http_login_fields", "clientid"}});
    ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
    mosquitto other{"dev2", "alice", "127.0.0.1", 5, nullptr};
    for (mosquitto *who : {&client, &client, &other, &other}) EXPECT_EQ(line.login(*who, "u", "p"), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(bodies(), (std::vector<std::string>{"username=u&password=p&clientid=dev1",
                                                  "username=u&password=p&clientid=dev2"}));
}

// ${password} in an access template is the password its connection's login
// gave, kept for it; an answer of "ignore" leaves the check to the broker.
TEST_F(PluginV5, AnAccessTemplateSendsTheLoginsPassword) {
    Line line(1, {{"http_user_uri", endpoint.url("/user")},
                  {"http_acl_uri", endpoint.url("/acl")},
                  {"http_acl_body", R"({"p":"${password}","a":"${action}","t":"${topic}"})"},
                  {"http_answers", "json"}});
    ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
    endpoint.decide([](const Recorded &) { return 200; });
    endpoint.json([](const Recorded &r) {
        return std::string(r.body.find("closed") == std::string::npos ? R"({"result":"allow"})" : R"({"result":"ignore"})");
    });
    EXPECT_EQ(line.login(client, "alice", "s3cret"), MOSQ_ERR_SUCCESS);
    endpoint.clear();
    EXPECT_EQ(line.access(client, "t", MOSQ_ACL_WRITE), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(line.access(client, "closed", MOSQ_ACL_READ), MOSQ_ERR_PLUGIN_DEFER);
    EXPECT_EQ(bodies(), (std::vector<std::string>{R"({"p":"s3cret","a":"publish","t":"t"})",
                                                  R"({"p":"s3cret","a":"subscribe","t":"closed"})"}));
    // A connection whose login was not ours has no password to send: refused, unasked.
    mosquitto stranger{"dev9", "bob", "127.0.0.1", 5, nullptr};
    endpoint.clear();
    EXPECT_EQ(line.access(stranger, "t", MOSQ_ACL_WRITE), MOSQ_ERR_ACL_DENIED);
    EXPECT_TRUE(endpoint.requests().empty());
    line.disconnect(client);
}

TEST_F(PluginV5, FiguresArePublishedFromTick) {
    Line line(1, {{"http_user_uri", endpoint.url("/user")}, {"http_stats_interval_s", "1"},
                  {"http_stats_topic", "test/figures"}});
    ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(line.login(client, "u", "p"), MOSQ_ERR_SUCCESS);
    EXPECT_EQ(line.login(client, "u", "closed"), MOSQ_ERR_AUTH);
    mosquitto_evt_tick tick{};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (fake::broker().published.empty() && std::chrono::steady_clock::now() < deadline) {
        tick = {};
        EXPECT_EQ(line.tick(tick), MOSQ_ERR_SUCCESS);
        // 2.0.11 calls on every pass: nothing is asked of it (its header's
        // next_ns is 2.1's next_ms, another unit)
        EXPECT_EQ(tick.next_s, 0);
        EXPECT_EQ(tick.next_ns, 0);
        std::this_thread::sleep_for(10ms);
    }
    std::map<std::string, std::string> seen;
    for (const auto &p : fake::broker().published) {
        EXPECT_TRUE(p.retain);
        EXPECT_EQ(p.qos, 0);
        seen[p.topic] = p.payload;
    }
    EXPECT_EQ(seen.size(), 14u);
    EXPECT_EQ(seen["test/figures/login/granted"], "1");
    EXPECT_EQ(seen["test/figures/exchanges/limit"], "2");  // nothing asked later yet: where it starts
    EXPECT_EQ(seen["test/figures/exchanges/waiting"], "0");
    EXPECT_EQ(seen["test/figures/login/refused"], "1");
    EXPECT_EQ(seen["test/figures/access/granted"], "0");
    EXPECT_NE(seen["test/figures/exchange_ms/p99"], "");
}

// The figures themselves, on a clock the test holds.
TEST(Stats, CountsSinceStartAndTimesOverTheInterval) {
    const auto t0 = Stats::Clock::time_point() + 1h;
    Stats figures(10s, "$SYS/x", t0);
    CheckResult granted, refused, cached, backed_off, failed, stale, by_rules, late;
    granted.decision = cached.decision = by_rules.decision = stale.decision = Decision::grant;
    granted.source = refused.source = failed.source = Source::endpoint;
    granted.answer.attempted = refused.answer.attempted = failed.answer.attempted = true;
    granted.answer.transfer = refused.answer.transfer = CURLE_OK;
    granted.answer.headers_ended = refused.answer.headers_ended = true;
    granted.answer.status = 200;
    refused.answer.status = 403;
    cached.source = Source::cache;
    backed_off.source = Source::backoff;
    stale.source = Source::stale;  // while backing off: a kept decision answered instead
    by_rules.source = Source::rules;
    failed.answer.transfer = CURLE_OPERATION_TIMEDOUT;
    late.source = Source::too_late;
    late.answer.late = true;

    // 102 exchanges: 0 and 0.105 ms, then 1 to 100 ms (nearest rank: p50 is the 51st, p99 the 101st)
    for (int ms = 1; ms <= 100; ++ms) figures.access(granted, std::chrono::milliseconds(ms));
    figures.login(refused, 105us);
    figures.login(late, 1s);  // never asked: no time counted
    figures.login(cached, 1s);  // no exchange: no time counted
    figures.access(backed_off, 1s);
    figures.access(stale, 1s);  // a kept decision answered while backing off
    figures.access(failed, 0us);
    figures.access(by_rules, 1s);  // no exchange: no time counted
    EXPECT_TRUE(figures.due(t0 + 9999ms).empty());
    EXPECT_EQ(figures.until_due(t0 + 9s), 1s);
    figures.queue(12, 3);
    const Stats::Topics first = figures.due(t0 + 10s);
    const Stats::Topics expected{
        {"$SYS/x/login/granted", "1"},   {"$SYS/x/login/refused", "2"},     {"$SYS/x/login/late", "1"},
        {"$SYS/x/access/granted", "102"},
        {"$SYS/x/access/refused", "2"},  {"$SYS/x/access/by_rules", "1"},   {"$SYS/x/cache/hits", "1"},
        {"$SYS/x/cache/stale", "1"},
        {"$SYS/x/backoff/refused", "1"},
        {"$SYS/x/exchanges/failed", "1"}, {"$SYS/x/exchange_ms/p50", "49"}, {"$SYS/x/exchange_ms/p99", "99"},
        {"$SYS/x/exchanges/limit", "12"}, {"$SYS/x/exchanges/waiting", "3"}};
    EXPECT_EQ(first, expected);

    // The next interval: counts go on, times start afresh.
    figures.login(refused, 105us);
    EXPECT_TRUE(figures.due(t0 + 19s).empty());
    const Stats::Topics second = figures.due(t0 + 20s);
    ASSERT_EQ(second.size(), 14u);
    EXPECT_EQ(second[1].second, "3");
    EXPECT_EQ(second[10].second, "0.105");
    EXPECT_EQ(second[11].second, "0.105");
    // Nothing exchanged: the times are 0. A stall past an interval counts the next one from then.
    const Stats::Topics third = figures.due(t0 + 95s);
    ASSERT_EQ(third.size(), 14u);
    EXPECT_EQ(third[10].second, "0");
    EXPECT_EQ(figures.until_due(t0 + 95s), 10s);
}

// Each way a check can come out, in the debug log's words, and whether it
// was refused for want of a decision (2.1 then tells an MQTT 5 client to try
// again later, and no refusal is counted against its address).
TEST(CheckResult, EachSourceHasItsWordsAndOnlyTheWantOfADecisionIsUnavailable) {
    using O = CheckResult::Overruled;
    constexpr Decision grant = Decision::grant, refuse = Decision::refuse, defer = Decision::defer;
    // status: 0 nothing sent, -1 no answer (a time-out), else the HTTP status.
    const auto result = [](Decision d, Source s, int status = 0, O o = O::no, int rule = -1) {
        CheckResult r;
        r.decision = d;
        r.source = s;
        r.overruled = o;
        r.rule = rule;
        r.answer.attempted = status != 0;
        r.answer.transfer = status > 0 ? CURLE_OK : CURLE_OPERATION_TIMEDOUT;
        r.answer.headers_ended = status > 0;
        r.answer.status = status > 0 ? status : 0;
        return r;
    };
    const struct {
        CheckResult result;
        const char *said;
        bool unavailable;
    } cases[] = {
        {result(grant, Source::none), "no request (nothing to ask, or nothing configured to ask)", false},
        {result(refuse, Source::none), "no request (nothing to ask, or nothing configured to ask)", false},
        {result(grant, Source::endpoint, 200), "HTTP 200", false},
        {result(refuse, Source::endpoint, 403), "HTTP 403", false},
        {result(refuse, Source::endpoint, 503), "HTTP 503", true},
        {result(refuse, Source::endpoint, -1), "no answer: Timeout was reached", true},
        {result(refuse, Source::endpoint, 200), "HTTP 200 \"deny\"", false},
        {result(defer, Source::endpoint, 200), "HTTP 200 \"ignore\": the broker's other checks decide", false},
        {result(refuse, Source::endpoint, 200, O::expired), "HTTP 200 but the answer's expire_at has passed", false},
        {result(refuse, Source::endpoint, 200, O::rules_unreadable), "HTTP 200 but its rules could not be read", false},
        {result(refuse, Source::cache), "the decision cache", false},
        // A kept decision answers for an endpoint that gave none: it decided.
        {result(refuse, Source::stale, 503), "a stale decision (the endpoint gave none)", false},
        {result(refuse, Source::stale, 0, O::expired), "a stale decision (the endpoint gave none)", false},
        {result(refuse, Source::backoff), "the back-off, without a request (the endpoint is not answering)", true},
        {result(refuse, Source::busy), "too many logins waiting, without a request", true},
        {result(refuse, Source::too_late), "too little time left for the endpoint to answer, without a request", true},
        {result(refuse, Source::guard),
         "refused at once: these credentials were refused from this address just now, or it is guessing this client "
         "id's",
         false},
        {result(refuse, Source::unwritable),
         "no request: a value could not be written into it (a control character; a path segment empty, \".\" or "
         "\"..\"; a header value empty or with blanks around it)",
         false},
        {result(refuse, Source::rules, 0, O::expired, 2), "the rules of its login, whose expire_at has passed", false},
        {result(refuse, Source::rules, 0, O::no, 2), "rule 3 of its login's answer", false},
        {result(grant, Source::rules), "its login's answer (superuser)", false},
        {result(refuse, Source::rules), "its login's rules: none matched and there is no access endpoint", false},
        {result(refuse, Source::rules_lost), "its connection's rules, dropped since (too many ended sessions kept)",
         false},
        {result(refuse, Source::withdrawn), "a command about it while it waited for its answer", false},
    };
    for (const auto &c : cases) {
        const HowDecided h = how_decided(c.result);
        std::string said = h.how;
        if (h.number >= 0) said += " " + std::to_string(h.number);
        if (h.detail) said += std::string(" ") + h.detail;
        EXPECT_EQ(said, c.said);
        EXPECT_EQ(c.result.unavailable(), c.unavailable) << c.said;
    }
}

}  // namespace

namespace {

// Rules in the login answer (http_login_rules), by user name.
std::string rules_for(const Recorded &r) {
    if (r.path != "/user") return "";
    const std::string user = r.fields.at("username");
    if (user == "alice")
        return R"({"result":"allow","acl":[{"permission":"allow","action":"publish","topic":"home/${clientid}/#"},
                  {"permission":"deny","action":"all","topic":"#"}]})";
    if (user == "root") return R"({"is_superuser":true})";
    if (user == "open") return R"({"acl":[{"permission":"allow","action":"subscribe","topic":"eq a/+"}]})";
    if (user == "ignored") return R"({"result":"ignore"})";
    if (user == "denied") return R"({"result":"deny"})";
    if (user == "bad") return R"({"acl":"everything"})";
    if (user == "late") return R"({"expire_at":1000})";  // long past
    return "";  // "plain": a 200 without JSON
}

TEST_F(PluginV5, RulesInTheLoginAnswerDecideTheSessionsAccess) {
    endpoint.json(rules_for);
    struct Case {
        const char *user;
        int login;
        const char *topic;
        int access, rc;
        bool asked;  // the access endpoint
    } cases[] = {
        {"alice", MOSQ_ERR_SUCCESS, "home/dev1/door", MOSQ_ACL_WRITE, MOSQ_ERR_SUCCESS, false},
        {"alice", MOSQ_ERR_SUCCESS, "home/dev2/door", MOSQ_ACL_WRITE, MOSQ_ERR_ACL_DENIED, false},
        {"alice", MOSQ_ERR_SUCCESS, "home/dev1/door", MOSQ_ACL_READ, MOSQ_ERR_ACL_DENIED, false},
        {"alice", MOSQ_ERR_SUCCESS, "home/#", MOSQ_ACL_UNSUBSCRIBE, MOSQ_ERR_SUCCESS, false},  // not the rules'
        {"root", MOSQ_ERR_SUCCESS, "closed", MOSQ_ACL_WRITE, MOSQ_ERR_SUCCESS, false},
        {"open", MOSQ_ERR_SUCCESS, "a/+", MOSQ_ACL_SUBSCRIBE, MOSQ_ERR_SUCCESS, false},
        {"open", MOSQ_ERR_SUCCESS, "a/b", MOSQ_ACL_WRITE, MOSQ_ERR_SUCCESS, true},  // no rule: the endpoint
        {"open", MOSQ_ERR_SUCCESS, "closed", MOSQ_ACL_WRITE, MOSQ_ERR_ACL_DENIED, true},
        {"plain", MOSQ_ERR_SUCCESS, "closed", MOSQ_ACL_WRITE, MOSQ_ERR_ACL_DENIED, true},  // as without rules
        {"ignored", MOSQ_ERR_PLUGIN_DEFER, nullptr, 0, 0, false},
        {"denied", MOSQ_ERR_AUTH, nullptr, 0, 0, false},
        {"bad", MOSQ_ERR_AUTH, nullptr, 0, 0, false},
        {"late", MOSQ_ERR_AUTH, nullptr, 0, 0, false},
    };
    for (const bool acl_endpoint : {true, false}) {
        Options::Pairs opts{{"http_user_uri", endpoint.url("/user")}, {"http_login_rules", "true"}};
        if (acl_endpoint) opts.emplace_back("http_acl_uri", endpoint.url("/acl"));
        Line line(1, opts);
        ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.user) + " " + (c.topic ? c.topic : "") + (acl_endpoint ? "" : ", no endpoint"));
            mosquitto session{"dev1", c.user, "127.0.0.1", 5, nullptr};
            EXPECT_EQ(line.login(session, c.user, "pw"), c.login);
            if (!c.topic) continue;
            endpoint.clear();
            // Without an access endpoint, what no rule decides is refused;
            // without rules, all is granted, as ever.
            const int rc = acl_endpoint || !c.asked              ? c.rc
                           : std::string(c.user) == "plain" ? MOSQ_ERR_SUCCESS
                                                                 : MOSQ_ERR_ACL_DENIED;
            EXPECT_EQ(line.access(session, c.topic, c.access), rc);
            EXPECT_EQ(endpoint.requests().size(), c.asked && acl_endpoint ? 1u : 0u);
            line.disconnect(session);
        }
        // A flood of malformed answers is told once.
        mosquitto flood{"dev9", "bad", "127.0.0.1", 5, nullptr};
        for (int i = 0; i < 20; ++i) EXPECT_EQ(line.login(flood, "bad", "pw"), MOSQ_ERR_AUTH);
    }
    std::size_t said = 0;
    for (const auto &line : fake::broker().log) said += line.find("rules could not be read, so the login is refused") != std::string::npos;
    EXPECT_EQ(said, 2u);  // once for each plugin line
}

// Rules are one connection's, from one line's endpoint: not another line's,
// not a later connection's at the same address, not a squatter's of its id.
TEST_F(PluginV5, RulesAreTheirConnectionsAlone) {
    endpoint.json(rules_for);
    Endpoint other;  // the second line's: refuses what mentions "closed", no rules
    other.decide([](const Recorded &r) { return r.body.find("closed") == std::string::npos ? 200 : 403; });
    Line first(1, {{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")},
                   {"http_login_rules", "true"}});
    Line second(2, {{"http_user_uri", other.url("/user")}, {"http_acl_uri", other.url("/acl")},
                    {"http_login_rules", "true"}});
    ASSERT_EQ(first.rc(), MOSQ_ERR_SUCCESS);
    ASSERT_EQ(second.rc(), MOSQ_ERR_SUCCESS);
    mosquitto root{"dev1", "root", "127.0.0.1", 5, nullptr}, alice{"dev2", "alice", "127.0.0.1", 5, nullptr},
        squatter{"dev2", "open", "127.0.0.1", 5, nullptr};
    ASSERT_EQ(first.login(root, "root", "pw"), MOSQ_ERR_SUCCESS);  // a superuser, on the first line
    EXPECT_EQ(second.access(root, "closed", MOSQ_ACL_WRITE), MOSQ_ERR_ACL_DENIED);
    EXPECT_EQ(other.requests().size(), 1u);  // the second line asked its own endpoint
    first.disconnect(root);
    EXPECT_EQ(first.access(root, "closed", MOSQ_ACL_WRITE), MOSQ_ERR_SUCCESS);  // its will: still its rules
    root.id = "dev3";  // the address given to a connection whose login was not ours (2.0.11 keeps the record)
    endpoint.clear();
    EXPECT_EQ(first.access(root, "closed", MOSQ_ACL_WRITE), MOSQ_ERR_ACL_DENIED);
    EXPECT_EQ(endpoint.requests().size(), 1u);  // asked, not decided by the superuser's rules
    root.id = "dev1";
    root.username = "plain";
    ASSERT_EQ(first.login(root, "plain", "pw"), MOSQ_ERR_SUCCESS);  // the address, reused
    endpoint.clear();
    EXPECT_EQ(first.access(root, "closed", MOSQ_ACL_WRITE), MOSQ_ERR_ACL_DENIED);
    EXPECT_EQ(endpoint.requests().size(), 1u);

    ASSERT_EQ(first.login(alice, "alice", "pw"), MOSQ_ERR_SUCCESS);
    ASSERT_EQ(first.login(squatter, "open", "pw"), MOSQ_ERR_SUCCESS);  // the same client id
    endpoint.clear();
    EXPECT_EQ(first.access(alice, "home/dev2/door", MOSQ_ACL_WRITE), MOSQ_ERR_SUCCESS);  // her rules
    EXPECT_EQ(first.access(squatter, "home/dev2/closed", MOSQ_ACL_WRITE), MOSQ_ERR_ACL_DENIED);  // not hers
    EXPECT_EQ(endpoint.requests().size(), 1u);  // the squatter's: no rule of hers decides
    first.disconnect(alice);
    first.disconnect(squatter);
}

// A login endpoint that lies, or comes back half-way: rules count only from
// a complete 200 of type application/json.
TEST_F(PluginV5, RulesComeOnlyFromACompleteJsonOk) {
    const std::string superuser = R"({"is_superuser":true})";
    const std::string big = R"({"is_superuser":true,"padding":")" + std::string(70000, 'x') + "\"}";
    const std::string deny = R"({"result":"deny"})";
    const auto head = [](const char *status, const char *type, std::size_t length) {
        return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
               "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
    };
    struct Case {
        const char *what;
        std::string bytes;
        int login;
        bool superuser;  // "closed" granted without asking the access endpoint
        const char *logged = nullptr;  // in the line that says why
    } cases[] = {
        {"complete", head("200 OK", "application/json", superuser.size()) + superuser, MOSQ_ERR_SUCCESS, true},
        {"in chunks", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "5\r\n{\"is_\r\n10\r\nsuperuser\":true}\r\n0\r\n\r\n", MOSQ_ERR_SUCCESS, true},
        {"cut mid-body", head("200 OK", "application/json", 100) + superuser, MOSQ_ERR_AUTH, false},
        {"refused, with rules", head("403 Forbidden", "application/json", superuser.size()) + superuser,
         MOSQ_ERR_AUTH, false},
        {"past 64 KiB", head("200 OK", "application/json", big.size()) + big, MOSQ_ERR_AUTH, false},
        // A body of another type may say no in words not read: refused, and the log names the type.
        {"rules as text/plain", head("200 OK", "text/plain", superuser.size()) + superuser, MOSQ_ERR_AUTH, false,
         "\"text/plain\""},
        {"a deny as text/html", head("200 OK", "text/html; charset=utf-8", deny.size()) + deny, MOSQ_ERR_AUTH, false,
         "\"text/html\""},
        {"as problem+json", head("200 OK", "application/problem+json", deny.size()) + deny, MOSQ_ERR_AUTH, false,
         "\"application/problem+json\""},
        {"no Content-Type", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(deny.size()) + "\r\n\r\n" + deny,
         MOSQ_ERR_AUTH, false, "no Content-Type"},
        {"JSON, then another Content-Type",
         "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Type: text/plain\r\nContent-Length: " +
             std::to_string(deny.size()) + "\r\n\r\n" + deny,
         MOSQ_ERR_AUTH, false, "2 Content-Type lines"},
        {"an empty 200 of any type", head("200 OK", "text/html", 0), MOSQ_ERR_SUCCESS, false},
    };
    for (const auto &c : cases) {
        for (const char *keepalive : {"false", "true"}) {
            SCOPED_TRACE(std::string(c.what) + ", keepalive " + keepalive);
            HostileServer login([&](HostileServer &, int fd) { HostileServer::send_all(fd, c.bytes); });
            Line line(1, {{"http_user_uri", login.url()}, {"http_acl_uri", endpoint.url("/acl")},
                          {"http_login_rules", "true"}, {"http_keepalive", keepalive}, {"http_timeout_ms", "2000"}});
            ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
            endpoint.clear();
            EXPECT_EQ(line.login(client, "alice", "pw"), c.login);
            if (c.login == MOSQ_ERR_SUCCESS) {
                EXPECT_EQ(line.access(client, "closed", MOSQ_ACL_WRITE),
                          c.superuser ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ACL_DENIED);
                EXPECT_EQ(endpoint.requests().size(), c.superuser ? 0u : 1u);
                line.disconnect(client);
            }
            if (c.logged) {
                const auto &log = fake::broker().log;
                EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string &l) {
                    return l.find("could not be read, so the login is refused") != std::string::npos && l.find(c.logged) != std::string::npos;
                })) << c.logged;
            }
        }
    }
}

// The rules belong to the connection: a cached login brings them back, a
// reload's re-check replaces them, and their expiry ends the connection.
TEST_F(PluginV5, RulesLastAsLongAsTheirConnection) {
    std::atomic<int> version{1};
    std::atomic<long long> expire_at{0};
    endpoint.json([&](const Recorded &r) -> std::string {
        if (r.path != "/user") return "";
        const std::string topic = version == 1 ? "one" : "two";
        return R"({"acl":[{"permission":"allow","action":"all","topic":")" + topic + R"("},
                  {"permission":"deny","action":"all","topic":"#"}])" +
               (expire_at ? R"(, "expire_at":)" + std::to_string(expire_at.load()) + "}" : "}");
    });
    Line line(1, {{"http_user_uri", endpoint.url("/user")}, {"http_login_rules", "true"},
                  {"http_cache_ms", "60000"}, {"http_reload_in_background", "false"}});
    ASSERT_EQ(line.rc(), MOSQ_ERR_SUCCESS);
    mosquitto first{"dev1", "alice", "127.0.0.1", 5, nullptr}, second{"dev2", "alice", "127.0.0.1", 5, nullptr};
    ASSERT_EQ(line.login(first, "alice", "pw"), MOSQ_ERR_SUCCESS);
    ASSERT_EQ(line.login(second, "alice", "pw"), MOSQ_ERR_SUCCESS);  // from the cache
    EXPECT_EQ(endpoint.requests().size(), 1u);
    for (mosquitto *c : {&first, &second}) {
        EXPECT_EQ(line.access(*c, "one", MOSQ_ACL_WRITE), MOSQ_ERR_SUCCESS);
        EXPECT_EQ(line.access(*c, "two", MOSQ_ACL_WRITE), MOSQ_ERR_ACL_DENIED);
    }

    version = 2;
    line.reload();
    ASSERT_EQ(line.login(first, "alice", "pw"), MOSQ_ERR_SUCCESS);  // the re-check, asked again
    EXPECT_EQ(endpoint.requests().size(), 2u);
    EXPECT_EQ(line.access(first, "one", MOSQ_ACL_WRITE), MOSQ_ERR_ACL_DENIED);
    EXPECT_EQ(line.access(first, "two", MOSQ_ACL_WRITE), MOSQ_ERR_SUCCESS);
    line.disconnect(first);
    line.disconnect(second);

    // Expiry: disconnected by the first TICK from its second on, never
    // before, and refused access from then whether or not a TICK came.
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
    expire_at = now + 2;
    line.reload();  // forget the cached login
    line.tick();    // the reload's walk is over
    ASSERT_EQ(line.login(first, "alice", "pw"), MOSQ_ERR_SUCCESS);
    const auto seconds_now = [] {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    bool kicked = false;
    long long kicked_at = 0;
    wait_until([&] {
        line.tick();
        kicked = !fake::broker().kicked.empty();
        kicked_at = seconds_now();
        return kicked;
    }, 10s);
    EXPECT_TRUE(kicked);
    EXPECT_GE(kicked_at, expire_at.load()) << "disconnected before its time";
    EXPECT_EQ(fake::broker().kicked, std::vector<std::string>{"dev1"});
    EXPECT_EQ(line.access(first, "two", MOSQ_ACL_WRITE), MOSQ_ERR_ACL_DENIED);  // and nothing more is granted
    line.disconnect(first);
}

}  // namespace
