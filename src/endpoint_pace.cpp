#include "endpoint_pace.h"

#include <algorithm>
#include <bitset>

namespace {

// Answers within twice the floor and this are "about the floor": below a
// few milliseconds, a shared machine's own jitter says nothing of the endpoint.
constexpr std::chrono::milliseconds slack{5};
// Far past the ordinary time: four times it, and at least this more, so
// that an endpoint answering in a millisecond or two does not make every
// scheduling hiccup a slow user.
constexpr std::chrono::milliseconds overtime_slack{100};
// Of the last 16 answers, more than this many saying overload cut the limit.
constexpr std::size_t overload_majority = 8;

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

EndpointPace::Clock::duration EndpointPace::overtime() const noexcept {
    if (answered_ == 0) return Clock::duration::zero();
    return std::max<Clock::duration>(4 * needed_, needed_ + overtime_slack);
}

bool EndpointPace::slow_user(std::uint64_t user, Clock::time_point now) const noexcept {
    if (user == 0 || slow_users_.empty()) return false;
    const auto found = slow_users_.find(user);
    return found != slow_users_.end() && found->second > now;
}

void EndpointPace::mark(std::uint64_t user, Clock::time_point now) noexcept {
    if (user == 0) return;
    try {
        if (slow_users_.size() >= slow_users_kept && slow_users_.find(user) == slow_users_.end()) {
            for (auto it = slow_users_.begin(); it != slow_users_.end();)
                it = it->second <= now ? slow_users_.erase(it) : std::next(it);
            if (slow_users_.size() >= slow_users_kept) return;  // its exchanges still go overtime
        }
        slow_users_[user] = now + slow_for;
    } catch (...) {
        // unmarked: it is judged by its exchanges again
    }
}

void EndpointPace::probed(Clock::time_point now, Clock::duration given) noexcept {
    const Clock::duration far = overtime();
    const Clock::duration most = std::max(far, given > Clock::duration::zero() ? given / 4 : 16 * far);
    probe_gap_ = probe_gap_ == Clock::duration::zero() ? far : std::min(2 * probe_gap_, most);
    next_probe_ = now + probe_gap_;
}

void EndpointPace::ended(const Ended &e, Clock::time_point now) noexcept {
    const Outcome outcome = e.outcome;
    if (outcome == Outcome::not_sent) return;  // says nothing of the endpoint
    const Clock::duration took = std::max(Clock::duration::zero(), now - e.started);
    const bool overload = e.status == 429 || e.status == 503;
    const Clock::duration far = overtime();
    const bool quick = answered(outcome) && !overload && (far == Clock::duration::zero() || took <= far);
    // Ran far past the ordinary time while others were answered: that user's.
    const bool own = e.user != 0 && far != Clock::duration::zero() && took > far && answered_after(e.started);
    if (quick) {
        last_quick_start_ = quick_yet_ ? std::max(last_quick_start_, e.started) : e.started;
        quick_yet_ = true;
    }
    if (answered(outcome)) {
        probe_gap_ = Clock::duration::zero();
        next_probe_ = Clock::time_point{};
    }
    if (e.slow_user) {
        if (quick) slow_users_.erase(e.user);  // quick again
        else mark(e.user, now);
        return;
    }
    if (own || overload) mark(e.user, now);
    if (own) return;
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

    overloads_ = static_cast<std::uint16_t>((overloads_ << 1) | (overload ? 1u : 0u));
    if (overload) {
        // Most answers say so: the endpoint's; otherwise one user's limit.
        if (std::bitset<16>(overloads_).count() > overload_majority) cut(e.started, now, false);
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
