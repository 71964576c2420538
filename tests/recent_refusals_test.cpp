// The guard against holding another's client id (RecentRefusals), with a
// clock of the test's making: what it refuses at once, what it never does,
// and what it keeps.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "failing_allocations.h"
#include "recent_refusals.h"

using namespace std::chrono_literals;

namespace {

using Login = RecentRefusals::Login;
using Clock = RecentRefusals::Clock;
const Clock::time_point t0{};

// A client that tries every step from start (the endpoint refusing it): when
// it is first asked, or limit if never.
Clock::duration first_asked(RecentRefusals &r, const Login &login, Clock::time_point start, Clock::duration step,
                            Clock::duration limit = 10min) {
    for (auto t = start; t - start < limit; t += step)
        if (!r.refuses(login, t)) return t - start;
    return limit;
}

// What the endpoint refused is refused at once for the window; anything
// else about the same id and address is asked, and no field runs into another.
TEST(RecentRefusals, OnlyTheVeryCredentialsRefusedAreRefusedAtOnce) {
    RecentRefusals r;
    r.refused({"10.0.0.2", "victim", "mallory", "wrong"}, t0);
    const struct {
        Login login;
        Clock::duration after;
        bool refused;
    } cases[] = {
        {{"10.0.0.2", "victim", "mallory", "wrong"}, 1s, true},
        {{"10.0.0.2", "victim", "mallory", "wrong"}, 9s, true},
        {{"10.0.0.2", "victim", "mallory", "wrong"}, RecentRefusals::window, false},
        {{"10.0.0.2", "victim", "mallory", "right"}, 1s, false},   // its owner behind the same address
        {{"10.0.0.2", "victim", "victim", "wrong"}, 1s, false},    // another user
        {{"10.0.0.1", "victim", "mallory", "wrong"}, 1s, false},   // another address
        {{"10.0.0.2", "other", "mallory", "wrong"}, 1s, false},    // another id
        {{"10.0.0.2", "victim", "mallorywrong", ""}, 1s, false},  // no field runs into the next
        {{"10.0.0.2", "victim", "mallory", nullptr}, 1s, false},
        {{"10.0.0.2victim", "", "mallory", "wrong"}, 1s, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(r.refuses(c.login, t0 + c.after), c.refused)
            << c.login.address << " " << c.login.clientid << " " << c.login.username << " "
            << (c.login.password ? c.login.password : "(none)") << " after " << c.after.count();
}

// Whoever retries is asked again once the window or the suspicion is over,
// however often it was refused at once meanwhile; a guesser elsewhere or one
// repeating a password keeps nobody out.
TEST(RecentRefusals, RefusalsAtOnceExtendNothing) {
    const Login wrong{"10.0.0.2", "victim", "mallory", "wrong"}, owner{"10.0.0.2", "victim", "victim", "right"};
    const struct {
        const char *what;
        const char *guesser;               // the guesser's address
        std::vector<const char *> guesses;  // refused by the endpoint at t0
        Login retrying;
        Clock::duration every, asked;
    } cases[] = {
        {"the stranger's own password", "10.0.0.2", {"wrong"}, wrong, 3s, 12s},
        {"its owner, same address as a repeated password", "10.0.0.2", {"wrong", "wrong", "wrong"}, owner, 5s, 0s},
        {"its owner, same address as a guesser", "10.0.0.2", {"a", "b", "c"}, owner, 5s, 10s},
        {"its owner every 3 s, same address as a guesser", "10.0.0.2", {"a", "b", "c"}, owner, 3s, 12s},
        {"its owner, elsewhere than a guesser", "10.0.0.9", {"a", "b", "c"}, owner, 5s, 0s},
        {"its owner, same address as two wrong guesses", "10.0.0.2", {"a", "b"}, owner, 3s, 0s},
    };
    for (const auto &c : cases) {
        RecentRefusals r;
        for (const char *g : c.guesses) r.refused({c.guesser, "victim", "mallory", g}, t0);
        EXPECT_EQ(first_asked(r, c.retrying, t0, c.every), c.asked) << c.what;
    }
}

// Distinct credentials refused from one address for one id make it a
// guesser, asked about once a suspicion period, which grows while it guesses
// on; repeating an old guess lengthens nothing.
TEST(RecentRefusals, AGuesserIsAskedRarelyAndOnlyItsPairIsSuspected) {
    const Login unseen{"10.0.0.2", "victim", "victim", "right"};
    RecentRefusals r;
    int guess = 0;
    const auto guesses = [&](Clock::time_point t) {
        const std::string password = "guess-" + std::to_string(guess++);
        if (r.refuses({"10.0.0.2", "victim", "mallory", password.c_str()}, t)) return false;
        r.refused({"10.0.0.2", "victim", "mallory", password.c_str()}, t);
        return true;
    };
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(r.refuses(unseen, t0)) << i;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(guesses(t0)) << i;
    EXPECT_TRUE(r.refuses(unseen, t0 + 9s));
    EXPECT_FALSE(r.refuses({"10.0.0.1", "victim", "victim", "right"}, t0 + 9s));
    EXPECT_FALSE(r.refuses({"10.0.0.2", "other", "victim", "right"}, t0 + 9s));
    // A guess a second for an hour: asked at 10 s, 30, 70, 150, ... then every 10 minutes.
    int asked = 0;
    for (auto t = t0 + 10s; t < t0 + 1h; t += 1s) asked += guesses(t);
    EXPECT_LE(asked, 12);
    EXPECT_GE(asked, 6);  // still asked now and then
    // An old guess again once let go lengthens nothing; a new one doubles the period.
    RecentRefusals calm;
    for (const char *g : {"a", "b", "c"}) calm.refused({"10.0.0.2", "victim", "mallory", g}, t0);
    calm.refused({"10.0.0.2", "victim", "mallory", "a"}, t0 + 10s);  // an old guess again: no longer
    EXPECT_FALSE(calm.refuses(unseen, t0 + 11s));
    calm.refused({"10.0.0.2", "victim", "mallory", "d"}, t0 + 11s);  // a new one right after: twice as long
    EXPECT_EQ(first_asked(calm, unseen, t0 + 11s, 1s), 20s);
}

// What is kept does not grow with what clients send: fixed-size keys, a
// bounded number of them, the least recent forgotten first.
TEST(RecentRefusals, BoundedWhateverTheIds) {
    RecentRefusals r;
    std::string id(60000, 'x');
    const std::size_t n = RecentRefusals::max_entries + 1000;
    for (std::size_t i = 0; i < n; ++i) {
        id.replace(0, 8, std::to_string(10000000 + i));
        r.refused({"10.0.0.2", id.c_str(), "u", "p"}, t0);
    }
    EXPECT_EQ(r.entries(), 2 * RecentRefusals::max_entries);
    EXPECT_LE(r.bytes(), RecentRefusals::max_bytes());
    EXPECT_LT(RecentRefusals::max_bytes(), std::size_t{8} << 20);
    EXPECT_TRUE(r.refuses({"10.0.0.2", id.c_str(), "u", "p"}, t0));
    id.replace(0, 8, std::to_string(10000000));
    EXPECT_FALSE(r.refuses({"10.0.0.2", id.c_str(), "u", "p"}, t0));  // the least recent went first
}

// No allocation failure escapes: a refusal that cannot be noted is not
// counted, and the next one is.
TEST(RecentRefusals, NoMemoryCountsNothingAndThrowsNothing) {
    if (!FAILING_ALLOCATIONS) GTEST_SKIP() << "allocations are not made to fail under ThreadSanitizer";
    const Login login{"10.0.0.2", "victim", "mallory", "wrong"};
    for (long n = 0; n < 8; ++n) {
        RecentRefusals r;
        allocations_to_failure = n;
        r.refused(login, t0);
        allocations_to_failure = -1;
        r.refused(login, t0);
        EXPECT_TRUE(r.refuses(login, t0 + 1s)) << n;
        EXPECT_EQ(r.entries(), 2u) << n;
    }
}

}  // namespace
