// The stats an instance publishes under $SYS: counts since start, and the
// time exchanges took over the last interval.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CheckResult;

class Stats {
public:
    using Clock = std::chrono::steady_clock;
    using Topics = std::vector<std::pair<std::string, std::string>>;  // topic, payload

    // Throws std::bad_alloc when the samples' room cannot be reserved.
    Stats(std::chrono::seconds interval, std::string prefix, Clock::time_point start);

    // One decided check; took is the time the check took, counted as an
    // exchange's time when the result says one was attempted.
    void login(const CheckResult &result, Clock::duration took) noexcept;
    void access(const CheckResult &result, Clock::duration took) noexcept;
    // Where logins are answered later: how many exchanges are asked at once
    // now, and how many wait for a place; published with the next figures.
    void queue(long limit, std::size_t waiting) noexcept;
    // Signed tokens' key set: fetches that brought a set, and that failed, since start.
    // Their figures are published once this is called (where tokens are configured).
    void key_set(std::uint64_t fetched, std::uint64_t failed) noexcept {
        tokens_ = true, key_set_fetched_ = fetched, key_set_failed_ = failed;
    }

    // Once an interval has passed: every figure, and the next interval
    // starts. Before that: nothing.
    Topics due(Clock::time_point now);
    // How long until the next stats are due (zero when they are).
    Clock::duration until_due(Clock::time_point now) const noexcept;

private:
    void common(const CheckResult &result, Clock::duration took) noexcept;

    const Clock::duration interval_;
    const std::string prefix_;
    Clock::time_point next_;
    std::uint64_t login_granted_ = 0, login_refused_ = 0, access_granted_ = 0, access_refused_ = 0;
    std::uint64_t login_late_ = 0;
    bool tokens_ = false;
    std::uint64_t token_granted_ = 0, token_refused_ = 0, key_set_fetched_ = 0, key_set_failed_ = 0;
    bool queue_known_ = false;
    long limit_ = 0;
    std::size_t waiting_ = 0;
    std::uint64_t cache_hits_ = 0, cache_stale_ = 0, backoff_refused_ = 0, exchanges_failed_ = 0, by_rules_ = 0;
    // Exchange times in microseconds over the current interval; past the
    // room reserved, the newest replace the oldest.
    static constexpr std::size_t max_samples = 65536;
    std::vector<std::uint32_t> samples_;
    std::size_t recorded_ = 0;
};
