// Decisions the endpoint gave, reused for identical checks for a fixed time
// (http_cache_ms) and, when the endpoint gives no decision, for a bounded time
// past it (http_cache_stale_ms). Entries are keyed by a SHA-256 digest of URL
// and form body, so no password is held in clear. Bounded: an entry that can
// answer nothing more goes first, then the oldest.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "answer.h"

class DecisionCache {
public:
    using Clock = std::chrono::steady_clock;
    using Digest = std::array<unsigned char, 32>;

    // Throws std::bad_alloc when SHA-256 cannot be had.
    DecisionCache(long lifetime_ms, std::size_t capacity, long stale_ms = 0);

    bool digest(const std::string &url, const char *body, std::size_t length, Digest &out) const noexcept;
    // The decision kept for key, if it is within its lifetime at now.
    std::optional<bool> find(const Digest &key, Clock::time_point now) noexcept;
    // The same, or past its lifetime by less than its stale bound: only for a
    // check whose exchange ended without a decision.
    std::optional<bool> find_stale(const Digest &key, Clock::time_point now) noexcept;
    // A decision that arrived replaces what was kept for key, and is kept
    // itself if the answer allows; anything else leaves the cache as it is.
    void store(const Digest &key, const Answer &answer, Clock::time_point arrived) noexcept;
    std::size_t size() const noexcept;

    // How long an answer may be reused (zero: not kept), and how long past
    // that it may still answer while the endpoint gives no decision.
    struct Keep {
        Clock::duration fresh{}, stale{};
    };
    Keep keep(const Answer &answer) const noexcept;

private:
    struct Entry;
    using Order = std::list<Entry>;  // oldest first
    struct Entry {
        Digest key;
        Clock::time_point expiry;  // the end of its lifetime
        Clock::time_point end;     // the end of its stale bound: it answers nothing after
        bool granted;
        // Entries kept for less than the full lifetime or stale bound may end
        // out of order; they are also listed by end.
        std::optional<std::multimap<Clock::time_point, Order::iterator>::iterator> by_end;
    };
    struct DigestHash {
        std::size_t operator()(const Digest &d) const noexcept {
            std::size_t h;
            std::memcpy(&h, d.data(), sizeof h);  // a digest is already uniform
            return h;
        }
    };
    void erase(Order::iterator it) noexcept;
    void drop_ended(Clock::time_point now) noexcept;

    struct MdFree {
        void operator()(EVP_MD *md) const noexcept { EVP_MD_free(md); }
    };
    std::unique_ptr<EVP_MD, MdFree> sha256_;
    const Clock::duration lifetime_, stale_;
    const std::size_t capacity_;
    mutable std::mutex lock_;
    Order order_;
    std::unordered_map<Digest, Order::iterator, DigestHash> index_;
    std::multimap<Clock::time_point, Order::iterator> short_lived_;
};
