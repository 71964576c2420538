// Logins that need not hold the broker's thread while the endpoint answers.
// A login the decision cache cannot answer becomes one PendingLogin, owned
// here and keyed by its token, whose life reads one way:
//
//   login(), recheck()  broker's thread: decided now (the cache, the
//                       back-off, too busy), or pending (state asked), its
//                       exchange submitted under its token
//   exchanges' thread   ConcurrentExchanges runs it and hands back a value,
//                       (token, answer)
//   take()              broker's thread, at TICK: each answer finished by the
//                       checker into the pending login's result, which is
//                       handed to the owner once, in one pass
//
// Nothing here calls its owner back or reads the connections: the owner
// admits, completes, renews or disconnects. After a reload, an admitted
// connection's re-check is granted at once and revalidated the same way.
//
// Bounded: at most max_pending_logins logins (and max_pending_bytes of their
// forms) are pending per instance, the rest are refused at once as busy; a
// login left with less time than the endpoint's exchanges recently took is
// refused without a request (late), and one asked gets only the time left.
// Once the queue is behind, the newest are asked first. Re-checks are at
// most two per connection (one asked, one merged behind it): nobody waits
// for them.
#pragma once

#include <chrono>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "checker.h"
#include "concurrent_exchanges.h"

class Waker;

class LoginScheduler {
public:
    using Clock = std::chrono::steady_clock;

    struct PendingLogin {
        enum class Kind : std::uint8_t { login, recheck };
        enum class State : std::uint8_t {
            asked,      // its exchange submitted, its answer not yet taken
            withdrawn,  // a command came about it meanwhile: refused, whatever the answer says
            answered,   // handed to the owner with its result
            replaced,   // a re-check no longer in force (its connection ended, or a newer one): nothing to do
        };
        unsigned long token = 0;  // its one key (PendingIds numbers them across lines)
        Kind kind = Kind::login;
        State state = State::asked;
        bool again = false;  // a re-check asked once more meanwhile (a command): once granted, ask again
        std::string clientid;
        const void *client = nullptr;  // the broker's pointer (it may be gone by the answer)
        unsigned long serial = 0;      // a re-check's: the connection asked about
        std::optional<std::string> username, password;  // a login's, as kept; a re-check's
        std::string address;                            // a login's client's
        PreparedCheck check;     // what the checker began (its request goes to the exchange)
        std::size_t bytes = 0;   // its request's, counted while it is pending
        Clock::time_point asked;
        Clock::duration took{};  // once answered
        // Cleared when nobody waits for it any more: its exchange is then never started.
        std::shared_ptr<std::atomic<bool>> wanted;
        CheckResult result;  // once answered
    };

    static constexpr std::size_t max_pending_logins = 10000;
    static constexpr std::size_t max_pending_bytes = std::size_t{64} << 20;

    // waker (may be null): woken when an answer waits for take(). Throws
    // std::bad_alloc or std::system_error when it cannot start.
    LoginScheduler(Checker &checker, const HttpClient &client, long max_in_flight, Waker *waker = nullptr);
    // Exchanges still running are abandoned: their logins are not completed.
    ~LoginScheduler();
    LoginScheduler(const LoginScheduler &) = delete;
    LoginScheduler &operator=(const LoginScheduler &) = delete;

    // A login of a connection not admitted (client: the broker's pointer),
    // pending under token: its result now when the cache or the back-off
    // decide it, or refused as busy when too many are pending; nothing while
    // it is pending. keep_password: handed back with it.
    std::optional<CheckResult> login(unsigned long token, const std::string &clientid, const void *client,
                                 const char *address, const LoginQuestion &question, bool keep_password) noexcept;
    // The re-check of admitted connection serial, pending under token: its
    // result now when decided without asking (the back-off, say); nothing
    // while pending, meaning it stands while the endpoint is asked again
    // (never the cache). merge: a re-check of the connection already asked
    // is asked once more after it, instead of a new exchange now
    // (commands); otherwise the newest is in force.
    std::optional<CheckResult> recheck(unsigned long token, const std::string &clientid, const void *client,
                                   unsigned long serial, const LoginQuestion &question, bool merge) noexcept;
    // Nobody waits for pending login token any more (a newer login of its
    // id): its exchange is not started if it has not been.
    void cancel(unsigned long token) noexcept;
    // The connection ended: its re-check is no longer asked.
    void disconnected(const void *client) noexcept;
    // A command about a user name or a client id (null: any) came while
    // such logins are pending: each is withdrawn, refused when its answer
    // comes, whatever it says (it may predate the command). Returns how
    // many; their user names are added to users. Throws std::bad_alloc
    // (those withdrawn so far stay so).
    std::size_t withdraw(const char *username, const char *clientid, std::set<std::string> &users);
    // The pending logins answered since, each handed to out exactly once
    // with its result (state answered, withdrawn or replaced). Throws
    // nothing: call reserve() first.
    void take(std::vector<PendingLogin> &out) noexcept;
    // Room in out for every pending login that may be taken. Throws std::bad_alloc.
    void reserve(std::vector<PendingLogin> &out) const { out.reserve(out.size() + pending_.size()); }
    // How many exchanges the endpoint is asked at once now, and how many wait for a place.
    long limit() const noexcept { return exchanges_->limit(); }
    std::size_t queued() const noexcept { return exchanges_->waiting(); }
    // Re-checks asked and not yet answered.
    std::size_t rechecks() const noexcept { return rechecks_.size(); }

private:
    std::optional<CheckResult> start(PendingLogin pending) noexcept;

    Checker &checker_;
    const Clock::duration timeout_;
    std::unordered_map<unsigned long, PendingLogin> pending_;    // by token
    std::unordered_map<const void *, unsigned long> rechecks_;  // each connection's re-check in force
    std::size_t logins_ = 0, login_bytes_ = 0;                  // logins among pending_, and their forms
    std::unique_ptr<ConcurrentExchanges> exchanges_;            // last: stopped first
};
