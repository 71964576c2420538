// Many exchanges at once through libcurl's multi interface: bounded, each
// answered exactly once, and nothing left behind when abandoned.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "concurrent_exchanges.h"
#include "deadline_queue.h"
#include "endpoint_pace.h"
#include "endpoint.h"
#include "timing.h"

using namespace std::chrono_literals;

// Counts the easy handles made in this process: this executable's definition
// comes first in the global symbol scope, so every call lands here.
std::atomic<int> handles_made{0};
extern "C" CURL *curl_easy_init(void) {
    static const auto real = reinterpret_cast<CURL *(*)()>(dlsym(RTLD_NEXT, "curl_easy_init"));
    ++handles_made;
    return real();
}

namespace {

// An endpoint whose answers wait until the test opens the gate, counting how
// many requests it holds at once.
class GatedEndpoint {
    std::mutex m_;
    std::condition_variable changed_;
    bool open_ = false;
    int held_ = 0, most_ = 0, first_ = 0, limited_ = 0;

public:
    // Declared after what its handlers use: it stops (and waits for them) first.
    Endpoint endpoint;
    GatedEndpoint() {
        endpoint.decide([this](const Recorded &r) {
            std::unique_lock<std::mutex> lock(m_);
            if (r.fields.at("username") == "quick") return 200;
            // A user the endpoint limits: 429 at once, then held as the rest.
            if (r.fields.at("username") == "limited" && limited_++ == 0) return 429;
            if (r.fields.at("username") == "first") {
                // Answered once both are in: the endpoint has answered while the floor was busy.
                ++first_;
                changed_.notify_all();
                changed_.wait_for(lock, 10s, [this] { return open_ || first_ >= EndpointPace::floor_limit; });
                return 200;
            }
            ++held_;
            most_ = std::max(most_, held_);
            changed_.notify_all();
            changed_.wait_for(lock, 30s, [this] { return open_; });
            --held_;
            return r.fields.at("username") == "refused" ? 403 : 200;
        });
    }
    ~GatedEndpoint() { open(); }
    void open() {
        std::lock_guard<std::mutex> lock(m_);
        open_ = true;
        changed_.notify_all();
    }
    // Waits (bounded) until n requests are held at once.
    bool holding(int n) {
        std::unique_lock<std::mutex> lock(m_);
        return changed_.wait_for(lock, 10s, [&] { return held_ >= n; });
    }
    int most() {
        std::lock_guard<std::mutex> lock(m_);
        return most_;
    }
};

// What came back for each submission, by number (its token).
struct Results {
    std::map<int, std::vector<Answer>> by_id;
    ConcurrentExchanges *from = nullptr;  // the exchanges submitted to last
    void take() {
        if (!from) return;
        for (const auto &[token, answer] : from->take()) by_id[static_cast<int>(token)].push_back(answer);
    }
    bool wait_for(std::size_t n) {
        return wait_until([&] {
            take();
            return by_id.size() >= n;
        });
    }
};

Buffer body(const std::string &user) {
    std::size_t length = 0;
    const Field fields[] = {{"username", user.c_str()}, {"password", "p"}};
    return form_body(fields, 2, length);
}

struct Concurrent : ::testing::Test {
    GatedEndpoint gated;
    Settings settings;
    const std::string url = gated.endpoint.url("/user");
    Results results;
    void submit(ConcurrentExchanges &exchanges, int id, const std::string &user,
                std::optional<ConcurrentExchanges::Clock::time_point> deadline = std::nullopt,
                ConcurrentExchanges::Wanted wanted = nullptr, ConcurrentExchanges::Who who = {}) {
        Request r;
        r.fixed_url = &url;
        r.body = body(user);
        r.length = std::strlen(r.body.get());
        results.from = &exchanges;
        ASSERT_TRUE(exchanges.submit(static_cast<unsigned long>(id), std::move(r), deadline, std::move(wanted), false, who));
    }
    // The floor's worth answered together (numbers -1, -2): until then only the floor is asked.
    void first_answer(ConcurrentExchanges &exchanges) {
        for (int id = -1; id >= -EndpointPace::floor_limit; --id) submit(exchanges, id, "first");
        ASSERT_TRUE(results.wait_for(static_cast<std::size_t>(EndpointPace::floor_limit)));
    }
    std::vector<Answer> answers(int id) {
        results.take();
        return results.by_id[id];
    }
};

TEST_F(Concurrent, AtMostMaxInFlightRunTheRestWaitAndEachIsAnsweredOnce) {
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 4);
    first_answer(exchanges);
    for (int i = 0; i < 20; ++i) submit(exchanges, i, i % 2 ? "refused" : "granted");
    ASSERT_TRUE(gated.holding(4));
    EXPECT_EQ(exchanges.waiting(), 16u);
    gated.open();
    ASSERT_TRUE(results.wait_for(20 + EndpointPace::floor_limit));
    EXPECT_EQ(gated.most(), 4);
    EXPECT_EQ(gated.endpoint.requests().size(), 20u + EndpointPace::floor_limit);
    results.take();  // nothing more: each is answered once
    for (int id = -1; id >= -EndpointPace::floor_limit; --id) results.by_id.erase(id);
    for (auto &[id, answers] : results.by_id) {
        ASSERT_EQ(answers.size(), 1u) << id;
        EXPECT_EQ(answers[0].outcome(), id % 2 ? Outcome::refused : Outcome::granted) << id;
    }
}

// Abandoned: what waits is never sent, and nothing is left behind (the
// sanitizer builds see every handle and exchange freed).
TEST_F(Concurrent, AbandonedExchangesAreNeverSentAndNothingIsLeft) {
    HttpClient client(settings);
    {
        ConcurrentExchanges exchanges(client, 2);
        for (int i = 0; i < 5; ++i) submit(exchanges, i, "granted");
        ASSERT_TRUE(gated.holding(2));
        EXPECT_TRUE(exchanges.take().empty());
        results.from = nullptr;
    }  // two running, three waiting
    gated.open();
    EXPECT_EQ(gated.endpoint.wait_for_requests(2).size(), 2u);
    EXPECT_EQ(gated.endpoint.requests().size(), 2u);
}

// Someone waits for an exchange with a deadline: past it, it is not asked,
// and one asked gets only the time left. One no longer wanted is not asked.
TEST_F(Concurrent, WhatWaitsPastItsDeadlineOrIsNoLongerWantedIsNeverAsked) {
    using Clock = ConcurrentExchanges::Clock;
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 1);
    auto unwanted = std::make_shared<std::atomic<bool>>(true);
    submit(exchanges, 0, "granted");  // holds the only place
    ASSERT_TRUE(gated.holding(1));
    submit(exchanges, 1, "granted", Clock::now() + 50ms);  // its time runs out while it waits
    submit(exchanges, 2, "granted", std::nullopt, unwanted);
    submit(exchanges, 3, "granted", Clock::now() + 60s);
    ASSERT_TRUE(wait_until([&] { return !answers(1).empty(); }));  // ended without waiting for the first
    EXPECT_TRUE(answers(0).empty());
    unwanted->store(false);
    gated.open();
    ASSERT_TRUE(results.wait_for(4));
    EXPECT_EQ(answers(1).at(0).outcome(), Outcome::not_sent);
    EXPECT_EQ(answers(2).at(0).outcome(), Outcome::not_sent);
    EXPECT_EQ(answers(3).at(0).outcome(), Outcome::granted);
    EXPECT_EQ(gated.endpoint.requests().size(), 2u);  // the first and the last only
}

// Until the endpoint answers, only the floor is asked: the rest wait for a
// place, in sight of the stats.
TEST_F(Concurrent, UntilTheEndpointAnswersOnlyTheFloorIsAskedEachIsAnsweredOnce) {
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 64);
    for (int i = 0; i < 40; ++i) submit(exchanges, i, "granted", ConcurrentExchanges::Clock::now() + 60s);
    // Nothing is answered while the gate is shut: the rest stay waiting.
    ASSERT_TRUE(wait_until([&] { return exchanges.waiting() == 40u - EndpointPace::floor_limit; }));
    EXPECT_EQ(exchanges.limit(), EndpointPace::floor_limit);
    gated.open();
    ASSERT_TRUE(results.wait_for(40));
    EXPECT_EQ(gated.endpoint.requests().size(), 40u);
    results.take();
    for (auto &[id, answers] : results.by_id) EXPECT_EQ(answers.size(), 1u) << id;
}

// While the endpoint hangs, once its exchanges have timed out, it is asked
// only the floor at once.
TEST_F(Concurrent, AfterTimeOutsAHungEndpointGetsOnlyTheFloor) {
    using Clock = ConcurrentExchanges::Clock;
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 64);
    for (int i = 0; i < 40; ++i) submit(exchanges, i, "granted", Clock::now() + 300ms);
    ASSERT_TRUE(results.wait_for(40));  // the first round timed out, the rest were too late
    EXPECT_EQ(exchanges.limit(), EndpointPace::floor_limit);
    for (int i = 40; i < 50; ++i) submit(exchanges, i, "granted", Clock::now() + 60s);
    ASSERT_TRUE(wait_until([&] { return exchanges.waiting() == 10u - EndpointPace::floor_limit; }));
    // A hung endpoint never opened a first round: the floor was asked, then
    // at most the floor's worth as those ended; the others were too late.
    std::size_t late = 0;
    for (int i = 0; i < 40; ++i) late += results.by_id[i].at(0).late;
    EXPECT_GE(late, 40u - 2 * EndpointPace::floor_limit);
}

// An exchange left less time than the endpoint's answers have been taking
// is never asked. One at a time: the first is held while the second waits
// past half its time, so that its answer (at least 600 ms, a lower bound
// whatever the machine's speed) leaves the second too little.
TEST_F(Concurrent, AnExchangeWithLessTimeLeftThanTheEndpointNeedsIsNeverAsked) {
    using Clock = ConcurrentExchanges::Clock;
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 1);
    submit(exchanges, 0, "granted");
    ASSERT_TRUE(gated.holding(1));
    const auto queued = Clock::now();
    submit(exchanges, 1, "granted", queued + 1000ms);
    submit(exchanges, 2, "granted", queued + 60s);
    std::this_thread::sleep_until(queued + 600ms);
    gated.open();
    ASSERT_TRUE(results.wait_for(3));
    EXPECT_TRUE(answers(1).at(0).late);
    EXPECT_EQ(answers(1).at(0).outcome(), Outcome::not_sent);
    EXPECT_EQ(answers(2).at(0).outcome(), Outcome::granted);
    EXPECT_EQ(gated.endpoint.requests().size(), 2u);
}

// A user the endpoint answered 429 runs one exchange at a time, from a
// share of the limit: its hung logins keep nobody else waiting.
TEST_F(Concurrent, ASlowUsersLoginsRunOneAtATimeAndKeepNobodyWaiting) {
    const auto later = ConcurrentExchanges::Clock::now() + 60s;
    const ConcurrentExchanges::Who limited{7, 1}, other{8, 1};  // behind the same address
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 8);
    first_answer(exchanges);
    submit(exchanges, 0, "limited", later, nullptr, limited);
    ASSERT_TRUE(results.wait_for(1 + EndpointPace::floor_limit));
    ASSERT_EQ(answers(0).at(0).status, 429);
    for (int i = 1; i <= 8; ++i) submit(exchanges, i, "limited", later, nullptr, limited);
    ASSERT_TRUE(gated.holding(1));
    submit(exchanges, 100, "quick", later, nullptr, other);
    EXPECT_TRUE(wait_until([&] { return !answers(100).empty(); }, 10s)) << "waited behind the limited user";
    EXPECT_EQ(gated.most(), 1);
    gated.open();
    EXPECT_TRUE(results.wait_for(10 + EndpointPace::floor_limit));
}

// The floor's places held by requests the endpoint will never answer: once
// they are far past the ordinary time, one more is asked, and its answer
// shows the endpoint answering again.
TEST_F(Concurrent, RequestsHeldForGoodDoNotHoldTheFloorsPlaces) {
    const auto later = ConcurrentExchanges::Clock::now() + 60s;
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 64);
    submit(exchanges, 0, "quick", later);  // the ordinary time
    ASSERT_TRUE(results.wait_for(1));
    for (int i = 1; i <= EndpointPace::floor_limit; ++i) submit(exchanges, i, "granted", later);
    ASSERT_TRUE(gated.holding(EndpointPace::floor_limit));
    submit(exchanges, 100, "quick", later);
    EXPECT_TRUE(wait_until([&] { return !answers(100).empty(); }, 10s)) << "waited for the held ones";
    gated.open();
    EXPECT_TRUE(results.wait_for(2 + EndpointPace::floor_limit));
}

TEST_F(Concurrent, EachExchangeKeepsItsTimeOutAndKeptConnectionsServeTheNext) {
    settings.http_timeout_ms = 300;
    settings.http_keepalive = true;
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 8);
    for (int i = 0; i < 3; ++i) submit(exchanges, i, "granted");  // held past the time-out
    ASSERT_TRUE(results.wait_for(3));
    gated.open();
    for (auto &[id, answers] : results.by_id) EXPECT_EQ(answers[0].transfer, CURLE_OPERATION_TIMEDOUT) << id;
    results.by_id.clear();
    gated.endpoint.clear();
    for (int round = 0; round < 3; ++round) {
        submit(exchanges, round, "granted");
        ASSERT_TRUE(results.wait_for(static_cast<std::size_t>(round) + 1));
    }
    const auto requests = gated.endpoint.wait_for_requests(3);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].client_port, requests[0].client_port);  // one kept connection, in turn
    EXPECT_EQ(requests[2].client_port, requests[0].client_port);
}

TEST_F(Concurrent, EasyHandlesServeOneExchangeAfterAnotherConnectionsKeptOrClosedAsBefore) {
    gated.open();
    for (const bool keepalive : {false, true}) {
        SCOPED_TRACE(keepalive ? "http_keepalive" : "default");
        settings.http_keepalive = keepalive;
        HttpClient client(settings);
        constexpr int in_flight = 4, n = 24;
        ConcurrentExchanges exchanges(client, in_flight);
        gated.endpoint.clear();
        results.by_id.clear();
        const int made = handles_made;
        for (int i = 0; i < n; ++i) submit(exchanges, i, "granted");
        ASSERT_TRUE(results.wait_for(n));
        for (auto &[id, answers] : results.by_id) EXPECT_EQ(answers.at(0).status, 200) << id;
        EXPECT_LE(handles_made - made, in_flight);
        // Each handle's options are its exchange's alone: without keep-alive
        // every exchange still has a connection of its own.
        std::set<int> ports;
        for (const auto &r : gated.endpoint.wait_for_requests(n)) ports.insert(r.client_port);
        if (keepalive) EXPECT_LE(ports.size(), static_cast<std::size_t>(in_flight));
        else EXPECT_EQ(ports.size(), static_cast<std::size_t>(n));
    }
}

}  // namespace

namespace {

// The limit and the time needed, on a test clock: each exchange is given by
// when it started and ended, in milliseconds from t0.
struct PaceOn {
    EndpointPace pace;
    EndpointPace::Clock::time_point t0{};
    explicit PaceOn(long ceiling) : pace(ceiling) {}
    void end(int from_ms, int to_ms, long running, Outcome outcome = Outcome::granted, long status = 200,
             bool timed_out = false, int given_ms = 0, int needed_ms = 0, std::uint64_t user = 0,
             bool slow_user = false) {
        EndpointPace::Ended e;
        e.user = user;
        e.slow_user = slow_user;
        e.outcome = outcome;
        e.status = status;
        e.timed_out = timed_out;
        e.started = t0 + std::chrono::milliseconds(from_ms);
        e.in_use = 2 * running > pace.limit();
        e.given = std::chrono::milliseconds(given_ms);
        e.needed = std::chrono::milliseconds(needed_ms);
        pace.ended(e, t0 + std::chrono::milliseconds(to_ms));
    }
    // n answers of took ms each, one after another from at_ms, with the limit in use.
    int answers(int n, int at_ms, int took_ms = 20) {
        for (int i = 0; i < n; ++i, at_ms += 1) end(at_ms, at_ms + took_ms, pace.limit());
        return at_ms + took_ms;
    }
};

TEST(Pace, TheLimitFollowsTheEndpoint) {
    const struct Case {
        const char *what;
        std::function<void(PaceOn &)> run;
        long limit;
    } cases[] = {
        {"asks only the floor until the endpoint answers", [](PaceOn &) {}, EndpointPace::floor_limit},
        {"a refused first exchange keeps it there",
         [](PaceOn &p) { p.end(0, 1, 2, Outcome::no_answer, 0); },
         EndpointPace::floor_limit},
        {"an answer while the floor is idle opens nothing", [](PaceOn &p) { p.end(0, 20, 1); },
         EndpointPace::floor_limit},
        {"the first answer while the floor is busy opens the first round", [](PaceOn &p) { p.end(0, 20, 2); },
         EndpointPace::first_limit + 1},
        {"doubles while answers stay at the floor, up to the ceiling", [](PaceOn &p) { p.answers(100, 0); }, 64},
        {"one per answer: 16 answers make 32", [](PaceOn &p) { p.answers(16, 0); }, 32},
        {"one client's logins one at a time prove nothing, nor does a limit half used",
         [](PaceOn &p) {
             for (int i = 0; i < 50; ++i) p.end(i, i + 20, 1);
             p.end(50, 70, 2);  // opens the round
             for (int i = 0; i < 50; ++i) p.end(100 + i, 120 + i, 8);
         },
         EndpointPace::first_limit + 1},
        {"rising latency cuts by a fifth",
         [](PaceOn &p) {
             int t = p.answers(10, 0);  // floor 20 ms, limit 26
             p.end(t, t + 100, 26);     // 100 > 2 x 20 + 5: 20
         },
         20},
        {"a round cuts once: late answers started before the cut do not cut again",
         [](PaceOn &p) {
             int t = p.answers(10, 0);
             p.end(t, t + 100, 26);        // cut at t + 100: 20
             p.end(t + 1, t + 101, 26);    // started before it
             p.end(t + 150, t + 250, 20);  // started after it: 16
         },
         16},
        {"a few quick answers do not set the floor",
         [](PaceOn &p) {
             p.end(0, 1, 16);
             p.end(1, 2, 17);
             p.answers(20, 10);  // 20 ms, ten times the quick ones: still about the floor
         },
         38},
        {"latency is not judged on the first few answers",
         [](PaceOn &p) {
             p.end(0, 1, 16);
             p.end(1, 100, 17);
         },
         18},
        {"one user's 429 is that user's answer: no cut",
         [](PaceOn &p) { p.end(0, 20, 16, Outcome::undecided, 429); },
         EndpointPace::first_limit},
        {"most of the last 16 answers saying overload cut, once a round",
         [](PaceOn &p) {
             for (int i = 0; i < 9; ++i) p.end(i, i + 20, 16, Outcome::undecided, 503);
         },
         12},
        {"a refused connection falls to the floor",
         [](PaceOn &p) {
             p.answers(40, 0);
             p.end(100, 101, 50, Outcome::no_answer, 0);
         },
         EndpointPace::floor_limit},
        {"a time-out with ample time falls to the floor",
         [](PaceOn &p) { p.end(0, 1000, 16, Outcome::no_answer, 0, true, 1000, 20); },
         EndpointPace::floor_limit},
        {"a time-out of a login short of time is latency, not failure",
         [](PaceOn &p) {
             p.answers(1, 0);  // 17
             p.end(30, 60, 17, Outcome::no_answer, 0, true, 30, 20);
         },
         13},
        {"after the floor, doubling up to half the limit the failure found, then one a round",
         [](PaceOn &p) {
             p.answers(48, 0);                                            // 64
             p.end(100, 1100, 64, Outcome::no_answer, 0, true, 1000, 20);  // 2, threshold 32
             int t = p.answers(30, 2000);                                  // 2 -> 32
             p.answers(32, t);                                             // 32 answers: 33
         },
         33},
        {"below the floor limit's own ceiling", [](PaceOn &) {}, 1},
    };
    for (const auto &c : cases) {
        PaceOn p(std::string(c.what) == "below the floor limit's own ceiling" ? 1 : 64);
        c.run(p);
        EXPECT_EQ(p.pace.limit(), c.limit) << c.what;
    }
}

// Answers pouring in (one a millisecond) while their time creeps from 20 to
// 60 ms, as when the endpoint's queue fills: the floor must not creep with
// them. Then, at 60 ms for good, the floor follows within two seconds and
// the limit grows again.
TEST(Pace, LatencyCreepingUpUnderLoadIsJudgedAgainstTheFloorOfTheLastSecond) {
    PaceOn p(1024);
    int t = p.answers(300, 0);  // 20 ms: the floor
    const long before = p.pace.limit();
    for (int i = 0; i < 400; ++i, ++t) p.end(t, t + 20 + i / 10, p.pace.limit());
    EXPECT_LT(p.pace.limit(), before) << "cut while answers took up to three times the floor";
    for (int i = 0; i < 2000; ++i, ++t) p.end(t, t + 60, p.pace.limit());
    const long settled = p.pace.limit();
    for (int i = 0; i < 1000; ++i, ++t) p.end(t, t + 60, p.pace.limit());
    EXPECT_GT(p.pace.limit(), settled) << "60 ms is the floor now: no more cuts";
}

// User 7's exchanges among others answered in 20 ms (the limit 26 after
// ten of them, the time needed 20 ms, far past it: 120 ms).
TEST(Pace, ASlowUserCostsOnlyItself) {
    constexpr std::uint64_t user = 7;
    const struct Case {
        const char *what;
        std::function<void(PaceOn &)> run;
        long limit;
        int needed_ms;
        bool marked;  // at 10 s
    } cases[] = {
        {"a time-out far past the ordinary time while others are answered: the user's",
         [](PaceOn &p) {
             p.answers(10, 10);
             p.end(5, 5005, 26, Outcome::no_answer, 0, true, 5000, 20, user);
         },
         26, 20, true},
        {"a slow refusal likewise",
         [](PaceOn &p) {
             p.answers(10, 10);
             p.end(5, 2005, 26, Outcome::refused, 403, false, 5000, 20, user);
         },
         26, 20, true},
        {"no quick answer since it started: the endpoint's own time-out",
         [](PaceOn &p) {
             p.answers(10, 0);
             p.end(100, 5100, 26, Outcome::no_answer, 0, true, 5000, 20, user);
         },
         EndpointPace::floor_limit, 20, false},
        {"a 429 marks its user",
         [](PaceOn &p) {
             p.answers(10, 0);
             p.end(100, 120, 26, Outcome::undecided, 429, false, 5000, 20, user);
         },
         26, 20, true},
        {"a slow user's exchanges feed nothing but its mark",
         [](PaceOn &p) {
             p.answers(10, 0);
             p.end(100, 2100, 26, Outcome::refused, 403, false, 5000, 20, user, true);
             p.end(2100, 7100, 26, Outcome::no_answer, 0, true, 5000, 20, user, true);
         },
         26, 20, true},
        {"a quick answer clears the mark",
         [](PaceOn &p) {
             p.answers(10, 10);
             p.end(5, 2005, 26, Outcome::refused, 403, false, 5000, 20, user);
             p.end(2005, 2025, 26, Outcome::refused, 403, false, 5000, 20, user, true);
         },
         26, 20, false},
    };
    for (const auto &c : cases) {
        PaceOn p(64);
        c.run(p);
        EXPECT_EQ(p.pace.limit(), c.limit) << c.what;
        EXPECT_EQ(p.pace.needed(), std::chrono::milliseconds(c.needed_ms)) << c.what;
        EXPECT_EQ(p.pace.slow_user(user, p.t0 + 10s), c.marked) << c.what;
    }
    PaceOn lapsed(64);
    lapsed.end(0, 20, 16, Outcome::undecided, 429, false, 0, 0, user);
    EXPECT_FALSE(lapsed.pace.slow_user(user, lapsed.t0 + 20ms + EndpointPace::slow_for)) << "a mark lapses";
}

// Beyond the limit when every counted exchange is far past the ordinary
// time: spaced by it, doubling while nothing is answered, up to a quarter
// of the time given; an answer makes the next due at once.
TEST(Pace, AProbeIsSpacedUntilTheEndpointAnswers) {
    PaceOn p(64);
    const auto at = [&](int ms) { return p.t0 + std::chrono::milliseconds(ms); };
    EXPECT_FALSE(p.pace.may_probe(at(0))) << "nothing answered yet: nothing is ordinary";
    p.end(0, 20, 1);
    EXPECT_EQ(p.pace.overtime(), 120ms);
    EXPECT_TRUE(p.pace.may_probe(at(1000)));
    const struct Step {
        int probed_ms, next_ms;
    } steps[] = {{1000, 1120}, {1120, 1360}, {1360, 1610}, {1610, 1860}};
    for (const auto &s : steps) {
        p.pace.probed(at(s.probed_ms), 1000ms);
        EXPECT_FALSE(p.pace.may_probe(at(s.next_ms - 1))) << s.probed_ms;
        EXPECT_TRUE(p.pace.may_probe(at(s.next_ms))) << s.probed_ms;
    }
    p.pace.probed(at(1860), 1000ms);
    p.end(1900, 1920, 1);
    EXPECT_TRUE(p.pace.may_probe(at(1920)));
}

TEST(Pace, AnExchangeNeedsTheNinetiethPercentileOfTheLastAnswers) {
    PaceOn p(64);
    EXPECT_EQ(p.pace.needed(), std::chrono::milliseconds(0));  // nothing known: nothing refused
    p.end(0, 7, 1);
    EXPECT_EQ(p.pace.needed(), std::chrono::milliseconds(7));
    for (int ms = 1; ms <= 40; ++ms) p.end(100 * ms, 100 * ms + ms, 1);  // the last 32: 9 to 40 ms
    EXPECT_EQ(p.pace.needed(), std::chrono::milliseconds(37));         // the 29th of 32
    p.end(5000, 6000, 1, Outcome::no_answer, 0, true, 1000, 37);       // no answer: not a time it needs
    EXPECT_EQ(p.pace.needed(), std::chrono::milliseconds(37));
}

using Queue = DeadlineQueue<int>;
using QClock = Queue::Clock;

TEST(Deadlines, OldestFirstWhileKeepingUpNewestFirstOnceBehindAndTheTooLateDropped) {
    const QClock::time_point t0{};
    const auto ms = [](int n) { return std::chrono::milliseconds(n); };
    const auto never = [](const int &) { return false; };
    const struct Case {
        const char *what;
        int now_ms, needed_ms;
        std::vector<int> dropped;  // in turn, before the next
        int next;
    } cases[] = {
        {"keeping up: the oldest", 3, 5, {}, 1},
        {"behind: the newest", 10, 5, {}, 4},
        {"too late for what the endpoint needs: dropped, never started", 1960, 50, {1, 2}, 4},
        {"past the deadline", 2001, 0, {1, 2}, 4},
        {"the endpoint needs more than half a login's time: still asked with half of it left", 240, 5000, {}, 1},
        {"and dropped past that half", 260, 5000, {1}, 2},
    };
    for (const auto &c : cases) {
        Queue q;
        const int deadlines[] = {500, 2000, 2500, 3000};
        for (int i = 1; i <= 4; ++i) q.push(i, t0 + ms(i - 1), t0 + ms(deadlines[i - 1]));
        std::vector<int> dropped;
        while (auto d = q.drop(t0 + ms(c.now_ms), ms(c.needed_ms), never)) dropped.push_back(*d);
        EXPECT_EQ(dropped, c.dropped) << c.what;
        EXPECT_EQ(q.next(t0 + ms(c.now_ms), ms(c.needed_ms)), c.next) << c.what;
    }
}

TEST(Deadlines, ThosePassedOverKeepTheirPlace) {
    const QClock::time_point t0{};
    const auto ms = [](int n) { return std::chrono::milliseconds(n); };
    const auto even = [](const int &i) { return i % 2 == 0; };
    Queue q;
    for (int i = 1; i <= 4; ++i) q.push(i, t0 + ms(i - 1), t0 + ms(1000));
    EXPECT_EQ(q.next(t0 + ms(3), ms(5), even, 1), std::nullopt) << "looks no further than asked";
    EXPECT_EQ(q.next(t0 + ms(3), ms(5), even, 64), 2) << "keeping up: the oldest taken";
    EXPECT_EQ(q.next(t0 + ms(10), ms(5), even, 64), 4) << "behind: the newest taken";
    EXPECT_EQ(q.next(t0 + ms(10), ms(5)), 3);
    EXPECT_EQ(q.next(t0 + ms(10), ms(5)), 1);
}

TEST(Deadlines, WhatIsGoneIsDroppedAndTheWakeUpIsWhenTheOldestBecomesTooLate) {
    const QClock::time_point t0{};
    const auto ms = [](int n) { return std::chrono::milliseconds(n); };
    Queue q;
    EXPECT_EQ(q.until_late(t0, ms(10)), std::nullopt);
    q.push(1, t0, t0 + ms(100));
    q.push(2, t0, t0 + ms(200));
    EXPECT_EQ(q.until_late(t0 + ms(50), ms(10)), ms(40));
    EXPECT_EQ(q.drop(t0, ms(10), [](const int &i) { return i == 1; }), 1);
    EXPECT_EQ(q.drop(t0, ms(10), [](const int &i) { return i == 1; }), std::nullopt);
    EXPECT_EQ(q.until_late(t0 + ms(250), ms(10)), ms(0));
}

}  // namespace
