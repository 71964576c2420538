// Logins that need not hold the broker's thread while the endpoint answers.
// A login the decision cache cannot answer is asked among many at once
// (ConcurrentExchanges) and handed back, settled, at a later TICK; after a
// reload, an admitted connection's re-check is granted at once and
// revalidated the same way. The scheduler decides nothing about
// connections: it hands back what settled (take()), and its owner admits,
// renews or disconnects. Everything here but the exchanges themselves runs
// on the broker's thread.
//
// Bounded: at most max_waiting_logins logins (and max_waiting_bytes of their
// forms) wait per instance, the rest are refused at once as busy; a login
// left with less time than the endpoint's exchanges recently took is refused
// without a request (late), and one asked gets only the time left. Once the
// queue is behind, the newest are asked first. Re-checks are at most two per
// connection (one asked, one merged behind it): nobody waits for them.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "checker.h"
#include "concurrent_exchanges.h"
#include "connections.h"

class LoginScheduler {
public:
    using Clock = std::chrono::steady_clock;
    enum class Now { granted, refused, later, busy };

    // What an answer decided, handed back on the broker's thread.
    struct Settled {
        enum class Kind : std::uint8_t {
            login,          // a delayed login: complete it (only the newest of its id is handed back)
            recheck,        // a re-check of admitted connection `serial`, still live: renew it or disconnect it
            recheck_again,  // granted, but asked again meanwhile (a command): ask once more
        } kind;
        std::string clientid;
        const void *client;
        unsigned long serial;  // a re-check's connection
        CheckResult result;
        std::optional<std::string> username, password;  // a login's, as kept
        std::string address;                            // a login's client's (its pointer may be gone by now)
        Clock::duration took;
    };

    static constexpr std::size_t max_waiting_logins = 10000;
    static constexpr std::size_t max_waiting_bytes = std::size_t{64} << 20;

    // tickets: the pending logins of every line, and the connections a
    // re-check is about. arrived: called on the
    // exchanges' thread when an answer waits for take() (may be empty).
    // Throws std::bad_alloc or std::system_error when it cannot start.
    LoginScheduler(Checker &checker, const HttpClient &client, long max_in_flight, Connections &tickets,
                   std::function<void()> arrived = nullptr);
    // Exchanges still running are abandoned: their logins are not completed.
    ~LoginScheduler();
    LoginScheduler(const LoginScheduler &) = delete;
    LoginScheduler &operator=(const LoginScheduler &) = delete;

    // A login of a connection not admitted (client: the broker's pointer):
    // answered now when the cache or the back-off decide it, refused as busy
    // when too many wait, else later. keep_password: handed back with it.
    // decided: the result when answered now.
    Now login(const std::string &clientid, const void *client, const char *address, const LoginQuestion &question,
              bool keep_password, CheckResult &decided) noexcept;
    // The re-check of admitted connection serial: answered now when decided
    // without asking (the back-off, say); else later, meaning it stands
    // while the endpoint is asked again (never the cache). merge: a re-check
    // of the connection already asked is asked once more after it, instead
    // of a new exchange now (commands); otherwise the newest is in force.
    Now recheck(const std::string &clientid, const void *client, unsigned long serial, const LoginQuestion &question,
                bool merge, CheckResult &decided) noexcept;
    // The connection ended: its re-check is no longer asked.
    void disconnected(const void *client) noexcept;
    // A command about a user name or a client id (null: any) came while
    // such logins wait for their answers: each is refused when its answer
    // comes, whatever it says (it may predate the command). Returns how
    // many were waiting; their user names are added to users. Throws
    // std::bad_alloc (those marked so far stay so).
    std::size_t withdraw(const char *username, const char *clientid, std::set<std::string> &users);
    // What the answers so far decided, appended to out. Throws nothing:
    // out's room is reserved as questions are asked.
    void take(std::vector<Settled> &out) noexcept;
    // Room in out for every answer that may be taken (call before take()).
    // Throws std::bad_alloc.
    void reserve(std::vector<Settled> &out) const { out.reserve(out.size() + entries_.size()); }
    // How many exchanges the endpoint is asked at once now, and how many wait for a place.
    long limit() const noexcept { return exchanges_->limit(); }
    std::size_t queued() const noexcept { return exchanges_->waiting(); }

private:
    struct Entry {
        std::string clientid;
        const void *client = nullptr;
        bool login = true;
        unsigned long id = 0;  // a login's ticket (Connections), a re-check's connection serial
        PreparedCheck question;
        std::size_t bytes = 0;  // its request's, counted while it waits (the request itself goes to be sent)
        Clock::time_point asked;
        std::shared_ptr<std::atomic<bool>> wanted;
        std::optional<std::string> username, password;  // a login's, kept for its admission
        std::string address;                            // a login's client's
        bool again = false;                             // a re-check merged behind it
        bool withdrawn = false;                         // a login a command settled: refused
    };
    Now start(Entry entry, CheckResult &decided) noexcept;
    // Room for one more answer in both lists, grown by doubling.
    void make_room();

    Checker &checker_;
    Connections &tickets_;
    std::function<void()> arrived_fn_;
    const Clock::duration timeout_;
    unsigned long next_token_ = 1;
    std::unordered_map<unsigned long, Entry> entries_;          // asked, answer not yet taken
    std::unordered_map<const void *, unsigned long> rechecks_;  // each connection's re-check in force
    std::size_t logins_ = 0, login_bytes_ = 0;                  // logins among entries_, and their forms
    // Answers from the exchanges' thread. Both lists hold room for every
    // entry, so that an answer is never lost to a failed allocation.
    std::mutex arrived_lock_;
    std::vector<std::pair<unsigned long, Answer>> arrived_;  // guarded by arrived_lock_
    std::vector<std::pair<unsigned long, Answer>> taking_;   // take()'s own
    std::unique_ptr<ConcurrentExchanges> exchanges_;         // last: stopped first
};
