// The key set that signed tokens are verified with, fetched from the
// service's JWKS URL (http_jwt_jwks_uri) with the plug-in's own HTTP client
// (its TLS, fixed headers and socket), on the thread of the check that needs
// it. Kept for the answer's Cache-Control max-age, bounded to a minute and a
// day (five minutes without one); fetched again for a token whose kid it
// lacks, at most once per ten seconds however many such tokens arrive; the
// last good set kept while the service cannot be reached, tried again at most
// once per ten seconds. Only one thread uses it (the broker's).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "http_client.h"
#include "rare_line.h"

class TokenKeys;

class KeySetSource {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration min_age = std::chrono::minutes(1), max_age = std::chrono::hours(24),
                                     default_age = std::chrono::minutes(5), retry = std::chrono::seconds(10);

    // url: where the set is; shown: the same as it may be printed. now: the
    // clock (tests turn their own). Throws std::bad_alloc.
    KeySetSource(HttpClient &client, const Settings &settings, std::string url, std::string shown,
                 std::function<Clock::time_point()> now = Clock::now);

    // The keys in force, fetched first when none are had yet or they are past
    // their age (unless a fetch failed within retry); null while none was
    // ever had.
    std::shared_ptr<const TokenKeys> keys() noexcept;
    // A token named a kid the set lacks: fetched again unless a fetch for
    // an unknown kid (or one that failed) was within retry. The keys in
    // force after it.
    std::shared_ptr<const TokenKeys> unknown_kid() noexcept;
    // A reload: the next need fetches the set again (a key removed from it
    // ends what it admitted), the failure pace aside.
    void expire() noexcept { fresh_until_ = {}; }

    // Changes whenever another set comes into force.
    std::uint64_t generation() const noexcept { return generation_; }
    std::uint64_t fetched() const noexcept { return fetched_; }
    std::uint64_t failed() const noexcept { return failed_; }
    // What is in force, for the start-up line: the keys, or that none are had.
    std::string describe() const;

private:
    // Fetched now; when it ended.
    Clock::time_point fetch() noexcept;
    // The one line for a fetch that failed (why: fixed words), rate-limited.
    void tell_failed(const std::string &why, Clock::time_point now) noexcept;

    HttpClient &client_;
    Request request_;
    const std::string shown_;
    const std::function<Clock::time_point()> now_;
    std::shared_ptr<const TokenKeys> keys_;
    Clock::time_point fresh_until_{}, failed_at_{}, unknown_at_{};
    bool ever_failed_ = false, ever_unknown_ = false;
    std::uint64_t generation_ = 0, fetched_ = 0, failed_ = 0;
    std::string last_described_;
    RareLine failed_line_;
};
