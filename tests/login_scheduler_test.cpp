// Logins answered later and re-checks revalidated in the background, with a
// stand-in for the broker's completion and disconnection, against a real
// endpoint on loopback.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>
#include <thread>

#include "connections.h"
#include "pending_ids.h"
#include "endpoint.h"
#include "failing_allocations.h"
#include "json_answer.h"
#include "login_rules.h"
#include "login_scheduler.h"
#include "loopback.h"
#include "startup.h"
#include "timing.h"

namespace {

// What a login or a re-check came to when asked.
enum class Now { granted, refused, later, busy };

Now now_of(const std::optional<CheckResult> &v) {
    if (!v) return Now::later;
    return v->source == Source::busy ? Now::busy : v->granted() ? Now::granted : Now::refused;
}

class Scheduler : public ::testing::Test {
protected:
    // While held, requests hang until released; one arriving after the
    // release passes at once, whenever it reads the gate. Declared before
    // the endpoint, whose handlers read it: the endpoint stops first.
    std::mutex gate;
    std::condition_variable opened;
    bool held = false;
    std::atomic<int> pace_ms{0};  // how long the endpoint takes to answer
    int limited = 0;            // "limited": answered 429 once,
    bool limited_held = true;   // then held until released

    Endpoint endpoint;
    // Shared by every scheduler, as by every plugin line.
    Connections connections{nullptr};
    PendingIds ids;
    LoginScheduler *other_line = nullptr;  // a second plugin line's, where a test makes one
    std::map<std::string, std::vector<bool>> completed;  // client id -> each answer given
    std::vector<std::string> disconnected;
    // Pending logins made, and those handed back (each exactly once).
    std::size_t questions = 0, handed_back = 0;
    std::unique_ptr<Checker> checker;
    std::unique_ptr<HttpClient> client;
    std::unique_ptr<LoginScheduler> scheduler;

    void SetUp() override {
        // "ok..." users are granted, everyone else refused.
        endpoint.decide([this](const Recorded &r) {
            {
                std::unique_lock<std::mutex> lock(gate);
                const bool limits = r.fields.at("username") == "limited";
                if (limits && limited++ == 0) return 429;
                opened.wait_for(lock, std::chrono::minutes(2), [&] { return !held && !(limits && limited_held); });
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pace_ms.load()));
            return r.fields.at("username").rfind("ok", 0) == 0 ? 200 : 401;
        });
    }
    ~Scheduler() override { release(); }
    void hold() {
        std::lock_guard<std::mutex> lock(gate);
        held = true;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(gate);
            held = limited_held = false;
        }
        opened.notify_all();
    }
    std::unique_ptr<LoginScheduler> make(Checker &c, long ceiling = 8) {
        return std::make_unique<LoginScheduler>(c, *client, ceiling);
    }
    Now counted(const std::optional<CheckResult> &v) {
        questions += !v;
        return now_of(v);
    }
    // What the owner does with what was answered, as the version-5
    // library's instance does: only the newest login of an id completes,
    // and only a re-check of the connection still there disconnects it.
    void take(LoginScheduler &s) {
        Unfailing unfailing;
        std::vector<LoginScheduler::PendingLogin> out;
        s.reserve(out);
        s.take(out);
        handed_back += out.size();
        for (const auto &p : out) {
            if (p.kind == LoginScheduler::PendingLogin::Kind::login) {
                if (ids.settled(p.clientid, p.token)) completed[p.clientid].push_back(p.result.granted());
            } else if (p.state != LoginScheduler::PendingLogin::State::replaced &&
                       connections.serial(p.client, p.clientid) == p.serial && !p.result.granted()) {
                disconnected.push_back(p.clientid);
            }
        }
    }
    void start(Settings s = {}, std::string url = "") {
        s.http_user_uri = url.empty() ? endpoint.url("/user") : url;
        checker = std::make_unique<Checker>(configuration_of(s));
        client = std::make_unique<HttpClient>(s);
        scheduler = make(*checker);
    }
    Now login_on(LoginScheduler &s, const std::string &id, const std::string &user, const void *client_ptr = nullptr,
                 const std::string &password = "pw") {
        const unsigned long token = ids.next_token();
        unsigned long older = 0;
        {
            Unfailing unfailing;  // the owner's bookkeeping: only the scheduler's allocations fail
            older = ids.newest(id, token, &s);
        }
        if (older)
            for (LoginScheduler *line : {scheduler.get(), other_line})
                if (line) line->cancel(older);
        const auto v = s.login(token, id, client_ptr ? client_ptr : this, "127.0.0.1", {user.c_str(), password.c_str()},
                               false);
        if (v) ids.answered_now(id);
        return counted(v);
    }
    Now login(const std::string &id, const std::string &user, const void *client_ptr = nullptr,
              const std::string &password = "pw") {
        return login_on(*scheduler, id, user, client_ptr, password);
    }
    Now recheck(const std::string &id, const std::string &user, const void *client_ptr) {
        return counted(scheduler->recheck(ids.next_token(), id, client_ptr, connections.serial(client_ptr, id),
                                          {user.c_str(), "pw"}, false));
    }
    // Ticks, as the broker's loop does, until every pending login has been
    // handed back by s and what its answer decided is done.
    bool settle(LoginScheduler *s = nullptr) {
        s = s ? s : scheduler.get();
        return wait_until([&] {
            take(*s);
            return handed_back == questions;
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

// The broker parks logins by client id, whichever plugin line asked: only
// the newest of an id may complete what it parks.
TEST_F(Scheduler, OnlyTheNewestLoginOfAClientIdIsCompletedWhicheverLineAsked) {
    start();
    Checker other_checker(configuration_of(checker->settings()));
    auto other = make(other_checker);
    other_line = other.get();
    for (LoginScheduler *second : {scheduler.get(), other.get()}) {
        completed.clear();
        hold();
        EXPECT_EQ(login("dev", "ok-first"), Now::later);
        EXPECT_EQ(login_on(*second, "dev", "no-second"), Now::later);  // the id again
        ASSERT_TRUE(wait_until([&] {  // the first may never be asked: superseded
            for (const auto &r : endpoint.requests())
                if (r.fields.at("username") == "no-second") return true;
            return false;
        }));
        release();
        ASSERT_TRUE(wait_until([&] {
            take(*scheduler);
            if (second != scheduler.get()) take(*second);
            return handed_back == questions;
        }));
        EXPECT_EQ(completed["dev"], std::vector<bool>{false});  // the second's answer, once
        endpoint.clear();
    }
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

TEST_F(Scheduler, ARecheckIsGrantedNowAndOnlyItsOwnConnectionsEndOrItsRefusalEndsIt) {
    Settings s;
    s.http_cache_ms = 60000;
    start(s);
    // Answered together, as the floor's two: the endpoint has shown it takes more than one at a time.
    hold();
    EXPECT_EQ(login("kept", "ok-kept"), Now::later);
    EXPECT_EQ(login("opener", "ok-opener"), Now::later);
    ASSERT_TRUE(wait_until([&] { return endpoint.requests().size() >= 2; }));
    release();
    ASSERT_TRUE(settle());
    const int a = 0, b = 0, c = 0, d = 0, e = 0, f = 0, newer = 0;
    struct Case {
        const char *id, *user;
        const void *client;
        bool goes;  // disconnected once the answer is in
    } cases[] = {
        {"kept", "ok-kept", &a, false},  // asked again though cached: still granted
        {"revoked", "no-revoked", &b, true},
        {"left", "no-left", &c, false},           // its connection ended first
        {"squatted", "no-squatted", &d, true},    // others tried its id meanwhile
        {"replaced", "no-replaced", &e, false},   // a new connection of its id was admitted
        {"reused", "no-reused", &f, false},       // ended, and its address admitted again under its id
    };
    const auto admit = [&](const void *at, const char *id) { connections.admit(at, {nullptr, id, nullptr, nullptr, nullptr, false}); };
    for (const auto &k : cases) admit(k.client, k.id);
    hold();
    for (const auto &k : cases) EXPECT_EQ(recheck(k.id, k.user, k.client), Now::later) << k.id;
    connections.end(&c, false);
    scheduler->disconnected(&c);
    scheduler->disconnected(&newer);  // another connection's end: no effect
    EXPECT_EQ(login("squatted", "no-attacker", &newer, "guess"), Now::later);
    EXPECT_EQ(login("squatted", "ok-attacker", &newer, "guess"), Now::later);
    connections.end(&e, false);  // taken over: the broker ends the old connection
    admit(&newer, "replaced");
    connections.end(&f, false);  // the broker freed it, and a new connection got the same address
    admit(&f, "reused");
    ASSERT_TRUE(wait_until([&] { return endpoint.requests().size() >= 7; }));
    release();
    ASSERT_TRUE(settle());
    std::vector<std::string> gone;
    for (const auto &k : cases)
        if (k.goes) gone.push_back(k.id);
    std::sort(disconnected.begin(), disconnected.end());  // in the order the answers came
    std::sort(gone.begin(), gone.end());
    EXPECT_EQ(disconnected, gone);
    EXPECT_EQ(completed["squatted"], std::vector<bool>{true});  // the newest attempt's own answer
}

// A flood of logins cannot hold the broker's memory: past the cap in count
// or in form bytes, a login is refused at once, without a request.
TEST_F(Scheduler, TooManyWaitingLoginsAreRefusedAsBusy) {
    for (const std::string &password : {std::string("pw"), std::string(65535, '%')}) {  // "%": 3 bytes a form
        std::size_t length = 0;
        const Field fields[] = {{"username", "ok"}, {"password", password.c_str()}};
        ASSERT_TRUE(form_body(fields, 2, length));
        const std::size_t fits = std::min(LoginScheduler::max_pending_logins, LoginScheduler::max_pending_bytes / length);
        SCOPED_TRACE(fits);
        // A time-out no placing can reach, however slow the build: a login
        // that expired while the rest were placed would no longer wait.
        Settings s;
        s.http_timeout_ms = 600000;
        start(s);
        hold();
        for (std::size_t i = 0; i < fits; ++i)
            ASSERT_EQ(login("c" + std::to_string(i), "ok", &length, password), Now::later) << i;
        // "no": as long as "ok", and never asked.
        EXPECT_EQ(login("one-more", "no", &length, password), Now::busy);
        EXPECT_EQ(login("one-more", "no", &length, password), Now::busy);  // a refusal freed no place
        EXPECT_TRUE(completed.empty());
        // Each answer taken frees exactly its own place, in count and in
        // bytes: as many more fit as were taken, and not one more.
        release();
        ASSERT_TRUE(wait_until([&] {
            take(*scheduler);
            return !completed.empty();
        }));
        const std::size_t taken = completed.size();  // each id asked once
        for (std::size_t i = 0; i < taken; ++i)
            ASSERT_EQ(login("d" + std::to_string(i), "ok", &length, password), Now::later) << i;
        EXPECT_EQ(login("one-more", "no", &length, password), Now::busy);
        scheduler.reset();  // the rest abandoned
        for (const auto &r : endpoint.requests()) EXPECT_NE(r.fields.at("username"), "no");
        completed.clear();
        endpoint.clear();
    }
}

// Each allocation of a login or a re-check failing in turn: it is refused
// (or stands, for a re-check) and every exchange begun is answered once.
TEST_F(Scheduler, OutOfMemoryRefusesAndLeavesNothingUnanswered) {
    if (!FAILING_ALLOCATIONS) GTEST_SKIP() << "allocations cannot be made to fail in this build";
    Settings s;
    s.http_cache_ms = 60000;  // the cache and its key allocate too
    start(s);
    const int conn = 0;
    connections.admit(&conn, {nullptr, "re", nullptr, nullptr, nullptr, false});
    for (bool re : {false, true}) {
        bool reached = true;
        long n = 0;
        for (; reached && n < 1000; ++n) {
            const std::string id = (re ? "re" : "new") + std::to_string(n);
            completed.clear();
            allocation_failed = false;
            allocations_to_failure = n;
            const Now now = re ? recheck("re", "no-" + id, &conn) : login(id, "ok-" + id);
            allocations_to_failure = -1;
            reached = allocation_failed;
            if (reached) {
                EXPECT_NE(now, Now::granted) << n;
            }
            ASSERT_TRUE(settle()) << n;
            if (!re && now == Now::later) {
                EXPECT_EQ(completed[id].size(), 1u) << n;
            }
        }
        EXPECT_FALSE(reached) << "more than 1000 allocations";
        EXPECT_GE(n, 4) << "the failures reached too few allocations to mean anything";
        std::printf("%s: %ld allocations failed in turn\n", re ? "re-check" : "login", n - 1);
    }
}

// Once the queue is behind (its oldest has waited longer than the endpoint's
// exchanges take), the newest logins are asked first: they can still
// receive an answer. One at a time (a ceiling of 1), so the order is the
// endpoint's to see.
TEST_F(Scheduler, OnceBehindTheNewestLoginsAreAskedFirst) {
    start();
    scheduler = make(*checker, 1);
    // Quick answers first: what an exchange takes is known, and the one
    // held below is too few to change it.
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) login("quick" + std::to_string(i), "ok");
    ASSERT_TRUE(settle());
    const auto quick = std::chrono::steady_clock::now() - began;  // more than any one of them took
    endpoint.clear();
    hold();
    login("held", "ok-held");
    ASSERT_EQ(endpoint.wait_for_requests(1).size(), 1u);
    for (const char *id : {"old", "middle", "new"}) login(id, std::string("ok-") + id);
    // A lower bound only: by now the oldest has waited longer than any quick exchange took.
    std::this_thread::sleep_for(quick + std::chrono::milliseconds(50));
    release();
    ASSERT_TRUE(settle());
    ASSERT_EQ(completed.size(), 24u);
    std::vector<std::string> asked;
    for (const auto &r : endpoint.requests()) asked.push_back(r.fields.at("username"));
    EXPECT_EQ(asked, (std::vector<std::string>{"ok-held", "ok-new", "ok-middle", "ok-old"}));
}

// The scheduler says whose each login is: a user the endpoint answered 429
// has one asked at a time, and its held logins keep nobody else waiting
// (here for the floor's two places).
TEST_F(Scheduler, ALimitedUsersLoginsKeepNobodyWaiting) {
    start();
    login("l0", "limited");
    ASSERT_TRUE(settle());
    for (int i = 1; i <= 4; ++i) login("l" + std::to_string(i), "limited");
    ASSERT_GE(endpoint.wait_for_requests(2).size(), 2u);  // its 429, and one held
    login("other", "ok-other");
    EXPECT_TRUE(wait_until([&] {
        take(*scheduler);
        return !completed["other"].empty();
    }, std::chrono::seconds(10))) << "waited behind the limited user's logins";
    const auto requests = endpoint.requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const Recorded &r) { return r.fields.at("username") == "limited"; }),
              2)
        << "its 429 and one held: one at a time";
    release();
    ASSERT_TRUE(settle());
}

// A command about a client id or a user reaches its logins still waiting
// for an answer: refused when it comes, whatever it says.
TEST_F(Scheduler, ACommandRefusesTheWaitingLoginsItNames) {
    start();
    hold();
    for (const char *id : {"a", "b", "c"}) EXPECT_EQ(login(id, std::string("ok-") + id), Now::later);
    std::set<std::string> users;
    EXPECT_EQ(scheduler->withdraw(nullptr, "a", users), 1u);
    EXPECT_EQ(scheduler->withdraw("ok-b", nullptr, users), 1u);
    EXPECT_EQ(scheduler->withdraw(nullptr, "a", users), 0u);  // counted once
    EXPECT_EQ(scheduler->withdraw("ok-c", "x", users), 0u);
    EXPECT_EQ(users, (std::set<std::string>{"ok-a", "ok-b"}));  // whose kept decisions go too
    release();
    ASSERT_TRUE(settle());
    EXPECT_EQ(completed, (std::map<std::string, std::vector<bool>>{{"a", {false}}, {"b", {false}}, {"c", {true}}}));
}

// However long a storm of logins lasts, a re-check behind it is asked once
// it has waited one time-out: a revoked client is not kept by the storm.
TEST_F(Scheduler, AReCheckIsAskedDuringAStormOnceItHasWaitedATimeOut) {
    Settings s;
    s.http_timeout_ms = 500;
    start(s);
    scheduler = make(*checker, 1);
    pace_ms = 20;
    const int conn = 0;
    connections.admit(&conn, {nullptr, "revoked", nullptr, nullptr, nullptr, false});
    EXPECT_EQ(login("first", "ok"), Now::later);
    EXPECT_EQ(recheck("revoked", "no-revoked", &conn), Now::later);
    int storm = 0;
    for (; storm < 4000 && disconnected.empty(); ++storm) {
        login("storm" + std::to_string(storm), "ok");
        take(*scheduler);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // paces it: four logins per answer
    }
    EXPECT_EQ(disconnected, std::vector<std::string>{"revoked"}) << "after " << storm << " logins";
    EXPECT_LT(storm, 4000);  // the storm still went on
    pace_ms = 0;
    ASSERT_TRUE(settle());
}

TEST_F(Scheduler, WhatIsStillAskedWhenItStopsIsLeftAlone) {
    start();
    hold();
    for (int i = 0; i < 12; ++i) login("c" + std::to_string(i), "ok");
    // An endpoint that has not answered yet is asked two at a time.
    ASSERT_EQ(endpoint.wait_for_requests(2).size(), 2u);
    scheduler.reset();  // 2 running, 10 waiting: abandoned, none completed
    release();
    EXPECT_TRUE(completed.empty());
}

}  // namespace

namespace {

std::shared_ptr<const LoginRules> expiring_at(int s) {
    return read_json_body(R"({"expire_at":)" + std::to_string(s) + "}").rules;
}

// Expiries belong to connections: one that ended, or whose rules a re-check
// replaced, is never ended again, whatever reuses its address.
TEST(Records, OnlyLiveConnectionsExpire) {
    Connections c{nullptr};
    int a = 0, b = 0, d = 0;
    c.admit(&a, {nullptr, "a", "u", nullptr, expiring_at(10), false});
    const unsigned long b_serial = c.admit(&b, {nullptr, "b", "u", nullptr, expiring_at(20), false});
    c.admit(&d, {nullptr, "d", "u", nullptr, expiring_at(30), false});
    c.end(&a, false);
    c.admit(&a, {nullptr, "a2", "u", nullptr, nullptr, false});  // the address, reused without rules
    c.renew(&b, b_serial, expiring_at(40));  // a re-check moved b's expiry
    c.renew(&d, 12345, expiring_at(5));      // not d's serial: nothing changes
    EXPECT_EQ(c.next_expiry(), 30);
    EXPECT_TRUE(c.expired(29).empty());
    EXPECT_EQ(c.expired(40), (std::vector<const void *>{&d, &b}));
    EXPECT_EQ(c.next_expiry(), std::nullopt);
}

// Admitting when memory runs out changes nothing, whichever allocation fails:
// no expiry left behind for a connection that has no record, and the older
// record at the address and the offline session of the id are still there.
TEST(Records, AnAdmissionThatRunsOutOfMemoryChangesNothing) {
    if (!FAILING_ALLOCATIONS) GTEST_SKIP() << "allocation failures are not injected under ThreadSanitizer";
    bool admitted = false;
    for (long n = 0; n < 100 && !admitted; ++n) {
        SCOPED_TRACE(n);
        Connections c{nullptr};
        int old = 0, offline = 0;
        c.admit(&old, {nullptr, "old", "u", nullptr, nullptr, false});
        c.admit(&offline, {nullptr, "id", "u", nullptr, nullptr, false});
        c.end(&offline, true);
        const auto rules = expiring_at(10);
        allocations_to_failure = n;
        try {
            c.admit(&old, {nullptr, "id", "user", "secret", rules, false});
            admitted = true;
        } catch (const std::bad_alloc &) {
        }
        allocations_to_failure = -1;
        ASSERT_NE(c.find(&old), nullptr);
        if (admitted) {
            EXPECT_EQ(c.find(&old)->clientid, "id");
            EXPECT_EQ(c.find(&offline), nullptr);  // taken over
            EXPECT_EQ(c.next_expiry(), 10);
        } else {
            EXPECT_EQ(c.find(&old)->clientid, "old");
            EXPECT_TRUE(c.offline(&offline, "id"));
            EXPECT_EQ(c.next_expiry(), std::nullopt);
            EXPECT_TRUE(c.expired(10).empty());
        }
    }
    EXPECT_TRUE(admitted);
}

// The broker as the records see it: which session it holds under an id (2.1).
std::map<std::string, const void *> held;
const void *session_of(const char *id) {
    const auto found = held.find(id);
    return found != held.end() ? found->second : nullptr;
}

// A record outlives its connection for as long as the broker may ask about
// its will, and no longer; the one kick reaches only a live connection that
// still holds its id.
TEST(Records, AnEndedRecordStaysForItsWillAndOnlyThen) {
    for (const bool newer : {false, true}) {  // 2.0.11, then 2.1 (which says which session it holds)
        SCOPED_TRACE(newer);
        held.clear();
        Connections c(newer ? &session_of : nullptr);
        int now_ = 0, delayed = 0, persists = 0, deferred = 0, replaced = 0, newer_conn = 0;
        for (auto [client, id] : {std::pair<const void *, const char *>{&now_, "now"}, {&delayed, "delayed"},
                                  {&persists, "persists"}, {&replaced, "replaced"}})
            c.admit(client, {nullptr, id, "u", nullptr, expiring_at(99), false}), held[id] = client;
        c.admit(&deferred, {nullptr, "deferred", "u", nullptr, nullptr, true});
        held["deferred"] = &deferred;
        c.end(&now_, false);
        c.end(&delayed, false);  // its session ends with it, but its will waits for a delay
        c.end(&persists, true);
        held.erase("now");                // 2.1 lets go of a session that ended with its connection at once...
        held["replaced"] = &newer_conn;  // another connection took its id
        // Ended: still read for its will, never kicked; nor is one whose id
        // another holds, nor one left to the broker's other checks.
        for (const void *client : {(const void *)&now_, (const void *)&delayed, (const void *)&persists}) {
            ASSERT_NE(c.find(client), nullptr);
            EXPECT_EQ(c.find(client)->state, Connections::State::ended);
            EXPECT_NE(c.find(client)->rules, nullptr);
            EXPECT_EQ(c.kickable(client), nullptr);
        }
        EXPECT_EQ(c.kickable(&deferred), nullptr);
        EXPECT_EQ(c.kickable(&replaced) != nullptr, !newer);  // 2.0.11 cannot tell; it ends the old connection itself
        EXPECT_EQ(c.expired(100), std::vector<const void *>{&replaced});  // the ended ones expire no more
        c.sweep();  // a later call: a will not delayed was asked
        EXPECT_EQ(c.find(&now_), nullptr);
        // ...but 2.1 holds one whose will waits, and asks about it when the
        // delay ends (2.0.11 asks no such delayed will)
        EXPECT_EQ(c.find(&delayed) != nullptr, newer);
        // a login of its id does not take it over: 2.1 asks about its will then
        c.admit(&newer_conn, {nullptr, "delayed", "u", nullptr, nullptr, false});
        EXPECT_EQ(c.find(&delayed) != nullptr, newer);
        ASSERT_NE(c.find(&persists), nullptr);
        EXPECT_TRUE(c.offline(&persists, "persists"));
        if (newer) {
            held.erase("persists");  // 2.1 no longer holds them: their delayed wills came
            held.erase("delayed");
            c.sweep();
            EXPECT_EQ(c.find(&persists), nullptr);
            EXPECT_EQ(c.find(&delayed), nullptr);
        } else {
            c.admit(&replaced, {nullptr, "persists", "u", nullptr, nullptr, false});  // its id logs in again: the session is taken over
            EXPECT_EQ(c.find(&persists), nullptr);
        }
        EXPECT_EQ(c.ended(), 0u);
        EXPECT_FALSE(c.forgotten(&persists, "persists"));
    }
}

// A pending login of an id whose persistent session waits for its delayed
// will: its client may leave before the broker completes it, and then takes
// nothing over; the session's record (its rules, for the will) stays until
// the broker holds the new connection under the id.
TEST(Records, APendingLoginTakesOverOnlyOnceTheBrokerHoldsIt) {
    held.clear();
    Connections c(&session_of);
    int old_conn = 0, gone = 0, arrived = 0;
    c.admit(&old_conn, {nullptr, "A", "mallory", nullptr, expiring_at(99), false});
    c.end(&old_conn, true);
    held["A"] = &old_conn;
    c.admit(&gone, {nullptr, "A", "bob", nullptr, nullptr, false, false});
    c.end(&gone, false);  // it left before completion: the broker still holds the old session
    c.sweep();
    ASSERT_NE(c.find(&old_conn), nullptr);
    EXPECT_NE(c.find(&old_conn)->rules, nullptr);
    c.admit(&arrived, {nullptr, "A", "bob", nullptr, nullptr, false, false});
    held["A"] = &arrived;
    c.took_over(&arrived);
    EXPECT_EQ(c.find(&old_conn), nullptr);
    EXPECT_NE(c.find(&arrived), nullptr);
}

// Past the bound on ended records the oldest go; one that had rules leaves
// its address behind, so that its will is refused rather than decided as if
// it had none, until a connection at that address is admitted again.
TEST(Records, AnEndedRecordWithRulesDroppedByTheBoundIsNotForgottenByItsWill) {
    Connections c{nullptr};
    std::vector<char> clients(Connections::max_ended + 3);  // the first three go
    const auto rules = expiring_at(99);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const std::string id = std::to_string(i);
        c.admit(&clients[i], {nullptr, id.c_str(), "u", nullptr, i < 2 ? rules : nullptr, false});
        c.end(&clients[i], true);
    }
    EXPECT_EQ(c.ended(), Connections::max_ended);
    EXPECT_EQ(c.find(&clients[0]), nullptr);
    EXPECT_TRUE(c.forgotten(&clients[0], "0"));
    EXPECT_FALSE(c.forgotten(&clients[0], "another"));  // a connection the address was given to since
    EXPECT_TRUE(c.forgotten(&clients[1], "1"));
    EXPECT_EQ(c.find(&clients[2]), nullptr);
    EXPECT_FALSE(c.forgotten(&clients[2], "2"));  // it had no rules: nothing of ours decided its will
    c.admit(&clients[0], {nullptr, "0", "u", nullptr, nullptr, false});
    EXPECT_FALSE(c.forgotten(&clients[0], "0"));
}

}  // namespace
