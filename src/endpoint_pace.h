// How hard one endpoint (one origin) is asked, following what its answers
// show: how many exchanges run at once (the limit), and how much time an
// exchange must still have to be worth starting (the time it needs).
//
// Until the endpoint has answered while the floor was busy, only the floor's
// worth is asked at once: an endpoint that hangs from the start, or after
// answering logins that came one at a time, gets no more per time-out than
// one that hung in the midst of a storm. That answer opens the first round
// (first_limit).
// The limit then grows while exchanges take about what they
// usually take (the floor: the least median of the last 32 answers seen over
// the last two windows, each of at least 64 answers and a second, so that a
// few quick answers do not set it and latency that creeps up while answers
// pour in is still judged against it; a slower endpoint's is learnt within
// two seconds): by one per
// answer below the threshold (so it doubles each round trip), by one per
// round trip above it. It shrinks by a fifth when an answer takes more than
// twice the floor plus 5 ms, or when most of the last 16 answers say the
// endpoint is overloaded (429, 503: one user's is that user's answer), and
// falls to its floor when an exchange gets no answer: refused or cut
// connections, time-outs of exchanges given ample time. Latency cuts
// once per round: only an exchange started after the last cut can cut
// again, so a burst of late answers to one round cuts once.
//
// The endpoint is judged by how it answers everyone, not by what a few
// users provoke. An exchange that ran far past the ordinary time (overtime)
// while the endpoint answered others started after it quickly was that
// user's: it neither cuts the limit nor counts among the ordinary times,
// and it marks its user slow for a while, as a 429 or 503 does. A slow
// user's exchanges feed nothing but its mark (a quick answer clears it):
// the exchanges' owner runs them one at a time, from a share of the limit.
//
// The time needed is the 90th percentile of the last 32 ordinary answers;
// nothing is needed before the first. No clock of its own: every call says
// when it is, so that all of it can be tried on a test clock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "answer.h"

class EndpointPace {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr long floor_limit = 2;     // what an endpoint that does not answer still gets at once
    static constexpr long first_limit = 16;    // once the endpoint has answered once
    static constexpr std::size_t recent = 32;  // answered exchanges the time needed and the floor are read from
    static constexpr std::size_t judged_after = 8;   // answers before latency is judged at all
    static constexpr std::size_t floor_window = 64;  // answers in a window of the floor (kept over two)
    static constexpr std::chrono::seconds floor_span{1};  // and its least time
    static constexpr std::chrono::seconds slow_for{30};   // how long a user stays marked slow
    static constexpr std::size_t slow_users_kept = 4096;  // at most, marked at once

    // ceiling >= 1: the limit never goes above it (http_max_in_flight).
    explicit EndpointPace(long ceiling) noexcept;

    // One exchange, as it ended.
    struct Ended {
        Outcome outcome = Outcome::not_sent;
        bool timed_out = false;     // no answer within the time it was given
        long status = 0;
        Clock::time_point started;
        // The limit was in use as it ended: others waited for a place, or
        // more than half of it was running (this one included). Only then
        // does an answer grow it: one client's logins, one at a time, prove nothing.
        bool in_use = false;
        Clock::duration given{};    // the time it was given; zero: its own time-out (no deadline)
        Clock::duration needed{};   // the time needed when it started
        std::uint64_t user = 0;     // its user's tag; 0: none known
        bool slow_user = false;     // its user was marked slow when it started
    };
    void ended(const Ended &e, Clock::time_point now) noexcept;

    long limit() const noexcept { return limit_; }
    Clock::duration needed() const noexcept { return needed_; }
    // How long an exchange runs before it is far past the ordinary time;
    // zero while nothing has been answered.
    Clock::duration overtime() const noexcept;
    // The endpoint has quickly answered an exchange started after then.
    bool answered_after(Clock::time_point started) const noexcept {
        return quick_yet_ && last_quick_start_ > started;
    }
    bool slow_user(std::uint64_t user, Clock::time_point now) const noexcept;
    // How many of the limit's places slow users' exchanges may hold at
    // once, and one address's slow exchanges: the rest are kept for logins
    // not known to be slow.
    long slow_share() const noexcept { return limit_ / 4 > 1 ? limit_ / 4 : 1; }
    // One exchange beyond the limit, when each one it counts has run far
    // past the ordinary time without the endpoint answering anyone since:
    // an endpoint that kept some requests for good and answers again is
    // seen doing so before they time out. Spaced by overtime(), doubling
    // while nothing is answered, up to a quarter of the time given.
    bool may_probe(Clock::time_point now) const noexcept {
        return overtime() != Clock::duration::zero() && now >= next_probe_;
    }
    Clock::time_point probe_at() const noexcept { return next_probe_; }
    void probed(Clock::time_point now, Clock::duration given) noexcept;

private:
    void grow() noexcept;
    void cut(Clock::time_point started, Clock::time_point now, bool to_floor) noexcept;
    Clock::duration rank(double q) const noexcept;  // among the last answers
    void mark(std::uint64_t user, Clock::time_point now) noexcept;

    const long ceiling_, floor_;
    long limit_;
    long threshold_;      // growth by one per answer below it, by one per round above
    long partial_ = 0;    // answers towards the next step above the threshold
    Clock::time_point last_cut_{};
    bool cut_yet_ = false;
    bool opened_ = false;  // the first round
    // The floor: the least median over this window and the last one.
    Clock::duration window_min_{}, previous_min_{};
    Clock::time_point window_started_{};
    std::size_t in_window_ = 0;
    bool previous_known_ = false;
    // The last answered exchanges' times, newest overwriting oldest.
    std::array<Clock::duration, recent> times_{};
    std::size_t answered_ = 0;
    Clock::duration needed_{};
    // The last 16 answers: a bit set for each that said overload.
    std::uint16_t overloads_ = 0;
    // The latest start among exchanges answered within overtime().
    Clock::time_point last_quick_start_{};
    bool quick_yet_ = false;
    Clock::time_point next_probe_{};
    Clock::duration probe_gap_{};
    std::unordered_map<std::uint64_t, Clock::time_point> slow_users_;  // until when
};
