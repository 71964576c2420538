#include "decision_cache.h"

#include <algorithm>
#include <new>
#include <utility>

#include "heap_bytes.h"
#include "login_rules.h"

DecisionCache::DecisionCache(long lifetime_ms, std::size_t capacity, long stale_ms, std::size_t budget)
    : sha256_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
      lifetime_(std::chrono::milliseconds(lifetime_ms)),
      stale_(std::chrono::milliseconds(stale_ms)),
      capacity_(capacity),
      refusal_cap_(capacity / refusal_share > 0 ? capacity / refusal_share : 1),
      budget_(budget > 0 ? budget : default_budget(capacity)),
      refusal_budget_(std::max(budget_ / refusal_share, std::min(budget_, entry_bytes(true, true)))) {
    if (!sha256_) throw std::bad_alloc();
    // Buckets for no more entries than either bound lets in.
    index_.reserve(std::min({capacity_, budget_ / entry_bytes(false, false), std::size_t{65536}}));
}

std::size_t DecisionCache::entry_bytes(bool short_lived, bool tagged) noexcept {
    // The standard library's nodes: a list node has two links; a hash node
    // one, and at most its hash; a tree node three and its colour, a word.
    constexpr std::size_t word = sizeof(void *);
    constexpr std::size_t listed = heap_bytes(2 * word + sizeof(Entry));
    constexpr std::size_t indexed = heap_bytes(2 * word + sizeof(decltype(index_)::value_type));
    // The buckets are one array, of one link per entry, or up to two just after it grew.
    constexpr std::size_t buckets = 2 * word;
    constexpr std::size_t by_end = heap_bytes(4 * word + sizeof(ByTime::value_type));
    constexpr std::size_t by_user = heap_bytes(4 * word + sizeof(ByUser::value_type));
    return listed + indexed + buckets + (short_lived ? by_end : 0) + (tagged ? by_user : 0);
}

std::size_t DecisionCache::default_budget(std::size_t capacity) noexcept {
    const std::size_t most = entry_bytes(true, true);
    return capacity > SIZE_MAX / most ? SIZE_MAX : capacity * most;
}

bool DecisionCache::digest(const std::string &url, std::string_view headers, const char *body, std::size_t length,
                           Digest &out) const noexcept {
    struct CtxFree {
        void operator()(EVP_MD_CTX *c) const noexcept { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
    unsigned int size = 0;
    // A NUL keeps URL, header lines and body apart: no URL or header holds one.
    return ctx && EVP_DigestInit_ex(ctx.get(), sha256_.get(), nullptr) == 1 &&
           EVP_DigestUpdate(ctx.get(), url.c_str(), url.size() + 1) == 1 &&
           (headers.empty() || (EVP_DigestUpdate(ctx.get(), headers.data(), headers.size()) == 1 &&
                                EVP_DigestUpdate(ctx.get(), "", 1) == 1)) &&
           EVP_DigestUpdate(ctx.get(), body, length) == 1 &&
           EVP_DigestFinal_ex(ctx.get(), out.data(), &size) == 1 && size == out.size();
}

DecisionCache::Keep DecisionCache::keep(const Answer &a) const noexcept {
    if (!decided(a.outcome()) || a.reuse_forbidden) return {};
    Keep k{lifetime_, stale_};
    if (a.max_age_s >= 0) k.fresh = std::min<Clock::duration>(k.fresh, std::chrono::seconds(a.max_age_s));
    if (a.stale_forbidden)
        k.stale = Clock::duration::zero();
    else if (a.stale_if_error_s >= 0)
        k.stale = std::min<Clock::duration>(k.stale, std::chrono::seconds(a.stale_if_error_s));
    return k;
}

std::optional<DecisionCache::Decision> DecisionCache::find(const Digest &key, Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    if (fresh(*found->second, now) && !found->second->others_decide)
        return Decision{found->second->granted, found->second->rules, false};
    if (!within_bound(*found->second, now)) erase(found->second);
    return std::nullopt;
}

std::optional<DecisionCache::Decision> DecisionCache::find_stale(const Digest &key, Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    if (within_bound(*found->second, now))
        return Decision{found->second->granted, found->second->rules, found->second->others_decide};
    erase(found->second);
    return std::nullopt;
}

void DecisionCache::store(const Digest &key, const Answer &answer, Clock::time_point arrived,
                          std::optional<std::uint64_t> asked, std::uint64_t user,
                          const std::optional<Decision> &said, bool others_decide) noexcept {
    // No decision (a 5xx, say) leaves a kept one to answer while the endpoint gives none.
    if (!decided(answer.outcome())) return;
    const Keep keep_for = keep(answer);
    const bool short_lived = keep_for.fresh < lifetime_ || keep_for.stale < stale_;
    const std::shared_ptr<const LoginRules> *rules = said ? &said->rules : nullptr;
    // An object of rules that several entries share is counted in each: a
    // bound on the high side. Each login's answer is read into its own.
    const std::size_t cost =
        entry_bytes(short_lived, user != 0) + (rules && *rules ? (*rules)->bytes() : 0);
    try {
        std::lock_guard<std::mutex> guard(lock_);
        // A newer decision to the same question: what was kept must not
        // answer again, even stale, whether or not this one may be kept.
        auto found = index_.find(key);
        if (found != index_.end()) erase(found->second);
        drop_ended(arrived);
        if (keep_for.fresh <= Clock::duration::zero() || (others_decide && keep_for.stale <= Clock::duration::zero()))
            return;
        // "ignore" is kept with the refusals, never fresh: from the start it
        // is past its lifetime and within its stale bound, for as long as a
        // decision would have been kept and answered stale.
        const bool granted = !others_decide && (said ? said->granted : answer.outcome() == Outcome::granted);
        if (!make_room(granted, cost, arrived)) return;
        Order &order = granted ? granted_ : refused_;
        const auto expiry = others_decide ? arrived : arrived + keep_for.fresh;
        const auto end = arrived + keep_for.fresh + keep_for.stale;
        const std::uint64_t generation = asked.value_or(generation_);
        order.push_back(Entry{key, expiry, end, rules ? *rules : nullptr, generation, cost, std::nullopt,
                              std::nullopt, granted, generation < forgot_, others_decide});
        const auto it = std::prev(order.end());
        try {
            if (short_lived) it->by_end = short_lived_.emplace(it->end, it);
            if (user != 0) it->by_user = by_user_.emplace(user, it);
            index_.emplace(key, it);
            bytes_ += cost;
            if (!granted) refused_bytes_ += cost;
        } catch (...) {
            if (it->by_end) short_lived_.erase(*it->by_end);
            if (it->by_user) by_user_.erase(*it->by_user);
            order.erase(it);
        }
    } catch (...) {
        // Out of memory: the answer is simply not kept.
    }
}

std::uint64_t DecisionCache::generation() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return generation_;
}

void DecisionCache::expire_all() noexcept { forget_all(true); }

std::size_t DecisionCache::forget(std::uint64_t user, bool keep_stale) noexcept {
    if (user == 0) return 0;
    std::lock_guard<std::mutex> guard(lock_);
    forgot_ = ++generation_;  // and an answer on its way about this user
    std::size_t changed = 0;
    auto [at, last] = by_user_.equal_range(user);
    while (at != last) {
        const Order::iterator it = (at++)->second;  // before erase takes its node
        if (keep_stale && it->expiry < it->end) {
            // Its end is unchanged, so the lists by end stay in order.
            if (current(*it)) ++changed;
            it->forgotten = true;
        } else {
            erase(it);  // it would answer nothing more
            ++changed;
        }
    }
    return changed;
}

std::size_t DecisionCache::forget_all(bool keep_stale) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    const std::size_t kept = index_.size();
    if (keep_stale) {
        reloaded_ = ++generation_;
        return kept;
    }
    forgot_ = ++generation_;
    index_.clear();
    short_lived_.clear();
    by_user_.clear();
    granted_.clear();
    refused_.clear();
    bytes_ = refused_bytes_ = 0;
    return kept;
}

std::size_t DecisionCache::size() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return index_.size();
}

std::size_t DecisionCache::bytes() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return bytes_;
}

void DecisionCache::erase(Order::iterator it) noexcept {
    index_.erase(it->key);
    if (it->by_end) short_lived_.erase(*it->by_end);
    if (it->by_user) by_user_.erase(*it->by_user);
    bytes_ -= it->bytes;
    if (!it->granted) refused_bytes_ -= it->bytes;
    list_of(*it).erase(it);
}

std::optional<DecisionCache::Order::iterator> DecisionCache::ended(Clock::time_point now) noexcept {
    // Entries kept for the full lifetime and stale bound end in the order they
    // came, so the oldest of each list is the first of it to end; shorter ones
    // are listed by end.
    if (!short_lived_.empty() && short_lived_.begin()->first <= now) return short_lived_.begin()->second;
    if (!refused_.empty() && refused_.front().end <= now) return refused_.begin();
    if (!granted_.empty() && granted_.front().end <= now) return granted_.begin();
    return std::nullopt;
}

void DecisionCache::drop_ended(Clock::time_point now) noexcept {
    // One that can answer nothing more only takes room. Two at most per
    // store: they go faster than entries come, and no check pays for many.
    for (int i = 0; i < 2; ++i) {
        const auto gone = ended(now);
        if (!gone) return;
        erase(*gone);
    }
}

bool DecisionCache::make_room(bool granted, std::size_t bytes, Clock::time_point now) noexcept {
    // An entry larger than its whole bound would empty the cache for nothing.
    if (bytes > (granted ? budget_ : refusal_budget_)) return false;
    auto crowded = [&] {
        return index_.size() >= capacity_ || bytes_ + bytes > budget_ ||
               (!granted && (refused_.size() >= refusal_cap_ || refused_bytes_ + bytes > refusal_budget_));
    };
    // Each turn evicts one entry, so this ends; an entry larger than the rest
    // of the room pays for making it, once.
    while (crowded()) {
        if (const auto gone = ended(now)) {
            erase(*gone);
            continue;
        }
        if (!granted) {
            // A refusal makes room only at another refusal's expense: where
            // the grants alone leave none, nothing is evicted for it.
            if (index_.size() - refused_.size() >= capacity_ || bytes_ - refused_bytes_ + bytes > budget_) return false;
            erase(refused_.begin());  // not empty: what crowds is theirs
        } else if (!refused_.empty()) {
            erase(refused_.begin());
        } else if (!granted_.empty()) {
            erase(granted_.begin());
        } else {
            return false;  // no room at all (a capacity of 0)
        }
    }
    return true;
}
