// Recent decisions while the endpoint gives none (http_cache_stale_ms): the
// cache alone with a clock of the test's making, and the loaded plug-in
// against an endpoint that fails on demand.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "capture.h"
#include "decision_cache.h"
#include "endpoint.h"
#include "plugin_fixture.h"
#include "timing.h"

using namespace std::chrono_literals;

namespace {

constexpr int OK = 0, AUTH_DENIED = 11;
using Clock = DecisionCache::Clock;

// The decision alone, where the rules do not matter.
std::optional<bool> granted_of(const std::optional<DecisionCache::Decision> &kept) {
    return kept ? std::optional<bool>(kept->granted) : std::nullopt;
}

// An answer as the endpoint would send it.
Answer answer(int status, const std::string &cache_control) {
    Answer a;
    a.attempted = true;
    a.transfer = CURLE_OK;
    for (const std::string &line : {"HTTP/1.1 " + std::to_string(status) + " X\r\n",
                                    "Cache-Control: " + cache_control + "\r\n", std::string("\r\n")})
        read_header_line(a, line.data(), line.size());
    a.status = status;
    return a;
}

DecisionCache::Digest key(const DecisionCache &cache, const std::string &body) {
    DecisionCache::Digest d{};
    EXPECT_TRUE(cache.digest("http://h/", body.data(), body.size(), d));
    return d;
}

const Clock::time_point t0 = Clock::time_point{} + 1h;

TEST(StaleCache, AKeptDecisionAnswersPastItsLifetimeOnlyWithinItsStaleBound) {
    DecisionCache cache(10000, 100, 60000);  // a lifetime of 10 s, a stale bound of 60 s
    struct Case {
        const char *cache_control;
        int status;
        Clock::duration at;                // after the answer arrived
        std::optional<bool> fresh, stale;  // what find and find_stale give then
    } cases[] = {
        {"", 200, 5s, true, true},
        {"", 200, 69s, {}, true},  // past its lifetime, within the bound
        {"", 403, 69s, {}, false},  // refusals too
        {"", 200, 71s, {}, {}},     // past the bound
        {"max-age=1", 200, 60s, {}, true},  // the bound counts from the end of the lifetime
        {"max-age=1", 200, 62s, {}, {}},
        {"stale-if-error=20", 200, 29s, {}, true},  // the endpoint's own bound
        {"stale-if-error=20", 200, 31s, {}, {}},
        {"stale-if-error=600", 200, 71s, {}, {}},  // never above the option
        {"stale-if-error=0", 200, 11s, {}, {}},
        {"must-revalidate", 200, 5s, true, true},
        {"must-revalidate", 200, 11s, {}, {}},
        {"Proxy-Revalidate", 200, 11s, {}, {}},
        {"no-store", 200, 5s, {}, {}},
        {"stale-if-error=soon", 200, 5s, {}, {}},  // what cannot be read keeps nothing
        {"", 503, 5s, {}, {}},                     // no decision
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " \"" + c.cache_control + "\" after " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(c.at).count()) + " s");
        const auto k = key(cache, std::to_string(n++));
        cache.store(k, answer(c.status, c.cache_control), t0);
        EXPECT_EQ(granted_of(cache.find(k, t0 + c.at)), c.fresh);
        EXPECT_EQ(granted_of(cache.find_stale(k, t0 + c.at)), c.stale);
    }
}

TEST(StaleCache, ANewDecisionReplacesTheKeptOneAndNoDecisionLeavesIt) {
    DecisionCache cache(10000, 100, 60000);
    const auto k = key(cache, "q");
    cache.store(k, answer(200, ""), t0);
    cache.store(k, answer(503, ""), t0 + 20s);
    EXPECT_EQ(granted_of(cache.find_stale(k, t0 + 20s)), true);
    cache.store(k, answer(403, "no-store"), t0 + 21s);  // not kept, yet the grant must not answer again
    EXPECT_EQ(granted_of(cache.find_stale(k, t0 + 21s)), std::nullopt);
    cache.store(k, answer(403, ""), t0 + 22s);
    EXPECT_EQ(granted_of(cache.find_stale(k, t0 + 40s)), false);
}

TEST(StaleCache, TheCapHoldsAndEntriesThatCanAnswerNothingMoreGo) {
    constexpr int cap = 50;
    DecisionCache cache(1000, cap, 60000);
    // Ten times the cap, one every 100 ms: most past their lifetime, all within the bound.
    for (int i = 0; i < 10 * cap; ++i) {
        cache.store(key(cache, std::to_string(i)), answer(200, i % 2 ? "stale-if-error=30" : ""), t0 + i * 100ms);
        ASSERT_LE(cache.size(), static_cast<std::size_t>(cap));
    }
    const auto last = t0 + (10 * cap - 1) * 100ms;
    for (int i = 9 * cap; i < 10 * cap; ++i) EXPECT_EQ(granted_of(cache.find_stale(key(cache, std::to_string(i)), last)), true);
    EXPECT_EQ(granted_of(cache.find_stale(key(cache, "0"), last)), std::nullopt);  // the oldest made room
    // Once none can answer any more, each store drops two of them.
    for (int i = 0; i < cap / 2; ++i) cache.store(key(cache, "new" + std::to_string(i)), answer(200, ""), last + 2min);
    EXPECT_EQ(cache.size(), static_cast<std::size_t>(cap / 2));
}

TEST(StaleOption, NeedsTheCacheAndMillisecondsUpToADay) {
    const Plugin &plugin = Plugin::get();
    struct Case {
        Options::Pairs pairs;
        int result;
        const char *says;
    } cases[] = {
        {{{"http_cache_stale_ms", "60000"}}, AUTH_PLUGIN_ERR_INVAL, "http_cache_stale_ms needs http_cache_ms"},
        {{{"http_cache_ms", "0"}, {"http_cache_stale_ms", "1"}}, AUTH_PLUGIN_ERR_INVAL, "needs http_cache_ms"},
        {{{"http_cache_ms", "1000"}, {"http_cache_stale_ms", "-1"}}, AUTH_PLUGIN_ERR_INVAL, "http_cache_stale_ms \"-1\""},
        {{{"http_cache_ms", "1000"}, {"http_cache_stale_ms", "86400001"}}, AUTH_PLUGIN_ERR_INVAL, "\"86400001\""},
        {{{"http_cache_ms", "1000"}, {"http_cache_stale_ms", "1h"}}, AUTH_PLUGIN_ERR_INVAL, "\"1h\""},
        {{{"http_cache_stale_ms", "0"}}, OK, "http_cache_stale_ms 0"},
        {{{"http_cache_ms", "1000"}, {"http_cache_stale_ms", "86400000"}}, OK, "http_cache_stale_ms 86400000"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.says);
        Options opts(c.pairs);
        Capture err(STDERR_FILENO);
        EXPECT_EQ(plugin.init(nullptr, opts.data(), opts.size()), c.result);
        const std::string line = err.text();
        EXPECT_NE(line.find(c.says), std::string::npos) << line;
        EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), OK);
    }
}

// The loaded plug-in: a lifetime of 1 ms, so that every decision is past it
// once the clock says so; no sleep decides a result.
class Stale : public PluginFixture {
protected:
    std::atomic<int> status{200};  // what the endpoint answers when it answers
    std::atomic<bool> down{false};  // the endpoint hangs, past the time-out
    Endpoint endpoint;

    int configure(const char *stale_ms) {
        down = false;
        endpoint.release();  // the last case's requests, long given up
        Options::Pairs pairs{{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")},
                             {"http_timeout_ms", std::to_string(scaled(250ms).count())},
                             {"http_cache_ms", "1"}, {"http_backoff_ms", "60000"}};
        if (stale_ms) pairs.emplace_back("http_cache_stale_ms", stale_ms);
        endpoint.decide([this](const Recorded &) {
            if (down) endpoint.hold();
            return status.load();
        });
        return PluginFixture::configure(std::move(pairs));
    }
    // Asks, and waits until what was answered is past its lifetime and this much more.
    int answered(const char *user, int with_status, Clock::duration more = {}) {
        status = with_status;
        const int result = unpwd(user, "pw");
        const auto past = Clock::now() + 1ms + more;
        wait_until([&] { return Clock::now() > past; });
        return result;
    }
    // Requests about this user; one the plug-in gave up on may be recorded late.
    std::size_t asked(const std::string &user) {
        std::size_t n = 0;
        for (const auto &r : endpoint.requests()) n += r.fields.count("username") && r.fields.at("username") == user;
        return n;
    }
};

TEST_P(Stale, ARecentDecisionAnswersWhenTheEndpointGivesNone) {
    enum class Failure { status_503, status_429, time_out, back_off };
    struct Case {
        const char *what;
        const char *stale_ms;       // http_cache_stale_ms; null: unset
        const char *cache_control;  // on the answer kept
        Failure failure;
        int result;  // for the question answered before
    } cases[] = {
        {"5xx", "3600000", "", Failure::status_503, OK},
        {"429", "3600000", "", Failure::status_429, OK},
        {"time-out", "3600000", "", Failure::time_out, OK},
        {"back-off", "3600000", "", Failure::back_off, OK},
        {"stale-if-error", "3600000", "stale-if-error=3600", Failure::status_503, OK},
        {"past the bound", "1", "", Failure::status_503, AUTH_DENIED},
        {"stale-if-error=0", "3600000", "stale-if-error=0", Failure::status_503, AUTH_DENIED},
        {"no-store", "3600000", "no-store", Failure::status_503, AUTH_DENIED},
        {"must-revalidate", "3600000", "must-revalidate", Failure::status_503, AUTH_DENIED},
        {"proxy-revalidate", "3600000", "proxy-revalidate", Failure::status_503, AUTH_DENIED},
        {"unset, 5xx", nullptr, "", Failure::status_503, AUTH_DENIED},
        {"unset, back-off", nullptr, "", Failure::back_off, AUTH_DENIED},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(configure(c.stale_ms), OK);
        // Names of this case's own: a request of an earlier case may be recorded late.
        const std::string suffix = std::to_string(n++), alice = "alice" + suffix, bob = "bob" + suffix,
                          carol = "carol" + suffix;
        endpoint.header("Cache-Control", c.cache_control);
        const bool tiny_bound = c.stale_ms && std::strcmp(c.stale_ms, "1") == 0;
        ASSERT_EQ(answered(alice.c_str(), 200, tiny_bound ? 1ms : 0ms), OK);
        endpoint.header("Cache-Control", "");
        Capture err(STDERR_FILENO);
        if (c.failure == Failure::status_503 || c.failure == Failure::status_429)
            status = c.failure == Failure::status_503 ? 503 : 429;
        else
            down = true;
        // A question never answered is refused; its time-out begins the back-off.
        if (c.failure == Failure::back_off) {
            EXPECT_EQ(unpwd(bob.c_str(), "pw"), AUTH_DENIED);
        }
        EXPECT_EQ(unpwd(alice.c_str(), "pw"), c.result);
        EXPECT_EQ(unpwd(carol.c_str(), "pw"), AUTH_DENIED);
        if (c.failure == Failure::back_off) {
            EXPECT_EQ(asked(alice), 1u);  // neither asked again
            EXPECT_EQ(asked(carol), 0u);
        }
        const std::string log = err.text();
        if (c.failure == Failure::back_off) {
            EXPECT_NE(log.find("no answer from"), std::string::npos) << log;
            EXPECT_EQ(log.find("recent decisions (up to 3600000 ms past their lifetime) are being served") !=
                          std::string::npos,
                      c.stale_ms != nullptr)
                << log;
        }
    }
}

TEST_P(Stale, TheNewestDecisionIsTheOneThatAnswersStale) {
    ASSERT_EQ(configure("3600000"), OK);
    ASSERT_EQ(answered("alice", 403), AUTH_DENIED);
    ASSERT_EQ(answered("alice", 200), OK);
    status = 503;
    EXPECT_EQ(unpwd("alice", "pw"), OK);  // the grant, not the older refusal
    endpoint.header("Cache-Control", "no-store");
    ASSERT_EQ(answered("alice", 403), AUTH_DENIED);  // not kept, but the grant is gone
    status = 503;
    EXPECT_EQ(unpwd("alice", "pw"), AUTH_DENIED);
    EXPECT_EQ(asked("alice"), 5u);
}

// Refusals cannot push grants out of a full cache: after a flood of wrong
// passwords, every client granted before still gets in through an outage.
TEST_P(Stale, AFloodOfWrongPasswordsLeavesTheGrantsThatCarryAnOutage) {
    ASSERT_EQ(PluginFixture::configure({{"http_user_uri", endpoint.url("/user")}, {"http_cache_ms", "3600000"},
                                        {"http_cache_entries", "100"}, {"http_cache_stale_ms", "3600000"}}),
              OK);
    endpoint.decide([this](const Recorded &r) { return r.fields.at("password") == "pw" ? status.load() : 401; });
    for (int i = 0; i < 50; ++i) ASSERT_EQ(unpwd(("user" + std::to_string(i)).c_str(), "pw"), OK);
    for (int i = 0; i < 500; ++i) ASSERT_EQ(unpwd("user0", ("wrong" + std::to_string(i)).c_str()), AUTH_DENIED);
    plugin.security_cleanup(nullptr, nullptr, 0, true);  // a reload: every decision asked again,
    plugin.security_init(nullptr, nullptr, 0, true);     // the endpoint now failing
    status = 503;
    for (int i = 0; i < 50; ++i) EXPECT_EQ(unpwd(("user" + std::to_string(i)).c_str(), "pw"), OK) << i;
}

INSTANTIATE_TEST_SUITE_P(Modes, Stale, ::testing::Values(false, true), connection_mode);

}  // namespace
