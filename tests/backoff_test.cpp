// Failing fast while an endpoint does not answer (http_backoff_ms): through
// the loaded plug-in against an endpoint that hangs on demand, and the
// back-off's own timing with a clock of the test's making.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "backoff.h"
#include "capture.h"
#include "endpoint.h"
#include "plugin_fixture.h"
#include "timing.h"

using namespace std::chrono_literals;

namespace {

constexpr int OK = 0, AUTH_DENIED = 11, ACL_DENIED = 12;

class BackoffTest : public PluginFixture {
protected:
    Endpoint endpoint;
    std::atomic<bool> user_hangs{false}, acl_hangs{false};
    std::atomic<int> status{200};
    // Each check that meets the hanging endpoint lasts this long: ample for an
    // exchange that is answered, short enough to sit through a few times.
    const std::chrono::milliseconds timeout = scaled(250ms);

    void SetUp() override {
        endpoint.decide([this](const Recorded &r) {
            if ((r.path == "/user" && user_hangs) || (r.path == "/acl" && acl_hangs)) endpoint.hold();
            return status.load();
        });
    }
    // Both URLs at the endpoint, the time-out, and these options.
    int configure(Options::Pairs extra) {
        Options::Pairs pairs{{"http_user_uri", endpoint.url("/user")},
                             {"http_acl_uri", endpoint.url("/acl")},
                             {"http_timeout_ms", std::to_string(timeout.count())}};
        pairs.insert(pairs.end(), extra.begin(), extra.end());
        return PluginFixture::configure(std::move(pairs));
    }
    int unpwd(const char *user = "alice", const char *pass = "pw") { return plugin.unpwd_check(nullptr, user, pass); }
    int acl(const char *topic = "t") { return plugin.acl_check(nullptr, "id", "alice", topic, 1); }
    // Requests to path, once at least `least` are recorded: a check that timed
    // out comes back without waiting for the endpoint to record its request.
    std::size_t asked(const char *path, std::size_t least = 0) {
        auto count = [&] {
            std::size_t n = 0;
            for (auto &r : endpoint.requests()) n += r.path == path;
            return n;
        };
        wait_until([&] { return count() >= least; });
        return count();
    }
};

TEST_P(BackoffTest, RefusesWithoutARequestUntilAnyAnswerEndsIt) {
    // User information in the URL must not reach the log.
    const std::string url = endpoint.url("/user");
    const std::string with_user = "http://operator:hunter2@" + url.substr(7);
    const auto backoff = scaled(300ms);
    ASSERT_EQ(configure({{"http_backoff_ms", std::to_string(backoff.count())}, {"http_user_uri", with_user}}), OK);
    Capture err(STDERR_FILENO);
    user_hangs = true;
    EXPECT_EQ(unpwd("alice", "s3cret"), AUTH_DENIED);  // timed out: the back-off begins
    const auto began = std::chrono::steady_clock::now();  // no earlier than the back-off did
    for (int i = 0; i < 20; ++i) EXPECT_EQ(unpwd("alice", "s3cret"), AUTH_DENIED);
    EXPECT_LT(std::chrono::steady_clock::now() - began, timeout);  // none waited for the time-out
    EXPECT_EQ(asked("/user", 1), 1u);

    std::this_thread::sleep_until(began + backoff);  // the back-off is over: the next check tries
    user_hangs = false;
    status = 403;
    EXPECT_EQ(unpwd("alice", "s3cret"), AUTH_DENIED);  // the one try: an answer, a refusal
    EXPECT_EQ(asked("/user", 2), 2u);
    status = 200;
    EXPECT_EQ(unpwd("alice", "s3cret"), OK);  // over: asked at once
    EXPECT_EQ(asked("/user", 3), 3u);

    const std::string log = err.text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_NE(log.find("no answer from " + url + " (Timeout was reached)"), std::string::npos) << log;
    EXPECT_NE(log.find(url + " answers again"), std::string::npos) << log;
    for (const char *secret : {"hunter2", "operator", "s3cret", "alice"}) EXPECT_EQ(log.find(secret), std::string::npos) << log;
}

// Which checks still ask, and what each comes to, while one endpoint hangs.
TEST_P(BackoffTest, DuringAnOutage) {
    using Checks = std::vector<std::pair<std::function<int()>, int>>;  // each check and its result
    const std::function<int()> user = [this] { return unpwd(); };
    auto topic = [this](const char *t) { return std::function<int()>([this, t] { return acl(t); }); };
    struct Case {
        const char *what;
        Options::Pairs options;
        Checks before;      // while both endpoints answer
        const char *hangs;  // then this one stops answering
        Checks during;
        std::size_t user_asked, acl_asked;  // requests in all
        int log_lines;
    } cases[] = {
        {"off: every check asks, even during an outage", {}, {}, "/user",
         {{user, AUTH_DENIED}, {user, AUTH_DENIED}, {user, AUTH_DENIED}}, 3, 0, 0},
        {"the two endpoints back off independently", {{"http_backoff_ms", "60000"}}, {}, "/acl",
         {{topic("t"), ACL_DENIED}, {topic("t"), ACL_DENIED}, {user, OK}, {user, OK}, {user, OK}}, 3, 1, 1},
        {"kept decisions go on answering", {{"http_backoff_ms", "60000"}, {"http_cache_ms", "60000"}},
         {{topic("kept"), OK}}, "/acl",
         {{topic("new"), ACL_DENIED}, {topic("kept"), OK}, {topic("other"), ACL_DENIED}}, 0, 2, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        user_hangs = acl_hangs = false;
        endpoint.release();  // the last case's requests, long given up
        ASSERT_EQ(configure(c.options), OK);
        endpoint.clear();
        for (const auto &[check, result] : c.before) EXPECT_EQ(check(), result);
        (std::string(c.hangs) == "/user" ? user_hangs : acl_hangs) = true;
        Capture err(STDERR_FILENO);
        for (const auto &[check, result] : c.during) EXPECT_EQ(check(), result);
        const std::string log = err.text();
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), c.log_lines) << log;
        EXPECT_EQ(log.empty(), c.log_lines == 0) << log;
        EXPECT_EQ(asked("/user", c.user_asked), c.user_asked);
        EXPECT_EQ(asked("/acl", c.acl_asked), c.acl_asked);
    }
}

TEST_P(BackoffTest, OnSeveralThreadsOneCheckAtATimeTriesAgain) {
    ASSERT_EQ(configure({{"http_backoff_ms", "1"}}), OK);
    user_hangs = true;
    Capture err(STDERR_FILENO);
    EXPECT_EQ(unpwd(), AUTH_DENIED);  // times out; the back-off begins, for a millisecond
    ASSERT_EQ(asked("/user", 1), 1u);
    // Four threads check at once: one of them tries again, and hangs; while
    // it does, every other check is refused without a request.
    std::atomic<bool> stop{false};
    std::atomic<int> granted{0}, checks{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            while (!stop) {
                if (unpwd() == OK) ++granted;
                ++checks;
            }
        });
    const std::size_t trying = asked("/user", 2);
    const int seen = checks;
    const bool refused = wait_until([&] { return checks >= seen + 100; });
    stop = true;
    for (auto &t : threads) t.join();
    EXPECT_EQ(trying, 2u);
    EXPECT_TRUE(refused);
    EXPECT_EQ(granted.load(), 0);
    EXPECT_EQ(asked("/user"), 2u);  // the one try, no other while it hung
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
