#include "backoff.h"

#include <algorithm>

#include "log.h"
#include "redact_url.h"

Backoff::Backoff(long first_wait_ms, const std::string &url, long stale_ms)
    : first_wait_(std::chrono::milliseconds(first_wait_ms)),
      cap_(std::max<Clock::duration>(max_wait, std::chrono::milliseconds(first_wait_ms))),
      url_(redact_url(url)),
      stale_ms_(stale_ms) {}

Backoff::Turn Backoff::turn(Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    if (wait_ == Clock::duration::zero()) return Turn::ask;
    if (trial_running_ || now < retry_at_) return Turn::refuse;
    trial_running_ = true;
    return Turn::trial;
}

void Backoff::record(Turn turn, const Answer &answer, Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    if (turn == Turn::trial) trial_running_ = false;
    const Outcome outcome = answer.outcome();
    if (outcome == Outcome::not_sent) return;  // says nothing of the endpoint
    if (answered(outcome)) {
        if (wait_ != Clock::duration::zero()) log_line(LogLevel::notice, "auth_plugin: " + url_ + " answers again");
        wait_ = Clock::duration::zero();
        return;
    }
    if (wait_ == Clock::duration::zero()) {
        wait_ = first_wait_;
        const std::string stale = stale_ms_ > 0 ? "recent decisions (up to " + std::to_string(stale_ms_) +
                                                      " ms past their lifetime) are being served, and its other "
                                                : "its ";
        log_line(LogLevel::warning, "auth_plugin: no answer from " + url_ + " (" + answer.failure() + "); " + stale +
                                        "checks are refused without a request until it answers again");
    } else if (turn == Turn::trial) {
        wait_ = std::min(wait_ * 2, cap_);
    } else {
        return;  // a check that was already under way when the back-off began
    }
    retry_at_ = now + wait_;
}

Backoff::Clock::duration Backoff::wait() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return wait_;
}
