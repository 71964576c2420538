#include "endpoint_pace.h"

#include <algorithm>

namespace {

// Exchanges within twice the floor and this are "about the floor": below a
// few milliseconds, a shared machine's own jitter says nothing of the endpoint.
constexpr std::chrono::milliseconds slack{5};

}  // namespace

EndpointPace::EndpointPace(long ceiling) noexcept
    : ceiling_(std::max(1L, ceiling)),
      floor_(std::min(floor_limit, ceiling_)),
      limit_(std::min(first_limit, ceiling_)),
      threshold_(ceiling_) {}

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
    const Clock::duration took = std::max(Clock::duration::zero(), now - e.started);
    times_[answered_ % recent] = took;
    ++answered_;
    std::array<Clock::duration, recent> sorted = times_;
    const std::size_t n = std::min(answered_, recent);
    // Nearest rank: the 90th percentile of n is the ceil(0.9 n)-th.
    const std::size_t rank = (9 * n + 9) / 10;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(rank - 1),
                     sorted.begin() + static_cast<std::ptrdiff_t>(n));
    needed_ = sorted[rank - 1];

    window_min_ = in_window_ == 0 ? took : std::min(window_min_, took);
    if (++in_window_ == floor_window) {
        previous_min_ = window_min_;
        previous_known_ = true;
        in_window_ = 0;
    }
    const Clock::duration floor =
        in_window_ == 0 ? previous_min_ : previous_known_ ? std::min(previous_min_, window_min_) : window_min_;

    if (e.status == 429 || e.status == 503) {
        cut(e.started, now, false);  // it says so itself
    } else if (took > 2 * floor + slack) {
        cut(e.started, now, false);
    } else {
        grow(e.running);
    }
}

void EndpointPace::grow(long running) noexcept {
    // Only a limit in use is shown to be enough: an idle one proves nothing.
    if (2 * running < limit_ || limit_ >= ceiling_) return;
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
