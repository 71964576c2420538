#include "decision_cache.h"

#include <new>

DecisionCache::DecisionCache(long lifetime_ms, std::size_t capacity, long stale_ms)
    : sha256_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
      lifetime_(std::chrono::milliseconds(lifetime_ms)),
      stale_(std::chrono::milliseconds(stale_ms)),
      capacity_(capacity),
      refusal_cap_(capacity / refusal_share > 0 ? capacity / refusal_share : 1) {
    if (!sha256_) throw std::bad_alloc();
    index_.reserve(capacity_ < 65536 ? capacity_ : 65536);
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

std::optional<DecisionCache::Kept> DecisionCache::find(const Digest &key, Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    if (fresh(*found->second, now)) return Kept{found->second->granted, found->second->rules};
    if (!within_bound(*found->second, now)) erase(found->second);
    return std::nullopt;
}

std::optional<DecisionCache::Kept> DecisionCache::find_stale(const Digest &key, Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    if (within_bound(*found->second, now)) return Kept{found->second->granted, found->second->rules};
    erase(found->second);
    return std::nullopt;
}

void DecisionCache::store(const Digest &key, const Answer &answer, Clock::time_point arrived,
                          std::optional<std::uint64_t> asked, std::uint64_t user,
                          const std::optional<Said> &said) noexcept {
    // No decision (a 5xx, say) leaves a kept one to answer while the endpoint gives none.
    if (!decided(answer.outcome())) return;
    const Keep keep_for = keep(answer);
    try {
        std::lock_guard<std::mutex> guard(lock_);
        // A newer decision to the same question: what was kept must not
        // answer again, even stale, whether or not this one may be kept.
        auto found = index_.find(key);
        if (found != index_.end()) erase(found->second);
        drop_ended(arrived);
        if (keep_for.fresh <= Clock::duration::zero() || (said && !said->keep)) return;
        const bool granted = said ? said->granted : answer.outcome() == Outcome::granted;
        const bool full = index_.size() >= capacity_;
        if (granted) {
            if (full) erase(refused_.empty() ? granted_.begin() : refused_.begin());
        } else if (full || refused_.size() >= refusal_cap_) {
            // A refusal makes room only at another refusal's expense.
            if (refused_.empty()) return;
            erase(refused_.begin());
        }
        Order &order = granted ? granted_ : refused_;
        const auto expiry = arrived + keep_for.fresh;
        const std::uint64_t generation = asked.value_or(generation_);
        order.push_back(Entry{key, expiry, expiry + keep_for.stale, granted, said ? said->rules : nullptr,
                              generation, generation < forgot_, std::nullopt, std::nullopt});
        const auto it = std::prev(order.end());
        try {
            if (keep_for.fresh < lifetime_ || keep_for.stale < stale_) it->by_end = short_lived_.emplace(it->end, it);
            if (user != 0) it->by_user = by_user_.emplace(user, it);
            index_.emplace(key, it);
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
    return kept;
}

std::size_t DecisionCache::size() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return index_.size();
}

void DecisionCache::erase(Order::iterator it) noexcept {
    index_.erase(it->key);
    if (it->by_end) short_lived_.erase(*it->by_end);
    if (it->by_user) by_user_.erase(*it->by_user);
    list_of(*it).erase(it);
}

void DecisionCache::drop_ended(Clock::time_point now) noexcept {
    // Entries kept for the full lifetime and stale bound end in the order they
    // came, so the oldest of each list is the first of it to end; shorter ones
    // are listed by end. One that can answer nothing more only takes room. Two
    // at most per store: they go faster than entries come, and no check pays
    // for many.
    for (int i = 0; i < 2; ++i) {
        if (!short_lived_.empty() && short_lived_.begin()->first <= now)
            erase(short_lived_.begin()->second);
        else if (!refused_.empty() && refused_.front().end <= now)
            erase(refused_.begin());
        else if (!granted_.empty() && granted_.front().end <= now)
            erase(granted_.begin());
        else
            return;
    }
}
