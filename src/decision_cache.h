// Decisions the endpoint gave, reused for identical checks for a fixed time
// (http_cache_ms) and, when the endpoint gives no decision, for a bounded time
// past it (http_cache_stale_ms). Entries are keyed by a SHA-256 digest of the
// request (URL with its query, templated header values, body), so no password
// is held in clear. Bounded by a number of entries and by the bytes they
// hold, a login's rules included: an entry that can answer nothing more goes
// first, then the oldest refusal, then the oldest grant. Refusals hold a
// bounded share only, so that a flood of wrong
// passwords cannot push out the grants that carry clients through an outage.
// Entries carry a tag of the user they are about, so that one user's
// decisions can be forgotten without a walk through the others.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "answer.h"

class LoginRules;

class DecisionCache {
public:
    using Clock = std::chrono::steady_clock;
    using Digest = std::array<unsigned char, 32>;
    // A decision: kept, or read from an answer's body beyond its status,
    // with the rules a login's answer carried (if any).
    struct Decision {
        bool granted = false;
        std::shared_ptr<const LoginRules> rules;
        bool others_decide = false;  // "ignore": kept to answer stale only, so that an outage hands it on as before
    };

    // budget: the most bytes the entries may hold, as entry_bytes() and the
    // rules' bytes() count them; 0: room for capacity entries without rules,
    // so that only the count bounds those. Throws std::bad_alloc when SHA-256
    // cannot be had.
    DecisionCache(long lifetime_ms, std::size_t capacity, long stale_ms = 0, std::size_t budget = 0);

    // headers: a templated request's header lines (empty for the fixed ones).
    bool digest(const std::string &url, std::string_view headers, const char *body, std::size_t length,
                Digest &out) const noexcept;
    bool digest(const std::string &url, const char *body, std::size_t length, Digest &out) const noexcept {
        return digest(url, {}, body, length, out);
    }
    // The decision kept for key, if it is within its lifetime at now.
    std::optional<Decision> find(const Digest &key, Clock::time_point now) noexcept;
    // The same, or past its lifetime by less than its stale bound: only for a
    // check whose exchange ended without a decision.
    std::optional<Decision> find_stale(const Digest &key, Clock::time_point now) noexcept;
    // A decision that arrived replaces what was kept for key, and is kept
    // itself if the answer allows; anything else leaves the cache as it is.
    // asked: generation() when the question was asked; an answer to a
    // question asked before a reload or any forget is kept as expired (for
    // its stale bound): it may reflect what was forgotten.
    // user: a tag of the user the question is about (0: none), for forget.
    // said: what the answer's body decided, where it was read; it replaces
    // the status's decision. others_decide: the answer let the broker's
    // other checks decide: it never answers fresh (they decide each time),
    // only stale, within its lifetime and stale bound.
    void store(const Digest &key, const Answer &answer, Clock::time_point arrived,
               std::optional<std::uint64_t> asked = std::nullopt, std::uint64_t user = 0,
               const std::optional<Decision> &said = std::nullopt, bool others_decide = false) noexcept;
    // Every decision kept so far stops answering as fresh, yet keeps its
    // stale bound (for a reload, whose new policy the endpoint decides).
    // Decisions stored afterwards are fresh as usual.
    void expire_all() noexcept;
    // The decisions stored with this user tag stop answering as fresh:
    // erased, or with keep_stale kept for their stale bound only. Costs the
    // user's own entries (and a look-up), never a walk through the cache.
    // Two names with one tag are forgotten together: the other's decisions
    // are merely asked again. Returns how many entries changed.
    std::size_t forget(std::uint64_t user, bool keep_stale) noexcept;
    // keep_stale: expire_all(); otherwise every entry is erased. Returns how
    // many entries there were.
    std::size_t forget_all(bool keep_stale) noexcept;
    std::uint64_t generation() const noexcept;
    std::size_t size() const noexcept;
    // What the entries hold, as counted against the budget.
    std::size_t bytes() const noexcept;

    // What one entry without rules holds on the heap: its node in the list,
    // in the hash index (and its share of the buckets), and in the lists by
    // end (kept for less than the full lifetime or stale bound) and by user
    // (with a user tag). Estimated from the nodes' sizes as heap_bytes()
    // counts allocations; feature_bench measures it against the heap.
    static std::size_t entry_bytes(bool short_lived, bool tagged) noexcept;
    // The budget that 0 stands for.
    static std::size_t default_budget(std::size_t capacity) noexcept;

    // How long an answer may be reused (zero: not kept), and how long past
    // that it may still answer while the endpoint gives no decision.
    struct Keep {
        Clock::duration fresh{}, stale{};
    };
    Keep keep(const Answer &answer) const noexcept;

    // Refusals hold at most 1/refusal_share of the entries and of the budget
    // (at least one entry without rules): the rest stays for grants,
    // whatever number of refusals comes.
    static constexpr std::size_t refusal_share = 4;

private:
    struct Entry;
    using Order = std::list<Entry>;  // oldest first
    using ByTime = std::multimap<Clock::time_point, Order::iterator>;
    // Ordered rather than hashed: its iterators, kept in the entries, must
    // survive insertions.
    using ByUser = std::multimap<std::uint64_t, Order::iterator>;
    struct Entry {
        Digest key;
        Clock::time_point expiry;  // the end of its lifetime
        Clock::time_point end;     // the end of its stale bound: it answers nothing after
        std::shared_ptr<const LoginRules> rules;
        std::uint64_t generation;  // generation() when asked: fresh only if no reload came since
        std::size_t bytes;         // counted against the budget: the entry and its rules
        // Entries kept for less than the full lifetime or stale bound may end
        // out of order; they are also listed by end.
        std::optional<ByTime::iterator> by_end;
        std::optional<ByUser::iterator> by_user;  // with a user tag
        bool granted;
        bool forgotten;      // answers stale only, whatever its expiry
        bool others_decide;  // "ignore": answers stale only (kept with the refusals)
    };
    struct DigestHash {
        std::size_t operator()(const Digest &d) const noexcept {
            std::size_t h;
            std::memcpy(&h, d.data(), sizeof h);  // a digest is already uniform
            return h;
        }
    };
    Order &list_of(const Entry &e) noexcept { return e.granted ? granted_ : refused_; }
    bool current(const Entry &e) const noexcept { return !e.forgotten && e.generation >= reloaded_; }
    bool fresh(const Entry &e, Clock::time_point now) const noexcept { return current(e) && now < e.expiry; }
    // Within its stale bound; one that was never to answer stale
    // (must-revalidate, say) answers nothing once expired by a reload.
    bool within_bound(const Entry &e, Clock::time_point now) const noexcept {
        return now < e.end && (current(e) || e.expiry < e.end);
    }
    void erase(Order::iterator it) noexcept;
    // The first entry found that can answer nothing more at now, if any.
    std::optional<Order::iterator> ended(Clock::time_point now) noexcept;
    void drop_ended(Clock::time_point now) noexcept;
    // Room for one more entry of this many bytes, within both bounds and the
    // refusals' share; false, with no entry that answers evicted, when there
    // is none to be had.
    bool make_room(bool granted, std::size_t bytes, Clock::time_point now) noexcept;

    struct MdFree {
        void operator()(EVP_MD *md) const noexcept { EVP_MD_free(md); }
    };
    std::unique_ptr<EVP_MD, MdFree> sha256_;
    const Clock::duration lifetime_, stale_;
    const std::size_t capacity_, refusal_cap_;
    const std::size_t budget_, refusal_budget_;
    mutable std::mutex lock_;
    Order granted_, refused_;
    std::size_t bytes_ = 0, refused_bytes_ = 0;  // counted, of all entries and of the refusals
    // Counts reloads and forgets; entries asked before the last of either
    // are not current.
    std::uint64_t generation_ = 0, reloaded_ = 0, forgot_ = 0;
    std::unordered_map<Digest, Order::iterator, DigestHash> index_;
    ByTime short_lived_;
    ByUser by_user_;
};
