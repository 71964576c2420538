// Fail fast while an endpoint does not answer (http_backoff_ms). After an
// exchange ends without an HTTP answer, checks toward that URL are refused at
// once, without a request, for the back-off wait; then one check at a time
// tries again. Each failed try doubles the wait, up to a cap; any HTTP
// answer, whatever its status, ends the back-off.
#pragma once

#include <chrono>
#include <mutex>
#include <string>

#include "answer.h"

class Backoff {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds max_wait{60000};

    // first_wait_ms > 0; url is used only in the two lines this prints, and
    // stale_ms (http_cache_stale_ms) only to say that recent decisions still answer.
    Backoff(long first_wait_ms, const std::string &url, long stale_ms = 0);

    enum class Turn { ask, trial, refuse };
    // Whether a check may ask now; a trial must be followed by record().
    Turn turn(Clock::time_point now) noexcept;
    // What the exchange of a check that was let through came to.
    void record(Turn turn, const Answer &answer, Clock::time_point now) noexcept;

    Clock::duration wait() const noexcept;  // the current wait; zero when not backing off

private:
    const Clock::duration first_wait_, cap_;
    const std::string url_;  // without user information or query
    const long stale_ms_;
    mutable std::mutex lock_;
    Clock::duration wait_{};  // zero while the endpoint answers
    bool trial_running_ = false;
    Clock::time_point retry_at_{};
};
