#include "stats.h"

#include <algorithm>
#include <limits>

#include "check_result.h"

namespace {

// Milliseconds as plain decimal text, from microseconds: "12", "0.105".
std::string ms_text_from_us(std::uint32_t us) {
    std::string text = std::to_string(us / 1000);
    if (const std::uint32_t frac = us % 1000) {
        std::string digits = std::to_string(1000 + frac).substr(1);
        digits.erase(digits.find_last_not_of('0') + 1);
        text += "." + digits;
    }
    return text;
}

// The nearest-rank percentile q of samples (reordered); 0 when there are none.
std::uint32_t percentile(std::vector<std::uint32_t> &samples, double q) {
    if (samples.empty()) return 0;
    const auto rank = static_cast<std::size_t>(q * static_cast<double>(samples.size()) + 0.999999);
    const auto at = samples.begin() + static_cast<std::ptrdiff_t>(std::max<std::size_t>(rank, 1) - 1);
    std::nth_element(samples.begin(), at, samples.end());
    return *at;
}

}  // namespace

Stats::Stats(std::chrono::seconds interval, std::string prefix, Clock::time_point start)
    : interval_(interval), prefix_(std::move(prefix)), next_(start + interval) {
    samples_.reserve(max_samples);
}

void Stats::login(const CheckResult &result, Clock::duration took) noexcept {
    ++(result.granted() ? login_granted_ : login_refused_);
    login_late_ += result.source == Source::too_late;
    if (result.source == Source::token) ++(result.granted() ? token_granted_ : token_refused_);
    common(result, took);
}

void Stats::access(const CheckResult &result, Clock::duration took) noexcept {
    ++(result.granted() ? access_granted_ : access_refused_);
    by_rules_ += result.source == Source::rules;
    common(result, took);
}

void Stats::queue(long limit, std::size_t waiting) noexcept {
    queue_known_ = true;
    limit_ = limit;
    waiting_ = waiting;
}

void Stats::common(const CheckResult &result, Clock::duration took) noexcept {
    cache_hits_ += result.source == Source::cache;
    cache_stale_ += result.source == Source::stale;
    backoff_refused_ += result.source == Source::backoff;  // not where a kept decision answered instead (stale)
    if (!result.answer.attempted) return;
    exchanges_failed_ += result.answer.outcome() == Outcome::no_answer;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
    const auto sample = static_cast<std::uint32_t>(
        std::clamp<long long>(us, 0, std::numeric_limits<std::uint32_t>::max()));
    if (samples_.size() < max_samples) samples_.push_back(sample);  // within the reserved room
    else samples_[recorded_ % max_samples] = sample;
    ++recorded_;
}

Stats::Topics Stats::due(Clock::time_point now) {
    if (now < next_) return {};
    const std::uint32_t p50 = percentile(samples_, 0.50), p99 = percentile(samples_, 0.99);
    Topics out;
    for (auto [name, value] : {std::pair{"login/granted", login_granted_}, {"login/refused", login_refused_},
                               {"login/late", login_late_},
                               {"access/granted", access_granted_}, {"access/refused", access_refused_},
                               {"access/by_rules", by_rules_},
                               {"cache/hits", cache_hits_}, {"cache/stale", cache_stale_}, {"backoff/refused", backoff_refused_},
                               {"exchanges/failed", exchanges_failed_}})
        out.emplace_back(prefix_ + "/" + name, std::to_string(value));
    out.emplace_back(prefix_ + "/exchange_ms/p50", ms_text_from_us(p50));
    out.emplace_back(prefix_ + "/exchange_ms/p99", ms_text_from_us(p99));
    if (queue_known_) {
        out.emplace_back(prefix_ + "/exchanges/limit", std::to_string(limit_));
        out.emplace_back(prefix_ + "/exchanges/waiting", std::to_string(waiting_));
    }
    if (tokens_)
        for (auto [name, value] : {std::pair{"token/granted", token_granted_}, {"token/refused", token_refused_},
                                   {"token/key_set_fetched", key_set_fetched_}, {"token/key_set_failed", key_set_failed_}})
            out.emplace_back(prefix_ + "/" + name, std::to_string(value));
    samples_.clear();
    recorded_ = 0;
    next_ += interval_;
    if (next_ <= now) next_ = now + interval_;  // after a stall longer than an interval
    return out;
}

Stats::Clock::duration Stats::until_due(Clock::time_point now) const noexcept {
    return now < next_ ? next_ - now : Clock::duration::zero();
}
