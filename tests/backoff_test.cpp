// Failing fast while an endpoint does not answer (http_backoff_ms): through
// the loaded plug-in against an endpoint that hangs on demand, and the
// back-off's own timing with a clock of the test's making.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "backoff.h"
#include "capture.h"
#include "endpoint.h"
#include "plugin_fixture.h"
#include "rare_line.h"
#include "timing.h"

using namespace std::chrono_literals;

#include "failing_allocations.h"

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
    EXPECT_NE(log.find(endpoint.url("") + " answers again; checks to /user are asked again"), std::string::npos) << log;
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
        {"off: every check asks, even during an outage, and its first failure is told", {}, {}, "/user",
         {{user, AUTH_DENIED}, {user, AUTH_DENIED}, {user, AUTH_DENIED}}, 3, 0, 1},
        {"one URL's failure refuses only its checks, and an answer from its host ends that",
         {{"http_backoff_ms", "60000"}}, {}, "/acl",
         {{topic("t"), ACL_DENIED}, {topic("t"), ACL_DENIED}, {user, OK}, {user, OK}, {user, OK}}, 3, 1, 2},
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

// The host stops answering, both URLs back off, and it comes back: the login
// that finds it answering ends the access checks' back-off too.
TEST_P(BackoffTest, AnAnswerToALoginEndsTheAccessChecksBackoff) {
    ASSERT_EQ(configure({{"http_backoff_ms", std::to_string(scaled(300ms).count())}}), OK);
    Capture err(STDERR_FILENO);
    user_hangs = acl_hangs = true;
    EXPECT_EQ(unpwd(), AUTH_DENIED);
    EXPECT_EQ(acl(), ACL_DENIED);  // failed last: its back-off lasts longest
    user_hangs = acl_hangs = false;
    endpoint.release();
    EXPECT_TRUE(wait_until([&] { return unpwd() == OK; }));  // the first login let through once /user's wait is over
    EXPECT_EQ(acl(), OK);                                    // asked at once
    EXPECT_EQ(asked("/acl", 2), 2u);
    const std::string log = err.text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_NE(log.find(endpoint.url("") + " answers again; checks to /user and /acl are asked again\n"),
              std::string::npos)
        << log;
}

INSTANTIATE_TEST_SUITE_P(Modes, BackoffTest, ::testing::Values(false, true), connection_mode);

using Turn = Backoff::Turn;

Answer no_answer() {
    Answer a;
    a.attempted = true;
    a.transfer = CURLE_COULDNT_CONNECT;
    return a;
}
Answer http_answer() {
    Answer a;
    a.attempted = a.headers_ended = true;
    a.transfer = CURLE_OK;
    a.status = 503;  // any answer ends a back-off
    return a;
}

// The back-off's timing, with a clock the test moves.
TEST(BackoffAlone, WaitsDoubleUpToTheCapAndOneTrialAtATime) {
    const Answer none = no_answer(), answer = http_answer();
    const Answer unsent;  // failed before a request: says nothing

    Capture err(STDERR_FILENO);
    Backoff b(1000, {"http://h/acl"});
    auto t = Backoff::Clock::time_point{} + 1h;
    ASSERT_EQ(b.turn(0, t), Turn::ask);
    b.record(0, Turn::ask, none, t);
    b.record(0, Turn::ask, none, t);  // a check already under way when it began: no doubling
    std::vector<long> waits;
    for (int i = 0; i < 9; ++i) {
        waits.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(b.wait(0)).count());
        const auto due = t + b.wait(0);
        EXPECT_EQ(b.turn(0, due - 1ms), Turn::refuse);
        ASSERT_EQ(b.turn(0, due), Turn::trial);
        EXPECT_EQ(b.turn(0, due), Turn::refuse);  // one try at a time
        t = due;
        b.record(0, Turn::trial, none, t);
    }
    EXPECT_EQ(waits, (std::vector<long>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));

    // A try that never sent its request leaves the next check to try.
    t += b.wait(0);
    ASSERT_EQ(b.turn(0, t), Turn::trial);
    b.record(0, Turn::trial, unsent, t);
    ASSERT_EQ(b.turn(0, t), Turn::trial);
    b.record(0, Turn::trial, answer, t);
    EXPECT_EQ(b.wait(0), Backoff::Clock::duration::zero());
    EXPECT_EQ(b.turn(0, t), Turn::ask);
    b.record(0, Turn::ask, none, t);
    EXPECT_EQ(b.wait(0), std::chrono::milliseconds(1000));  // starts again from the first wait

    // A wait longer than the usual cap is its own cap.
    Backoff longer(120000, {"http://h/"});
    longer.record(0, Turn::ask, none, t);
    ASSERT_EQ(longer.turn(0, t + 120s), Turn::trial);
    longer.record(0, Turn::trial, none, t + 120s);
    EXPECT_EQ(longer.wait(0), std::chrono::milliseconds(120000));
    const std::string log = err.text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
}

// Without a wait it only tells: each outage's start and end, at most one
// outage of a URL every ten seconds, a flapping endpoint's counted.
TEST(BackoffAlone, WithoutAWaitAnOutageIsStillTold) {
    const Answer none = no_answer(), answer = http_answer();
    Capture err(STDERR_FILENO);
    Backoff b(0, {"http://h/user"});
    const auto t = Backoff::Clock::time_point{} + 1h;
    const struct {
        Backoff::Clock::duration at;
        bool answered;
        const char *line;  // the line it prints, if any
    } steps[] = {
        {0s, false, "auth_plugin: no answer from http://h/user (Couldn't connect to server); its checks are refused "
                    "until it answers again\n"},
        {1s, false, ""},
        {2s, true, "auth_plugin: http://h:80 answers again; checks to /user are asked again\n"},
        {3s, false, ""},  // within ten seconds of the last line
        {4s, true, ""},   // the end of an outage not told
        {12s, false, "auth_plugin: no answer from http://h/user (Couldn't connect to server); its checks are refused "
                     "until it answers again (1 more since the last line)\n"},
    };
    std::string expected;
    for (const auto &s : steps) {
        EXPECT_EQ(b.turn(0, t + s.at), Turn::ask);
        b.record(0, Turn::ask, s.answered ? answer : none, t + s.at);
        expected += s.line;
    }
    EXPECT_EQ(b.wait(0), Backoff::Clock::duration::zero());
    EXPECT_EQ(err.text(), expected);
}

// An answer ends the back-off of every URL at its origin, and says so in one line.
TEST(BackoffAlone, AnAnswerEndsEveryBackoffAtItsOrigin) {
    const Answer none = no_answer(), answer = http_answer();
    struct Case {
        const char *user, *acl, *unix_socket;
        bool user_failed;  // /user backs off too (/acl always does)
        bool acl_ended;    // by the answer to /user
        const char *line;  // the one it prints, if any
    } cases[] = {
        {"http://h:80/user", "http://h/acl", "", true, true,
         "auth_plugin: http://h:80 answers again; checks to /user and /acl are asked again"},
        {"http://U:pw@H/user?k=v", "http://h/acl?key=secret", "", false, true,
         "auth_plugin: http://h:80 answers again; checks to /acl are asked again"},
        {"http://h/user", "http://h:81/acl", "", true, false,
         "auth_plugin: http://h:80 answers again; checks to /user are asked again"},
        {"https://h/user", "http://h:443/acl", "", true, false,
         "auth_plugin: https://h:443 answers again; checks to /user are asked again"},
        {"http://a/user", "https://b:81/acl", "/run/auth.sock", true, true,
         "auth_plugin: /run/auth.sock answers again; checks to /user and /acl are asked again"},
        {"http://h/user", "http://h:81/acl", "", false, false, nullptr},  // nothing at its origin to end
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.user) + " " + c.acl + " " + c.unix_socket);
        Capture err(STDERR_FILENO);
        Backoff b(1000, {c.user, c.acl}, c.unix_socket);
        const auto t = Backoff::Clock::time_point{} + 1h;
        if (c.user_failed) b.record(0, Turn::ask, none, t);
        EXPECT_EQ(b.turn(1, t), Turn::ask);  // one URL's failure does not refuse the other's checks
        b.record(1, Turn::ask, none, t + 500ms);
        const Turn user = b.turn(0, t + 1s);
        ASSERT_EQ(user, c.user_failed ? Turn::trial : Turn::ask);
        b.record(0, user, answer, t + 1s);
        EXPECT_EQ(b.wait(0), Backoff::Clock::duration::zero());
        EXPECT_EQ(b.turn(1, t + 1s), c.acl_ended ? Turn::ask : Turn::refuse);

        const std::string log = err.text();
        std::vector<std::string> again;
        for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
            if (log.find(" answers again;", at) < end) again.push_back(log.substr(at, end - at));
        EXPECT_EQ(again, c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{}) << log;
    }
}

// Out of memory while a line is put together loses the line, never the
// change of state, and never the broker (an exception out of a noexcept
// function would end it). Each allocation fails in turn.
TEST(BackoffAlone, OutOfMemoryLosesOnlyTheLine) {
    if (!FAILING_ALLOCATIONS) GTEST_SKIP() << "allocations cannot be made to fail in this build";
    const Answer none = no_answer(), answer = http_answer();
    const auto t = Backoff::Clock::time_point{} + 1h;
    Capture err(STDERR_FILENO);
    bool failed = true;
    for (long n = 0; failed && n < 1000; ++n) {
        SCOPED_TRACE(n);
        Backoff b(1000, {"http://h/user", "http://h/acl"});
        allocation_failed = false;
        allocations_to_failure = n;
        b.record(0, Turn::ask, none, t);
        b.record(1, Turn::ask, none, t);
        const auto began = b.wait(1);
        const Turn trial = b.turn(0, t + 1s);
        b.record(0, trial, answer, t + 1s);
        allocations_to_failure = -1;
        failed = allocation_failed;
        EXPECT_EQ(began, 1000ms);
        EXPECT_EQ(trial, Turn::trial);
        EXPECT_EQ(b.wait(0) + b.wait(1), Backoff::Clock::duration::zero());
    }
    EXPECT_FALSE(failed);  // the last run went through whole
}

// A line a flood could repeat: once per interval, counting what went unsaid.
TEST(RareLineTest, SaidOncePerIntervalWithTheCountOfTheRest) {
    RareLine line;
    const RareLine::Clock::time_point t0{std::chrono::hours(1)};
    const struct {
        int at_s;
        bool said;
        std::size_t unsaid;
    } steps[] = {{0, true, 0}, {1, false, 0}, {9, false, 0}, {10, true, 2}, {19, false, 0}, {25, true, 1}, {40, true, 0}};
    for (const auto &step : steps) {
        std::size_t unsaid = 99;
        EXPECT_EQ(line.due(t0 + std::chrono::seconds(step.at_s), unsaid), step.said) << step.at_s;
        if (step.said) {
            EXPECT_EQ(unsaid, step.unsaid) << step.at_s;
        }
    }
}

}  // namespace
