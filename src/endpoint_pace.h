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
// twice the floor plus 5 ms or the endpoint says it is overloaded (429,
// 503), and falls to its floor when an exchange gets no answer: refused or
// cut connections, time-outs of exchanges given ample time. Latency cuts
// once per round: only an exchange started after the last cut can cut
// again, so a burst of late answers to one round cuts once.
//
// The time needed is the 90th percentile of the last 32 answered exchanges;
// nothing is needed before the first. No clock of its own: every call says
// when it is, so that all of it can be tried on a test clock.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>

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
    };
    void ended(const Ended &e, Clock::time_point now) noexcept;

    long limit() const noexcept { return limit_; }
    Clock::duration needed() const noexcept { return needed_; }

private:
    void grow() noexcept;
    void cut(Clock::time_point started, Clock::time_point now, bool to_floor) noexcept;
    Clock::duration rank(double q) const noexcept;  // among the last answers

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
};
