// A log line that a flood could repeat once per check (a refused answer, an
// expired grant): said at most once per interval, with how many went unsaid.
#pragma once

#include <chrono>
#include <cstddef>

class RareLine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration every = std::chrono::seconds(10);

    // One more occurrence at now: whether its line is due, and if so how many
    // occurrences before it went unsaid since the last line.
    bool due(Clock::time_point now, std::size_t &unsaid) noexcept {
        ++pending_;
        if (said_at_ != Clock::time_point{} && now - said_at_ < every) return false;
        unsaid = pending_ - 1;
        pending_ = 0;
        said_at_ = now;
        return true;
    }

private:
    Clock::time_point said_at_{};
    std::size_t pending_ = 0;
};
