// Failing fast while an endpoint does not answer (http_backoff_ms): through
// the loaded plug-in against an endpoint that hangs on demand, and the
// back-off's own timing with a clock of the test's making.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "backoff.h"
#include "capture.h"
#include "endpoint.h"
#include "plugin_fixture.h"

using namespace std::chrono_literals;

namespace {

constexpr int OK = 0, AUTH_DENIED = 11, ACL_DENIED = 12;

class BackoffTest : public PluginFixture {
protected:
    Endpoint endpoint;
    std::atomic<bool> user_hangs{false}, acl_hangs{false};
    std::atomic<int> status{200};

    void SetUp() override {
        endpoint.decide([this](const Recorded &r) {
            if ((r.path == "/user" && user_hangs) || (r.path == "/acl" && acl_hangs))
                std::this_thread::sleep_for(300ms);  // past the time-out
            return status.load();
        });
    }
    // Both URLs at the endpoint, a short time-out, and these options.
    int configure(Options::Pairs extra) {
        Options::Pairs pairs{{"http_user_uri", endpoint.url("/user")},
                             {"http_acl_uri", endpoint.url("/acl")},
                             {"http_timeout_ms", "100"}};
        pairs.insert(pairs.end(), extra.begin(), extra.end());
        return PluginFixture::configure(std::move(pairs));
    }
    int unpwd(const char *user = "alice", const char *pass = "pw") { return plugin.unpwd_check(nullptr, user, pass); }
    int acl(const char *topic = "t") { return plugin.acl_check(nullptr, "id", "alice", topic, 1); }
    std::size_t asked(const char *path) {
        std::size_t n = 0;
        for (auto &r : endpoint.requests()) n += r.path == path;
        return n;
    }
};

TEST_P(BackoffTest, RefusesWithoutARequestUntilAnyAnswerEndsIt) {
    // User information in the URL must not reach the log.
    const std::string url = endpoint.url("/user");
    const std::string with_user = "http://operator:hunter2@" + url.substr(7);
    ASSERT_EQ(configure({{"http_backoff_ms", "300"}, {"http_user_uri", with_user}}), OK);
    Capture err(STDERR_FILENO);
    user_hangs = true;
    EXPECT_EQ(unpwd("alice", "s3cret"), AUTH_DENIED);  // timed out: the back-off begins
    ASSERT_EQ(asked("/user"), 1u);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(unpwd("alice", "s3cret"), AUTH_DENIED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 90ms);  // none waited for the time-out
    EXPECT_EQ(asked("/user"), 1u);
    EXPECT_EQ(acl(), OK);  // the other endpoint is not backing off

    std::this_thread::sleep_for(350ms);
    user_hangs = false;
    status = 403;
    EXPECT_EQ(unpwd("alice", "s3cret"), AUTH_DENIED);  // the one try: an answer, a refusal
    EXPECT_EQ(asked("/user"), 2u);
    status = 200;
    EXPECT_EQ(unpwd("alice", "s3cret"), OK);  // over: asked at once
    EXPECT_EQ(asked("/user"), 3u);

    const std::string log = err.text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find("no answer from " + url + " (Timeout was reached)"), std::string::npos) << log;
    EXPECT_NE(log.find(url + " answers again"), std::string::npos) << log;
    for (const char *secret : {"hunter2", "operator", "s3cret", "alice"}) EXPECT_EQ(log.find(secret), std::string::npos) << log;
}

TEST_P(BackoffTest, TheTwoEndpointsBackOffIndependently) {
    ASSERT_EQ(configure({{"http_backoff_ms", "60000"}}), OK);
    acl_hangs = true;
    Capture err(STDERR_FILENO);
    EXPECT_EQ(acl(), ACL_DENIED);
    EXPECT_EQ(acl(), ACL_DENIED);
    EXPECT_EQ(asked("/acl"), 1u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(unpwd(), OK);
    EXPECT_EQ(asked("/user"), 3u);
    err.text();
}

TEST_P(BackoffTest, KeptDecisionsGoOnAnsweringDuringTheOutage) {
    ASSERT_EQ(configure({{"http_backoff_ms", "60000"}, {"http_cache_ms", "60000"}}), OK);
    EXPECT_EQ(acl("kept"), OK);
    acl_hangs = true;
    Capture err(STDERR_FILENO);
    EXPECT_EQ(acl("new"), ACL_DENIED);  // times out; the back-off begins
    EXPECT_EQ(acl("kept"), OK);         // from the cache
    EXPECT_EQ(acl("other"), ACL_DENIED);
    EXPECT_EQ(asked("/acl"), 2u);
    err.text();
}

TEST_P(BackoffTest, OffEveryCheckAsksEvenDuringAnOutage) {
    ASSERT_EQ(configure({}), OK);
    user_hangs = true;
    Capture err(STDERR_FILENO);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(unpwd(), AUTH_DENIED);
    EXPECT_EQ(asked("/user"), 3u);
    EXPECT_EQ(err.text(), "");
}

TEST_P(BackoffTest, OnSeveralThreadsOneCheckAtATimeTriesAgain) {
    ASSERT_EQ(configure({{"http_backoff_ms", "50"}}), OK);
    user_hangs = true;
    Capture err(STDERR_FILENO);
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    const auto until = std::chrono::steady_clock::now() + 600ms;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            while (std::chrono::steady_clock::now() < until) {
                if (unpwd() == OK) ++granted;
                std::this_thread::sleep_for(1ms);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(granted.load(), 0);
    // Tries at 0, then after 50, 100, 200 ms (each plus a 100 ms time-out):
    // a handful, where four threads asking freely would have made dozens.
    EXPECT_GE(asked("/user"), 2u);
    EXPECT_LE(asked("/user"), 6u);
    err.text();
}

INSTANTIATE_TEST_SUITE_P(Modes, BackoffTest, ::testing::Values(false, true), connection_mode);

// The back-off's timing, with a clock the test moves.
TEST(BackoffAlone, WaitsDoubleUpToTheCapAndOneTrialAtATime) {
    using Turn = Backoff::Turn;
    Answer none, answer;
    none.attempted = true;
    none.transfer = CURLE_COULDNT_CONNECT;
    answer.attempted = answer.headers_ended = true;
    answer.transfer = CURLE_OK;
    answer.status = 503;  // any answer ends it
    Answer unsent;        // failed before a request: says nothing

    Capture err(STDERR_FILENO);
    Backoff b(1000, "http://h/acl");
    auto t = Backoff::Clock::time_point{} + 1h;
    ASSERT_EQ(b.turn(t), Turn::ask);
    b.record(Turn::ask, none, t);
    std::vector<long> waits;
    for (int i = 0; i < 9; ++i) {
        waits.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(b.wait()).count());
        const auto due = t + b.wait();
        EXPECT_EQ(b.turn(due - 1ms), Turn::refuse);
        ASSERT_EQ(b.turn(due), Turn::trial);
        EXPECT_EQ(b.turn(due), Turn::refuse);  // one try at a time
        t = due;
        b.record(Turn::trial, none, t);
    }
    EXPECT_EQ(waits, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));

    // A try that never sent its request leaves the next check to try.
    t += b.wait();
    ASSERT_EQ(b.turn(t), Turn::trial);
    b.record(Turn::trial, unsent, t);
    ASSERT_EQ(b.turn(t), Turn::trial);
    b.record(Turn::trial, answer, t);
    EXPECT_EQ(b.wait(), Backoff::Clock::duration::zero());
    EXPECT_EQ(b.turn(t), Turn::ask);
    b.record(Turn::ask, none, t);
    EXPECT_EQ(b.wait(), std::chrono::milliseconds(1000));  // starts again from the first wait

    // A wait longer than the usual cap is its own cap.
    Backoff longer(120000, "http://h/");
    longer.record(Turn::ask, none, t);
    ASSERT_EQ(longer.turn(t + 120s), Turn::trial);
    longer.record(Turn::trial, none, t + 120s);
    EXPECT_EQ(longer.wait(), std::chrono::milliseconds(120000));
    const std::string log = err.text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
}

}  // namespace
