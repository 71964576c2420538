#include "decision_cache.h"

#include <new>

DecisionCache::DecisionCache(long lifetime_ms, std::size_t capacity)
    : sha256_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
      lifetime_(std::chrono::milliseconds(lifetime_ms)),
      capacity_(capacity) {
    if (!sha256_) throw std::bad_alloc();
    index_.reserve(capacity_ < 65536 ? capacity_ : 65536);
}

bool DecisionCache::digest(const std::string &url, const char *body, std::size_t length, Digest &out) const noexcept {
    struct CtxFree {
        void operator()(EVP_MD_CTX *c) const noexcept { EVP_MD_CTX_free(c); }
    };
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(EVP_MD_CTX_new());
    unsigned int size = 0;
    // The NUL keeps URL and body apart: no URL holds one.
    return ctx && EVP_DigestInit_ex(ctx.get(), sha256_.get(), nullptr) == 1 &&
           EVP_DigestUpdate(ctx.get(), url.c_str(), url.size() + 1) == 1 &&
           EVP_DigestUpdate(ctx.get(), body, length) == 1 &&
           EVP_DigestFinal_ex(ctx.get(), out.data(), &size) == 1 && size == out.size();
}

DecisionCache::Clock::duration DecisionCache::lifetime(const Answer &a) const noexcept {
    if (!decided(a.outcome()) || a.reuse_forbidden) return Clock::duration::zero();
    if (a.max_age_s >= 0) return std::min<Clock::duration>(lifetime_, std::chrono::seconds(a.max_age_s));
    return lifetime_;
}

std::optional<bool> DecisionCache::find(const Digest &key, Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = index_.find(key);
    if (found == index_.end()) return std::nullopt;
    if (found->second->expiry <= now) {
        erase(found->second);
        return std::nullopt;
    }
    return found->second->granted;
}

void DecisionCache::store(const Digest &key, const Answer &answer, Clock::time_point arrived) noexcept {
    const Clock::duration keep = lifetime(answer);
    if (keep <= Clock::duration::zero()) return;
    try {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = index_.find(key);
        if (found != index_.end()) erase(found->second);  // a newer answer to the same question
        if (index_.size() >= capacity_) make_room(arrived);
        order_.push_back(Entry{key, arrived + keep, answer.outcome() == Outcome::granted, std::nullopt});
        const auto it = std::prev(order_.end());
        try {
            if (keep < lifetime_) it->by_expiry = short_lived_.emplace(it->expiry, it);
            index_.emplace(key, it);
        } catch (...) {
            if (it->by_expiry) short_lived_.erase(*it->by_expiry);
            order_.erase(it);
        }
    } catch (...) {
        // Out of memory: the answer is simply not kept.
    }
}

std::size_t DecisionCache::size() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return index_.size();
}

void DecisionCache::erase(Order::iterator it) noexcept {
    index_.erase(it->key);
    if (it->by_expiry) short_lived_.erase(*it->by_expiry);
    order_.erase(it);
}

void DecisionCache::make_room(Clock::time_point now) noexcept {
    // Entries kept for the full lifetime expire in the order they came, so
    // the oldest is the first of them to expire; shorter ones are listed by
    // expiry. An expired entry goes first, else the oldest.
    if (!short_lived_.empty() && short_lived_.begin()->first <= now)
        erase(short_lived_.begin()->second);
    else if (!order_.empty())
        erase(order_.begin());
}
