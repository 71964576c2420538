// Logins answered later and re-checks revalidated in the background, with a
// stand-in for the broker's completion and disconnection, against a real
// endpoint on loopback.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "endpoint.h"
#include "login_scheduler.h"
#include "loopback.h"
#include "timing.h"

namespace {

using Now = LoginScheduler::Now;

class Scheduler : public ::testing::Test {
protected:
    Endpoint endpoint;
    std::map<std::string, std::vector<bool>> completed;  // client id -> each answer given
    std::vector<std::string> disconnected;
    std::unique_ptr<Checker> checker;
    std::unique_ptr<HttpClient> client;
    std::unique_ptr<LoginScheduler> scheduler;

    std::atomic<bool> holding{false};  // requests hang until released

    void SetUp() override {
        // "ok..." users are granted, everyone else refused.
        endpoint.decide([this](const Recorded &r) {
            if (holding) endpoint.hold();
            return r.fields.at("username").rfind("ok", 0) == 0 ? 200 : 401;
        });
    }
    void release() {
        holding = false;
        endpoint.release();
    }
    void start(Settings s = {}, std::string url = "") {
        s.http_user_uri = url.empty() ? endpoint.url("/user") : url;
        checker = std::make_unique<Checker>(s);
        client = std::make_unique<HttpClient>(s);
        scheduler = std::make_unique<LoginScheduler>(
            *checker, *client, 8,
            LoginScheduler::Host{[this](const std::string &id, bool granted) { completed[id].push_back(granted); },
                                 [this](const std::string &id) { disconnected.push_back(id); }});
    }
    Now login(const std::string &id, const std::string &user, const void *client_ptr = nullptr) {
        Verdict v;
        return scheduler->login(id, client_ptr ? client_ptr : this, user.c_str(), "pw", nullptr, 0, v);
    }
    Now recheck(const std::string &id, const std::string &user, const void *client_ptr) {
        Verdict v;
        return scheduler->recheck(id, client_ptr, user.c_str(), "pw", nullptr, 0, v);
    }
    // Ticks, as the broker's loop does, until nothing is pending.
    bool settle() {
        return wait_until([&] {
            scheduler->tick();
            return !scheduler->pending();
        });
    }
};

TEST_F(Scheduler, AStormOfLoginsEachGetsItsOwnAnswerExactlyOnce) {
    start();
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(login("c" + std::to_string(i), (i % 2 ? "ok" : "no") + std::to_string(i)), Now::later);
    ASSERT_TRUE(settle());
    ASSERT_EQ(completed.size(), 40u);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(completed["c" + std::to_string(i)], std::vector<bool>{i % 2 == 1}) << i;
    EXPECT_EQ(endpoint.requests().size(), 40u);
}

TEST_F(Scheduler, OnlyTheNewestLoginOfAClientIdIsCompleted) {
    start();
    holding = true;
    EXPECT_EQ(login("dev", "ok-first"), Now::later);
    EXPECT_EQ(login("dev", "no-second"), Now::later);  // the same id connects again
    ASSERT_EQ(endpoint.wait_for_requests(2).size(), 2u);
    release();
    ASSERT_TRUE(settle());
    EXPECT_EQ(completed["dev"], std::vector<bool>{false});  // the second's answer, once
}

TEST_F(Scheduler, AKeptDecisionAnswersAtOnce) {
    Settings s;
    s.http_cache_ms = 60000;
    start(s);
    EXPECT_EQ(login("a", "ok-cached"), Now::later);
    ASSERT_TRUE(settle());
    EXPECT_EQ(login("a2", "ok-cached"), Now::granted);
    EXPECT_EQ(endpoint.requests().size(), 1u);
}

TEST_F(Scheduler, TheBackoffRefusesAtOnceOnceAnExchangeGotNoAnswer) {
    Settings s;
    s.http_backoff_ms = 60000;
    const LoopbackListener nobody(false);  // connections refused: no HTTP answer
    start(s, nobody.url("/user"));
    EXPECT_EQ(login("b", "ok-b"), Now::later);
    ASSERT_TRUE(settle());
    EXPECT_EQ(completed["b"], std::vector<bool>{false});
    EXPECT_EQ(login("c", "ok-c"), Now::refused);  // refused without a request
    EXPECT_EQ(completed.count("c"), 0u);
}

TEST_F(Scheduler, ARecheckIsGrantedNowAndARefusalDisconnectsLater) {
    Settings s;
    s.http_cache_ms = 60000;
    start(s);
    const int a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(login("kept", "ok-kept"), Now::later);
    ASSERT_TRUE(settle());
    struct Case {
        const char *id, *user;
        const void *client;
        bool goes;  // disconnected once the answer is in
    } cases[] = {
        {"kept", "ok-kept", &a, false},  // asked again though cached: still granted
        {"revoked", "no-revoked", &b, true},
        {"left", "no-left", &c, false},        // its connection ended first
        {"reconnected", "no-rec", &d, false},  // its id connected anew first
    };
    holding = true;
    for (const auto &k : cases) EXPECT_EQ(recheck(k.id, k.user, k.client), Now::later) << k.id;
    scheduler->disconnected("left", &c);
    scheduler->disconnected("revoked", &a);  // another connection's end: no effect
    EXPECT_EQ(login("reconnected", "ok-new", &a), Now::later);
    ASSERT_EQ(endpoint.wait_for_requests(6).size(), 6u);
    release();
    ASSERT_TRUE(settle());
    EXPECT_EQ(disconnected, std::vector<std::string>{"revoked"});
    EXPECT_EQ(completed["reconnected"], std::vector<bool>{true});
    EXPECT_EQ(endpoint.requests().size(), 6u);  // every re-check asked, the cache notwithstanding
}

TEST_F(Scheduler, WhatIsStillAskedWhenItStopsIsLeftAlone) {
    start();
    holding = true;
    for (int i = 0; i < 12; ++i) login("c" + std::to_string(i), "ok");
    ASSERT_EQ(endpoint.wait_for_requests(8).size(), 8u);
    scheduler.reset();  // 8 running, 4 waiting: abandoned, none completed
    release();
    EXPECT_TRUE(completed.empty());
}

}  // namespace
