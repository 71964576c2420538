#include "endpoint_pace.h"

#include <algorithm>

namespace {

// Answers within twice the floor and this are "about the floor": below a
// few milliseconds, a shared machine's own jitter says nothing of the endpoint.
constexpr std::chrono::milliseconds slack{5};

}  // namespace

EndpointPace::EndpointPace(long ceiling) noexcept
    : ceiling_(std::max(1L, ceiling)),
      floor_(std::min(floor_limit, ceiling_)),
      limit_(floor_),
      threshold_(ceiling_) {}

EndpointPace::Clock::duration EndpointPace::rank(double q) const noexcept {
    std::array<Clock::duration, recent> sorted = times_;
    const std::size_t n = std::min(answered_, recent);
    // Nearest rank: the q-th of n is the ceil(q n)-th.
    const auto r = std::max<std::size_t>(1, static_cast<std::size_t>(q * static_cast<double>(n) + 0.999999));
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(r - 1),
                     sorted.begin() + static_cast<std::ptrdiff_t>(n));
    return sorted[r - 1];
}

void EndpointPace::ended(const Ended &e, Clock::time_point now) noexcept {
    const Outcome outcome = e.outcome;
    if (outcome == Outcome::not_sent) return;  // says nothing of the endpoint
    if (!answered(outcome)) {
        // A time-out is the endpoint's only when the exchange had ample time
        // by its own recent answers; otherwise the login's time ran out.
        const bool ample = e.given == Clock::duration::zero() || e.needed == Clock::duration::zero() ||
                           e.given >= 2 * e.needed;
        cut(e.started, now, !e.timed_out || ample);
        return;
    }
    // The endpoint answers under load: the first round opens (never lower than a limit grown since).
    if (!opened_ && e.in_use) {
        opened_ = true;
        limit_ = std::max(limit_, std::min(first_limit, ceiling_));
    }
    const Clock::duration took = std::max(Clock::duration::zero(), now - e.started);
    times_[answered_ % recent] = took;
    ++answered_;
    needed_ = rank(0.9);

    // The median of a few answers is one of them: the floor waits for more.
    bool judged = false;
    Clock::duration floor{};
    if (answered_ >= judged_after) {
        const Clock::duration median = rank(0.5);
        if (in_window_ == 0) window_started_ = now;
        window_min_ = in_window_ == 0 ? median : std::min(window_min_, median);
        if (++in_window_ >= floor_window && now - window_started_ >= floor_span) {
            previous_min_ = window_min_;
            previous_known_ = true;
            in_window_ = 0;
        }
        floor = in_window_ == 0 ? previous_min_ : previous_known_ ? std::min(previous_min_, window_min_) : window_min_;
        judged = answered_ > judged_after;
    }

    if (e.status == 429 || e.status == 503) {
        cut(e.started, now, false);  // it says so itself
    } else if (judged && took > 2 * floor + slack) {
        cut(e.started, now, false);
    } else if (e.in_use) {
        grow();
    }
}

void EndpointPace::grow() noexcept {
    if (limit_ >= ceiling_) return;
    if (limit_ < threshold_) {
        ++limit_;
    } else if (++partial_ >= limit_) {
        partial_ = 0;
        ++limit_;
    }
}

void EndpointPace::cut(Clock::time_point started, Clock::time_point now, bool to_floor) noexcept {
    if (to_floor) {
        // Each of a round's failures lands here; only the first halves the threshold.
        if (limit_ > floor_) threshold_ = std::max(floor_, limit_ / 2);
        limit_ = floor_;
    } else {
        if (cut_yet_ && started < last_cut_) return;  // a round already cut for
        limit_ = std::max(floor_, limit_ * 4 / 5);
        threshold_ = limit_;
    }
    partial_ = 0;
    cut_yet_ = true;
    last_cut_ = now;
}
