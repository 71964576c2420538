// Logins the endpoint refused just now. On 2.1 a login left pending holds
// its client id: the broker refuses every other CONNECT of that id until it
// is answered, so a stranger who keeps sending logins under a victim's id
// would keep the victim out. So that few of them are left pending:
// - the very credentials (address, client id, user name, password) the
//   endpoint refused within the window are refused at once, without a
//   request. Another password or user name for the same id and address is
//   asked as ever: a client that fixes its password is asked at once, and
//   one behind the same address (a NAT) as a stranger repeating a wrong
//   password gets in.
// - an address and id whose refusals within the window cover `threshold`
//   distinct credentials is guessing: all its logins are refused at once for
//   a suspicion period (the window). A new guess refused soon after the
//   period ends (before as long again has passed) starts one twice as long,
//   up to max_suspicion: a looping guesser is asked about once a period. A
//   client of that id behind the same address as an active guesser cannot be
//   told from it, and is refused with it.
// Only the endpoint's refusals count, never one made here (no refusal at once
// extends anything): a client that keeps retrying is asked again once the
// window or the period is over.
//
// Bounded: fixed-size keys, HMAC-SHA256 under a key made per instance, so
// that no password is kept, nor anything to attack one with offline; at most
// max_entries credentials and as many pairs, the least recent forgotten
// first. Only the broker's thread uses it.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

#include <openssl/evp.h>

class RecentRefusals {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t threshold = 3;  // distinct credentials refused within the window: guessing
    static constexpr Clock::duration window = std::chrono::seconds(10);
    static constexpr Clock::duration max_suspicion = std::chrono::minutes(10);
    static constexpr std::size_t max_entries = 10000;  // credentials, and as many pairs

    // A login as the endpoint was asked about it; any of them may be null.
    struct Login {
        const char *address, *clientid, *username, *password;
    };

    // Throws std::runtime_error when no key can be made.
    RecentRefusals();

    // Whether this login is refused at once at now.
    bool refuses(const Login &login, Clock::time_point now) const noexcept;
    // The endpoint refused it (never call it for a refusal made here). A
    // refusal it cannot note (no memory) is not counted.
    void refused(const Login &login, Clock::time_point now) noexcept;

    // What is kept: entries, and their bytes as the heap holds them (heap_bytes).
    std::size_t entries() const noexcept { return creds_.size() + pairs_.size(); }
    std::size_t bytes() const noexcept;
    static std::size_t max_bytes() noexcept;

private:
    using Digest = std::array<unsigned char, 32>;
    struct DigestHash {
        std::size_t operator()(const Digest &d) const noexcept;  // its first bytes: the key is secret
    };
    // Least recently refused forgotten first, beyond max_entries.
    template <typename Value>
    class Recent {
    public:
        const Value *find(const Digest &key) const noexcept;
        // Found or added (value-initialised), made the most recent. Throws
        // std::bad_alloc, and then nothing changed.
        Value &touch(const Digest &key);
        std::size_t size() const noexcept { return index_.size(); }
        static std::size_t entry_bytes() noexcept;

    private:
        struct Node {
            Digest key;
            Value value;
        };
        std::list<Node> order_;
        std::unordered_map<Digest, typename std::list<Node>::iterator, DigestHash> index_;
    };
    struct Pair {
        // The distinct credentials refused within the window, a fingerprint each.
        std::array<std::uint64_t, threshold> seen{};
        std::array<Clock::time_point, threshold> at{};
        std::size_t count = 0;
        Clock::time_point until;  // suspected until
        Clock::duration period{};  // the last suspicion's length; zero: none remembered
    };
    struct MacFree {
        void operator()(EVP_MAC_CTX *c) const noexcept;
    };

    // Of the pair (tag 'p': address, id) or the credentials ('c': all four).
    bool digest(char tag, const Login &login, Digest &out) const noexcept;
    void guessing(Pair &pair, bool again, std::uint64_t seen, Clock::time_point now) noexcept;

    std::unique_ptr<EVP_MAC_CTX, MacFree> mac_;  // keyed; copied for each digest
    Recent<Clock::time_point> creds_;             // when the endpoint last refused them
    Recent<Pair> pairs_;
};
