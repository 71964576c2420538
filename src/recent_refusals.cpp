#include "recent_refusals.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include "heap_bytes.h"

void RecentRefusals::MacFree::operator()(EVP_MAC_CTX *c) const noexcept { EVP_MAC_CTX_free(c); }

RecentRefusals::RecentRefusals() {
    struct Key {
        unsigned char bytes[32];
        ~Key() { OPENSSL_cleanse(bytes, sizeof bytes); }
    } key;
    if (RAND_bytes(key.bytes, sizeof key.bytes) != 1) throw std::runtime_error("no random key for refusals");
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (hmac) mac_.reset(EVP_MAC_CTX_new(hmac));
    EVP_MAC_free(hmac);  // the context holds its own reference
    char sha256[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, sha256, 0),
                                 OSSL_PARAM_construct_end()};
    if (!mac_ || EVP_MAC_init(mac_.get(), key.bytes, sizeof key.bytes, params) != 1)
        throw std::runtime_error("no HMAC-SHA256 for refusals");
}

bool RecentRefusals::digest(char tag, const Login &login, Digest &out) const noexcept {
    std::unique_ptr<EVP_MAC_CTX, MacFree> ctx(EVP_MAC_CTX_dup(mac_.get()));
    if (!ctx) return false;
    // Each field with its presence and length, so that no two logins run
    // into one another and no user name is taken for none.
    const auto field = [&](const char *s) {
        const std::uint64_t length = s ? std::strlen(s) : 0;
        unsigned char head[9] = {static_cast<unsigned char>(s != nullptr)};
        for (int i = 0; i < 8; ++i) head[1 + i] = static_cast<unsigned char>(length >> (8 * i));
        return EVP_MAC_update(ctx.get(), head, sizeof head) == 1 &&
               (!length || EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char *>(s), length) == 1);
    };
    const unsigned char kind = static_cast<unsigned char>(tag);
    std::size_t size = 0;
    return EVP_MAC_update(ctx.get(), &kind, 1) == 1 && field(login.address) && field(login.clientid) &&
           (tag != 'c' || (field(login.username) && field(login.password))) &&
           EVP_MAC_final(ctx.get(), out.data(), &size, out.size()) == 1 && size == out.size();
}

std::size_t RecentRefusals::DigestHash::operator()(const Digest &d) const noexcept {
    std::size_t h;
    std::memcpy(&h, d.data(), sizeof h);
    return h;
}

template <typename Value>
const Value *RecentRefusals::Recent<Value>::find(const Digest &key) const noexcept {
    const auto found = index_.find(key);
    return found == index_.end() ? nullptr : &found->second->value;
}

template <typename Value>
Value &RecentRefusals::Recent<Value>::touch(const Digest &key) {
    if (auto found = index_.find(key); found != index_.end()) {
        order_.splice(order_.end(), order_, found->second);
        return found->second->value;
    }
    order_.push_back({key, Value{}});
    try {
        index_.emplace(key, std::prev(order_.end()));
    } catch (...) {
        order_.pop_back();
        throw;
    }
    if (index_.size() > max_entries) {
        index_.erase(order_.front().key);
        order_.pop_front();
    }
    return order_.back().value;
}

template <typename Value>
std::size_t RecentRefusals::Recent<Value>::entry_bytes() noexcept {
    // A list node has two links; a hash node one and its hash; the buckets
    // one link per entry, or up to two just after they grew.
    constexpr std::size_t word = sizeof(void *);
    return heap_bytes(2 * word + sizeof(Node)) +
           heap_bytes(2 * word + sizeof(typename decltype(index_)::value_type)) + 2 * word;
}

std::size_t RecentRefusals::bytes() const noexcept {
    return creds_.size() * decltype(creds_)::entry_bytes() + pairs_.size() * decltype(pairs_)::entry_bytes();
}

std::size_t RecentRefusals::max_bytes() noexcept {
    return max_entries * (decltype(creds_)::entry_bytes() + decltype(pairs_)::entry_bytes());
}

bool RecentRefusals::refuses(const Login &login, Clock::time_point now) const noexcept {
    if (!creds_.size()) return false;  // pairs are noted with credentials
    Digest key;
    if (digest('c', login, key))
        if (const auto *last = creds_.find(key); last && now - *last < window) return true;
    if (digest('p', login, key))
        if (const Pair *pair = pairs_.find(key); pair && now < pair->until) return true;
    return false;  // asked as ever
}

void RecentRefusals::refused(const Login &login, Clock::time_point now) noexcept {
    Digest creds, pair;
    if (!digest('c', login, creds) || !digest('p', login, pair)) return;  // not counted
    try {
        const bool again = creds_.find(creds) != nullptr;  // refused before: no new guess
        creds_.touch(creds) = now;
        std::uint64_t seen;
        std::memcpy(&seen, creds.data(), sizeof seen);
        guessing(pairs_.touch(pair), again, seen, now);
    } catch (...) {
        // not counted
    }
}

void RecentRefusals::guessing(Pair &pair, bool again, std::uint64_t seen, Clock::time_point now) noexcept {
    if (pair.period != Clock::duration::zero()) {
        if (now < pair.until) return;  // asked before the suspicion began
        if (now - pair.until < pair.period) {
            // Guessing on as soon as let go: asked again only after twice as long.
            if (!again) {
                pair.period = std::min<Clock::duration>(2 * pair.period, max_suspicion);
                pair.until = now + pair.period;
            }
            return;
        }
        pair.period = Clock::duration::zero();  // quiet as long as it was suspected: forgotten
    }
    std::size_t kept = 0;
    bool found = false;
    for (std::size_t i = 0; i < pair.count; ++i) {
        if (now - pair.at[i] >= window) continue;
        pair.seen[kept] = pair.seen[i];
        pair.at[kept] = pair.seen[i] == seen ? now : pair.at[i];
        found = found || pair.seen[i] == seen;
        ++kept;
    }
    pair.count = kept;
    if (!found) {
        pair.seen[pair.count] = seen;  // room: the pair is suspected once full
        pair.at[pair.count++] = now;
    }
    if (pair.count >= threshold) {
        pair.count = 0;
        pair.period = window;
        pair.until = now + window;
    }
}
