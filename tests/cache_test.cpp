// The decision cache (http_cache_ms): what is kept, for how long, under which
// key, and within which bound. Through the loaded plug-in, in both
// connection modes, and the cache itself, with a clock of the test's making,
// for its expiry and eviction order.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "checker.h"
#include "decision_cache.h"
#include "endpoint.h"
#include "json_answer.h"
#include "login_rules.h"
#include "loopback.h"
#include "plugin_fixture.h"
#include "startup.h"
#include "timing.h"

using namespace std::chrono_literals;

namespace {

constexpr int OK = 0, AUTH_DENIED = 11, ACL_DENIED = 12;

// The decision alone, where the rules do not matter.
std::optional<bool> granted_of(const std::optional<DecisionCache::Decision> &kept) {
    return kept ? std::optional<bool>(kept->granted) : std::nullopt;
}

class Cache : public PluginFixture {
protected:
    Endpoint endpoint;
    // Both URLs at the endpoint, and these options.
    int configure(Options::Pairs extra) {
        Options::Pairs pairs{{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")}};
        pairs.insert(pairs.end(), extra.begin(), extra.end());
        return PluginFixture::configure(std::move(pairs));
    }
    std::size_t asked() { return endpoint.requests().size(); }
};

TEST_P(Cache, RepeatsAreAnsweredFromTheCacheAndAnyOtherFieldAsksAgain) {
    ASSERT_EQ(configure({{"http_cache_ms", "60000"}}), OK);
    endpoint.decide([](const Recorded &r) { return r.body.find("bad") == std::string::npos ? 200 : 403; });
    EXPECT_EQ(unpwd("alice", "pw"), OK);
    EXPECT_EQ(acl("dev1", "alice", "a/b", 1), OK);
    EXPECT_EQ(unpwd("alice", "bad"), AUTH_DENIED);
    EXPECT_EQ(acl("dev1", "alice", "bad", 2), ACL_DENIED);
    ASSERT_EQ(asked(), 4u);
    for (int i = 0; i < 5; ++i) {  // grants and refusals both kept
        EXPECT_EQ(unpwd("alice", "pw"), OK);
        EXPECT_EQ(acl("dev1", "alice", "a/b", 1), OK);
        EXPECT_EQ(unpwd("alice", "bad"), AUTH_DENIED);
        EXPECT_EQ(acl("dev1", "alice", "bad", 2), ACL_DENIED);
    }
    EXPECT_EQ(asked(), 4u);

    // Each of these differs from a kept question in one field only.
    struct Variant {
        const char *what;
        std::function<int()> check;
    } variants[] = {
        {"password", [&] { return unpwd("alice", "pw2"); }},
        {"user name", [&] { return unpwd("alice2", "pw"); }},
        {"fields swapped", [&] { return unpwd("pw", "alice"); }},
        {"client id", [&] { return acl("dev2", "alice", "a/b", 1); }},
        {"acl user name", [&] { return acl("dev1", "bob", "a/b", 1); }},
        {"topic", [&] { return acl("dev1", "alice", "a/c", 1); }},
        {"access", [&] { return acl("dev1", "alice", "a/b", 2); }},
    };
    for (const auto &v : variants) {
        SCOPED_TRACE(v.what);
        const std::size_t before = asked();
        EXPECT_EQ(v.check(), OK);
        EXPECT_EQ(asked(), before + 1);
    }
}

TEST_P(Cache, OnlyDecisionsAreKept) {
    ASSERT_EQ(configure({{"http_cache_ms", "60000"}}), OK);
    struct Case {
        int status;
        bool kept;
    } cases[] = {{200, true},  {401, true},  {403, true},  {404, true},  {408, false}, {429, false},
                 {500, false}, {503, false}, {302, false}, {204, false}, {201, false}};
    int user = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        endpoint.answer(c.status);
        const std::string name = "u" + std::to_string(user++);
        unpwd(name.c_str(), "p");
        const std::size_t before = asked();
        endpoint.answer(200);  // what a second request would get
        EXPECT_EQ(unpwd(name.c_str(), "p"), c.kept ? (c.status == 200 ? OK : AUTH_DENIED) : OK);
        EXPECT_EQ(asked(), before + (c.kept ? 0 : 1));
    }
}

TEST_P(Cache, TransferFailuresAndTimeOutsAreNeverKept) {
    ASSERT_EQ(configure({{"http_cache_ms", "60000"}, {"http_timeout_ms", std::to_string(scaled(250ms).count())}}), OK);
    endpoint.decide([this](const Recorded &) {
        endpoint.hold();  // past the time-out
        return 200;
    });
    EXPECT_EQ(unpwd("u", "p"), AUTH_DENIED);
    endpoint.answer(200);
    EXPECT_EQ(unpwd("u", "p"), OK);  // asked again, and granted
    EXPECT_EQ(endpoint.wait_for_requests(2).size(), 2u);  // the first may be recorded late
}

TEST_P(Cache, TheEndpointShortensOrForbidsKeeping) {
    ASSERT_EQ(configure({{"http_cache_ms", "60000"}}), OK);
    struct Case {
        const char *cache_control;
        bool kept;
    } cases[] = {
        {"", true},
        {"private", true},
        {"max-age=3600", true},
        {"no-store", false},
        {"no-cache", false},
        {"max-age=0", false},
        {"private, max-age=0", false},
        {"Max-Age=0", false},
        {"max-age=soon", false},
        {"max-age=60, NO-STORE", false},
    };
    int user = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cache_control);
        endpoint.header("Cache-Control", c.cache_control);
        const std::string name = "u" + std::to_string(user++);
        EXPECT_EQ(unpwd(name.c_str(), "p"), OK);
        const std::size_t before = asked();
        EXPECT_EQ(unpwd(name.c_str(), "p"), OK);
        EXPECT_EQ(asked(), before + (c.kept ? 0 : 1));
    }
    // max-age=1 under a lifetime of a minute: gone a second after it came.
    endpoint.header("Cache-Control", "max-age=1");
    EXPECT_EQ(unpwd("short", "p"), OK);
    const auto came = std::chrono::steady_clock::now();  // no earlier than the answer did
    const std::size_t before = asked();
    std::this_thread::sleep_until(came + 1s);
    EXPECT_EQ(unpwd("short", "p"), OK);
    EXPECT_EQ(asked(), before + 1);
}

TEST_P(Cache, AReloadAsksAgainAndOffMeansEveryCheckAsks) {
    ASSERT_EQ(configure({{"http_cache_ms", "60000"}}), OK);
    Options none(Options::Pairs{});
    struct Case {
        const char *what;
        bool cleanup, init, reload;  // which hooks are called, with which flag
    } cases[] = {
        {"no reload", true, true, false},
        {"a reload, as the broker calls it", true, true, true},
        {"its clean-up alone", true, false, true},
        {"its initialisation alone", false, true, true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string user = "u" + std::to_string(n++);
        EXPECT_EQ(unpwd(user.c_str(), "p"), OK);
        const std::size_t before = asked();
        if (c.cleanup) {
            EXPECT_EQ(plugin.security_cleanup(nullptr, none.data(), 0, c.reload), OK);
        }
        if (c.init) {
            EXPECT_EQ(plugin.security_init(nullptr, none.data(), 0, c.reload), OK);
        }
        for (int i = 0; i < 2; ++i) EXPECT_EQ(unpwd(user.c_str(), "p"), OK);  // the second from the new answer
        EXPECT_EQ(asked(), before + (c.reload ? 1 : 0));
    }

    for (const char *off : std::initializer_list<const char *>{"0", nullptr}) {
        SCOPED_TRACE(off ? off : "unset");
        ASSERT_EQ(configure(off ? Options::Pairs{{"http_cache_ms", off}} : Options::Pairs{}), OK);
        endpoint.clear();
        for (int i = 0; i < 3; ++i) EXPECT_EQ(unpwd("u", "p"), OK);
        EXPECT_EQ(asked(), 3u);
    }
}

// A reload during an outage keeps those whose grant is within its stale
// bound; with the endpoint up, its new decision is the one that counts.
TEST_P(Cache, AfterAReloadKeptDecisionsAnswerOnlyWhileTheEndpointGivesNone) {
    ASSERT_EQ(configure({{"http_cache_ms", "60000"}, {"http_cache_stale_ms", "3600000"}}), OK);
    Options none(Options::Pairs{});
    struct Case {
        int status;  // what the endpoint answers after the reload
        int result;
    } cases[] = {{503, OK}, {429, OK}, {403, AUTH_DENIED}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        const std::string user = "u" + std::to_string(n++);
        endpoint.answer(200);
        ASSERT_EQ(unpwd(user.c_str(), "p"), OK);
        ASSERT_EQ(plugin.security_cleanup(nullptr, none.data(), 0, true), OK);
        ASSERT_EQ(plugin.security_init(nullptr, none.data(), 0, true), OK);
        endpoint.answer(c.status);
        const std::size_t before = asked();
        EXPECT_EQ(unpwd(user.c_str(), "p"), c.result);
        EXPECT_EQ(asked(), before + 1);
    }
}

TEST_P(Cache, TheCapBoundsTheEntries) {
    constexpr int cap = 50;
    ASSERT_EQ(configure({{"http_cache_ms", "60000"}, {"http_cache_entries", std::to_string(cap)}}), OK);
    endpoint.answer(200);
    for (int i = 0; i < 10 * cap; ++i) unpwd(("u" + std::to_string(i)).c_str(), "p");
    endpoint.clear();
    for (int i = 10 * cap - cap; i < 10 * cap; ++i) unpwd(("u" + std::to_string(i)).c_str(), "p");
    EXPECT_EQ(asked(), 0u);  // the newest are all kept
    unpwd("u0", "p");
    EXPECT_EQ(asked(), 1u);  // the oldest went
}

TEST_P(Cache, ConcurrentChecksEachGetTheirOwnAnswer) {
    // A small cap, so that threads also evict under each other.
    ASSERT_EQ(configure({{"http_cache_ms", "60000"}, {"http_cache_entries", "4"}}), OK);
    endpoint.decide([](const Recorded &r) { return r.body.find("good") != std::string::npos ? 200 : 403; });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                const int q = (i + t) % 10;
                const bool good = q % 3 == 0;
                const std::string topic = (good ? "good/" : "bad/") + std::to_string(q);
                const std::string pass = (good ? "good" : "bad") + std::to_string(q);
                if (acl("id", "u", topic.c_str(), 1) != (good ? OK : ACL_DENIED)) ++wrong;
                if (unpwd("u", pass.c_str()) != (good ? OK : AUTH_DENIED)) ++wrong;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LT(asked(), 480u);
}

INSTANTIATE_TEST_SUITE_P(Modes, Cache, ::testing::Values(false, true), connection_mode);

// The cache on its own: its bound and the order in which entries make room.
using Clock = DecisionCache::Clock;

DecisionCache::Digest key_of(const DecisionCache &cache, const std::string &body) {
    DecisionCache::Digest d{};
    EXPECT_TRUE(cache.digest("http://h/", body.data(), body.size(), d));
    return d;
}

Answer decision(int status, bool stale_forbidden = false) {
    Answer a;
    a.attempted = a.headers_ended = true;
    a.transfer = CURLE_OK;
    a.status = status;
    a.stale_forbidden = stale_forbidden;
    return a;
}

TEST(DecisionCacheAlone, MakesRoomWithExpiredEntriesFirstThenTheOldest) {
    DecisionCache cache(10000, 3);
    auto key = [&](const char *body) {
        DecisionCache::Digest d{};
        EXPECT_TRUE(cache.digest("http://h/", body, std::strlen(body), d));
        return d;
    };
    auto answer = [](long max_age) {
        Answer a;
        a.attempted = true;
        a.transfer = CURLE_OK;
        a.headers_ended = true;
        a.status = 200;
        a.max_age_s = max_age;
        return a;
    };
    const Clock::time_point t0 = Clock::now();
    cache.store(key("a"), answer(-1), t0);
    cache.store(key("b"), answer(1), t0 + 1ms);  // kept one second only
    cache.store(key("c"), answer(-1), t0 + 2ms);
    // Two seconds on, b has expired though a is older: b makes room.
    cache.store(key("d"), answer(-1), t0 + 2s);
    EXPECT_EQ(cache.size(), 3u);
    EXPECT_TRUE(granted_of(cache.find(key("a"), t0 + 2s)));
    EXPECT_FALSE(granted_of(cache.find(key("b"), t0 + 2s)));
    // Nothing expired: the oldest, a, makes room.
    cache.store(key("e"), answer(-1), t0 + 3s);
    EXPECT_FALSE(granted_of(cache.find(key("a"), t0 + 3s)));
    EXPECT_TRUE(granted_of(cache.find(key("c"), t0 + 3s)));
    EXPECT_TRUE(granted_of(cache.find(key("e"), t0 + 3s)));
    // Ten times the cap never grows it.
    for (int i = 0; i < 30; ++i) cache.store(key(std::to_string(i).c_str()), answer(i % 2 ? 1 : -1), t0 + 4s);
    EXPECT_EQ(cache.size(), 3u);
    // Keys differ by URL too.
    DecisionCache::Digest other{};
    ASSERT_TRUE(cache.digest("http://h/x", "29", 2, other));
    EXPECT_NE(other, key("29"));
}

TEST(DecisionCacheAlone, AnEntryExpiresAtAFixedTimeWhateverItsUse) {
    DecisionCache cache(300, 10);
    DecisionCache::Digest key{};
    ASSERT_TRUE(cache.digest("http://h/", "q", 1, key));
    const auto t0 = DecisionCache::Clock::now();
    cache.store(key, decision(200), t0);
    // Used every 50 ms: an expiry extended by use would never come.
    for (auto t = t0; t < t0 + 300ms; t += 50ms) EXPECT_EQ(granted_of(cache.find(key, t)), std::optional<bool>(true));
    EXPECT_EQ(granted_of(cache.find(key, t0 + 299ms)), std::optional<bool>(true));
    EXPECT_EQ(granted_of(cache.find(key, t0 + 300ms)), std::nullopt);
    EXPECT_EQ(cache.size(), 0u);  // and it is gone
}

// A flood of refusals (wrong passwords) takes a quarter of the room at most,
// and only from other refusals; a grant makes room at a refusal's expense first.
TEST(DecisionCacheAlone, RefusalsNeverPushOutGrants) {
    struct Case {
        std::size_t capacity, grants;
        bool in_bytes;  // the room is the byte budget's (for that many entries), not the count's
    } cases[] = {{100, 100, false}, {100, 90, false}, {100, 10, false}, {100, 0, false}, {7, 2, false},
                 {1, 1, false},     {1, 0, false},    {100, 100, true},  {100, 90, true}, {100, 0, true},
                 {7, 2, true},      {1, 0, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.grants) + " grants in " + std::to_string(c.capacity) + (c.in_bytes ? " by bytes" : ""));
        const std::size_t budget = c.capacity * DecisionCache::entry_bytes(false, false);
        DecisionCache cache(60000, c.in_bytes ? 10 * c.capacity : c.capacity, 60000, c.in_bytes ? budget : 0);
        const std::size_t share = std::max<std::size_t>(1, c.capacity / DecisionCache::refusal_share);
        auto t = Clock::now();
        auto store = [&](const std::string &body, int status) {
            cache.store(key_of(cache, body), decision(status), t += 1ms);
        };
        auto held = [&](const std::string &body) { return granted_of(cache.find(key_of(cache, body), t)).has_value(); };
        for (std::size_t i = 0; i < c.grants; ++i) store("g" + std::to_string(i), 200);
        const std::size_t flood = 10 * c.capacity;
        for (std::size_t i = 0; i < flood; ++i) store("r" + std::to_string(i), 403);

        std::size_t grants = 0, refusals = 0;
        for (std::size_t i = 0; i < c.grants; ++i) grants += held("g" + std::to_string(i));
        for (std::size_t i = 0; i < flood; ++i) refusals += held("r" + std::to_string(i));
        EXPECT_EQ(grants, c.grants);
        EXPECT_EQ(refusals, std::min(share, c.capacity - c.grants));  // all the room they may have
        if (refusals > 0) {
            EXPECT_TRUE(held("r" + std::to_string(flood - 1)));  // the newest
        }
        EXPECT_LE(cache.size(), c.capacity);
        EXPECT_LE(cache.bytes(), budget);

        store("new", 200);
        EXPECT_TRUE(held("new"));
        if (c.grants > 0) {
            EXPECT_EQ(held("g0"), refusals > 0 || c.grants < c.capacity);  // a refusal made room
        }
        EXPECT_LE(cache.size(), c.capacity);
        EXPECT_LE(cache.bytes(), budget);
    }
}

// An answer's acl of n rules, about 80 bytes of JSON each.
std::string acl_of(int n) {
    std::string acl = R"({"acl":[)";
    for (int i = 0; i < n; ++i)
        acl += std::string(i ? "," : "") + R"({"permission":"allow","action":"publish","topic":"site/${clientid}/room)" +
               std::to_string(i) + R"(/+"})";
    return acl + "]}";
}

std::optional<DecisionCache::Decision> granted_with(int rules) {
    if (rules == 0) return std::nullopt;
    DecisionCache::Decision said;
    said.granted = true;
    said.rules = read_json_body(acl_of(rules)).rules;  // each login's answer is read into its own
    EXPECT_TRUE(said.rules);
    return said;
}

// The byte budget counts what each entry holds, its login's rules included:
// the cache fills to what fits, never holds more, and the oldest go first.
TEST(DecisionCacheAlone, TheBudgetBoundsTheBytesHeldRulesIncluded) {
    const struct {
        int rules;
        std::size_t budget;
    } cases[] = {{0, 64 << 10}, {10, 64 << 10}, {100, 1 << 20}, {700, 1 << 20}, {700, 3 << 20}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.rules) + " rules in " + std::to_string(c.budget));
        DecisionCache cache(60000, 1000000, 0, c.budget);
        const auto said = granted_with(c.rules);
        const std::size_t cost = DecisionCache::entry_bytes(false, true) + (said ? said->rules->bytes() : 0);
        const std::size_t fits = c.budget / cost, stored = 3 * fits + 1;
        ASSERT_GT(fits, 0u);
        auto t = Clock::now();
        for (std::size_t i = 0; i < stored; ++i) {
            cache.store(key_of(cache, std::to_string(i)), decision(200), t += 1ms, std::nullopt, i + 1,
                        granted_with(c.rules));
            ASSERT_LE(cache.bytes(), c.budget);
        }
        EXPECT_EQ(cache.size(), fits);
        EXPECT_EQ(cache.bytes(), fits * cost);
        for (std::size_t i = 0; i < stored; ++i)
            EXPECT_EQ(cache.find(key_of(cache, std::to_string(i)), t).has_value(), i >= stored - fits) << i;
    }
    // An entry larger than the whole budget is not kept, and takes no room.
    DecisionCache cache(60000, 1000, 0, 64 << 10);
    const auto t = Clock::now();
    cache.store(key_of(cache, "plain"), decision(200), t, std::nullopt, 1);
    const std::size_t held = cache.bytes();
    cache.store(key_of(cache, "large"), decision(200), t, std::nullopt, 2, granted_with(700));
    EXPECT_FALSE(cache.find(key_of(cache, "large"), t));
    EXPECT_TRUE(cache.find(key_of(cache, "plain"), t));
    EXPECT_EQ(cache.bytes(), held);
}

// The same through the checker, as the plug-in keeps a login's answer:
// logins with 700 rules each under a budget of 1 MiB.
TEST(DecisionCacheAlone, ALoginsRulesCountAgainstTheBudgetInTheChecker) {
    Endpoint endpoint;
    endpoint.json([](const Recorded &) { return acl_of(700); });
    Settings s;
    s.http_user_uri = endpoint.url("/user");
    s.http_cache_ms = 60000;
    s.http_cache_bytes = 1 << 20;
    s.http_login_rules = true;
    Checker checker(configuration_of(s));
    const std::size_t fits =
        (1u << 20) / (DecisionCache::entry_bytes(false, true) + read_json_body(acl_of(700)).rules->bytes());
    ASSERT_GT(fits, 1u);
    auto login = [&](std::size_t i) {
        const std::string user = "u" + std::to_string(i);
        return checker.login(LoginQuestion{user.c_str(), "p"});
    };
    for (std::size_t i = 0; i <= fits; ++i) ASSERT_TRUE(login(i).rules);
    for (std::size_t i = fits; i > 0; --i) {  // the newest first: asking the oldest would evict one
        const CheckResult v = login(i);
        EXPECT_TRUE(v.source == Source::cache && v.rules) << i;
    }
    EXPECT_NE(login(0).source, Source::cache);  // the oldest made room
    EXPECT_EQ(endpoint.requests().size(), fits + 2);
}

// A reload: every kept decision is past its lifetime at once, and within
// the stale bound it had.
TEST(DecisionCacheAlone, ExpireAllEndsLifetimesButNotStaleBounds) {
    DecisionCache cache(10000, 10, 60000);  // a lifetime of 10 s, a stale bound of 60 s
    const auto t0 = Clock::now();
    struct Case {
        const char *what;
        Answer answer;
        Clock::duration at;  // when find_stale is asked, after the answer arrived
        std::optional<bool> stale;
    } cases[] = {
        {"a grant", decision(200), 1s, true},
        {"a refusal", decision(403), 1s, false},
        {"a grant, a second before its bound ends", decision(200), 69s, true},
        {"a grant, past its bound", decision(200), 70s, std::nullopt},
        {"a grant never to answer stale", decision(200, true), 1s, std::nullopt},
    };
    for (const auto &c : cases) {
        cache.store(key_of(cache, c.what), c.answer, t0);
        EXPECT_EQ(granted_of(cache.find(key_of(cache, c.what), t0 + 1s)), c.answer.status == 200) << c.what;
    }
    const auto before = cache.generation();
    cache.expire_all();
    cache.store(key_of(cache, "after"), decision(200), t0 + 2s);
    EXPECT_EQ(granted_of(cache.find(key_of(cache, "after"), t0 + 3s)), true);  // fresh as usual
    // asked before the reload, answered after: the policy it reflects is the old one
    cache.store(key_of(cache, "straddling"), decision(200), t0 + 2s, before);
    EXPECT_EQ(granted_of(cache.find(key_of(cache, "straddling"), t0 + 3s)), std::nullopt);
    EXPECT_EQ(granted_of(cache.find_stale(key_of(cache, "straddling"), t0 + 3s)), true);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(granted_of(cache.find(key_of(cache, c.what), t0 + 1s)), std::nullopt);
        EXPECT_EQ(granted_of(cache.find_stale(key_of(cache, c.what), t0 + c.at)), c.stale);
    }
}

// Forgetting one user's decisions (or everyone's), by the tag they were
// stored with; the cache keeps making room and dropping ended entries after.
TEST(DecisionCacheAlone, ForgetsOneUserOrEveryone) {
    constexpr std::uint64_t a = 1, b = 2, nobody = 3;
    constexpr std::size_t cap = 20;
    const struct Kept {
        const char *body;
        std::uint64_t user;
        Answer answer;
    } kept[] = {
        {"a login", a, decision(200)},      {"a read", a, decision(200)},  {"a write", a, decision(403)},
        {"a no stale", a, decision(200, true)}, {"b login", b, decision(200)}, {"b read", b, decision(403)},
        {"untagged", 0, decision(200)},
    };
    struct Case {
        const char *what;
        std::function<std::size_t(DecisionCache &)> forget;
        std::size_t changed;
        bool fresh_a, fresh_others, stale_a, stale_others;
        std::size_t size;
    } cases[] = {
        {"a", [](DecisionCache &c) { return c.forget(a, false); }, 4, false, true, false, true, 3},
        {"a, keeping stale", [](DecisionCache &c) { return c.forget(a, true); }, 4, false, true, true, true, 6},
        {"an unknown user", [](DecisionCache &c) { return c.forget(nobody, false); }, 0, true, true, true, true, 7},
        {"all", [](DecisionCache &c) { return c.forget_all(false); }, 7, false, false, false, false, 0},
        {"all, keeping stale", [](DecisionCache &c) { return c.forget_all(true); }, 7, false, false, true, true, 7},
    };
    const auto t0 = Clock::time_point{} + 1h;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        DecisionCache cache(10000, cap, 60000);  // a lifetime of 10 s, a stale bound of 60 s
        for (const auto &k : kept) cache.store(key_of(cache, k.body), k.answer, t0, std::nullopt, k.user);
        const auto asked_before = cache.generation();
        EXPECT_EQ(c.forget(cache), c.changed);
        EXPECT_EQ(cache.size(), c.size);
        for (const auto &k : kept) {
            SCOPED_TRACE(k.body);
            const std::optional<bool> granted = k.answer.status == 200;
            const bool fresh = k.user == a ? c.fresh_a : c.fresh_others;
            const bool stale = (k.user == a ? c.stale_a : c.stale_others) && !k.answer.stale_forbidden;
            EXPECT_EQ(granted_of(cache.find(key_of(cache, k.body), t0 + 1s)), fresh ? granted : std::nullopt);
            EXPECT_EQ(granted_of(cache.find_stale(key_of(cache, k.body), t0 + 1s)), fresh || stale ? granted : std::nullopt);
            EXPECT_EQ(granted_of(cache.find_stale(key_of(cache, k.body), t0 + 69s)), stale ? granted : std::nullopt);
        }
        // An answer asked before the forget may be what was forgotten; one asked after is fresh.
        cache.store(key_of(cache, "a in flight"), decision(200), t0 + 2s, asked_before, a);
        cache.store(key_of(cache, "a after"), decision(200), t0 + 2s, cache.generation(), a);
        EXPECT_EQ(granted_of(cache.find(key_of(cache, "a in flight"), t0 + 3s)), std::nullopt);
        EXPECT_EQ(granted_of(cache.find_stale(key_of(cache, "a in flight"), t0 + 3s)), true);
        EXPECT_EQ(granted_of(cache.find(key_of(cache, "a after"), t0 + 3s)), true);

        // Past every bound, with short-lived ones among them: eviction and
        // ended entries must leave the user index exact (ASan finds one that is not).
        for (std::size_t i = 0; i < 3 * cap; ++i) {
            Answer answer = decision(i % 3 ? 200 : 403);
            answer.max_age_s = i % 2 ? 1 : -1;
            cache.store(key_of(cache, "n" + std::to_string(i)), answer, t0 + 2min + i * 1ms, std::nullopt,
                        i % 2 ? a : b);
            EXPECT_LE(cache.size(), cap);
        }
        const std::size_t size = cache.size();
        const std::size_t of_a = cache.forget(a, false);
        EXPECT_GT(of_a, 0u);
        EXPECT_EQ(cache.size(), size - of_a);
        cache.forget(b, true);
        EXPECT_EQ(cache.forget_all(false), size - of_a);
        EXPECT_EQ(cache.size(), 0u);
    }
}

}  // namespace
