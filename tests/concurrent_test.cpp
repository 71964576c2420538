// Many exchanges at once through libcurl's multi interface: bounded, each
// answered exactly once, and nothing left behind when abandoned.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

#include "concurrent_exchanges.h"
#include "endpoint.h"
#include "timing.h"

using namespace std::chrono_literals;

namespace {

// An endpoint whose answers wait until the test opens the gate, counting how
// many requests it holds at once.
class GatedEndpoint {
public:
    Endpoint endpoint;
    GatedEndpoint() {
        endpoint.decide([this](const Recorded &r) {
            std::unique_lock<std::mutex> lock(m_);
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

private:
    std::mutex m_;
    std::condition_variable changed_;
    bool open_ = false;
    int held_ = 0, most_ = 0;
};

// What came back for each submission, by number.
struct Results {
    std::mutex m;
    std::condition_variable arrived;
    std::map<int, std::vector<Answer>> by_id;
    ConcurrentExchanges::Done done(int id) {
        return [this, id](const Answer &a) {
            std::lock_guard<std::mutex> lock(m);
            by_id[id].push_back(a);
            arrived.notify_all();
        };
    }
    bool wait_for(std::size_t n) {
        std::unique_lock<std::mutex> lock(m);
        return arrived.wait_for(lock, 20s, [&] { return by_id.size() >= n; });
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
                ConcurrentExchanges::Wanted wanted = nullptr) {
        Request r;
        r.fixed_url = &url;
        r.body = body(user);
        r.length = std::strlen(r.body.get());
        ASSERT_TRUE(exchanges.submit(std::move(r), results.done(id), deadline, std::move(wanted)));
    }
    std::vector<Answer> answers(int id) {
        std::lock_guard<std::mutex> lock(results.m);
        return results.by_id[id];
    }
};

TEST_F(Concurrent, AtMostMaxInFlightRunTheRestWaitAndEachIsAnsweredOnce) {
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 4);
    for (int i = 0; i < 20; ++i) submit(exchanges, i, i % 2 ? "refused" : "granted");
    ASSERT_TRUE(gated.holding(4));
    EXPECT_EQ(exchanges.waiting(), 16u);
    gated.open();
    ASSERT_TRUE(results.wait_for(20));
    EXPECT_EQ(gated.most(), 4);
    EXPECT_EQ(gated.endpoint.requests().size(), 20u);
    std::lock_guard<std::mutex> lock(results.m);
    for (auto &[id, answers] : results.by_id) {
        ASSERT_EQ(answers.size(), 1u) << id;
        EXPECT_EQ(answers[0].outcome(), id % 2 ? Outcome::refused : Outcome::granted) << id;
    }
}

TEST_F(Concurrent, AbandonedExchangesAreEachToldOnceAndNothingIsLeft) {
    HttpClient client(settings);
    {
        ConcurrentExchanges exchanges(client, 2);
        for (int i = 0; i < 5; ++i) submit(exchanges, i, "granted");
        ASSERT_TRUE(gated.holding(2));
    }  // two running, three waiting
    std::lock_guard<std::mutex> lock(results.m);
    ASSERT_EQ(results.by_id.size(), 5u);
    for (auto &[id, answers] : results.by_id) {
        ASSERT_EQ(answers.size(), 1u) << id;
        EXPECT_EQ(answers[0].outcome(), Outcome::not_sent) << id;
    }
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

TEST_F(Concurrent, EachExchangeKeepsItsTimeOutAndKeptConnectionsServeTheNext) {
    settings.http_timeout_ms = 300;
    settings.http_keepalive = true;
    HttpClient client(settings);
    ConcurrentExchanges exchanges(client, 8);
    for (int i = 0; i < 3; ++i) submit(exchanges, i, "granted");  // held past the time-out
    ASSERT_TRUE(results.wait_for(3));
    gated.open();
    {
        std::lock_guard<std::mutex> lock(results.m);
        for (auto &[id, answers] : results.by_id) EXPECT_EQ(answers[0].transfer, CURLE_OPERATION_TIMEDOUT) << id;
        results.by_id.clear();
    }
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

}  // namespace
