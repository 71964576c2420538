// Logins that need not hold the broker's thread while the endpoint answers.
// A login the decision cache cannot answer is asked among many at once
// (ConcurrentExchanges) and completed later on the broker's thread; after a
// reload, an admitted connection's re-check is granted at once and
// revalidated the same way, and the connection is disconnected if the answer
// refuses it. Everything here but the exchanges themselves runs on the
// broker's thread.
//
// Bounded: at most max_waiting_logins logins (and max_waiting_bytes of their
// forms) wait per instance, the rest are refused at once as busy; a login
// still waiting when its time-out has passed is refused without a request,
// and one asked gets only the time left. Re-checks (one per admitted
// connection at most) have no such bound: nobody waits for them.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "checker.h"
#include "concurrent_exchanges.h"
#include "connections.h"

class LoginScheduler {
public:
    // What the broker offers, on its own thread; given, so tests need no broker.
    struct Host {
        // A delayed login's answer, for the connection client parked under
        // clientid; its user name and password when the settings keep them
        // (http_control), else null.
        std::function<void(const std::string &clientid, const void *client, bool granted, const char *username,
                           const char *password)>
            complete;
        // An admitted connection (still the one Connections knows) its re-check refused.
        std::function<void(const std::string &clientid, const void *client)> disconnect;
        // Any thread: an answer waits for tick() (may be empty).
        std::function<void()> arrived;
    };
    enum class Now { granted, refused, later, busy };

    static constexpr std::size_t max_waiting_logins = 10000;
    static constexpr std::size_t max_waiting_bytes = std::size_t{64} << 20;

    // Throws std::bad_alloc or std::system_error when it cannot start.
    LoginScheduler(Checker &checker, const HttpClient &client, long max_in_flight, Connections &connections,
                   Host host);
    // Exchanges still running are abandoned: their logins are not completed.
    ~LoginScheduler();
    LoginScheduler(const LoginScheduler &) = delete;
    LoginScheduler &operator=(const LoginScheduler &) = delete;

    // A login of a connection not admitted (client: the broker's pointer):
    // answered now when the cache or the back-off decide it, refused as busy
    // when too many wait, else later through Host::complete.
    // decided: the verdict when answered now.
    Now login(const std::string &clientid, const void *client, const char *username, const char *password,
              const Field *extra, std::size_t extra_count, Verdict &decided) noexcept;
    // The re-check of admitted connection (its serial from Connections) after
    // a reload: answered now when decided without asking (the back-off, say);
    // else later, meaning it stands while the endpoint is asked again (never
    // the cache), and a refusal disconnects it if it is still the same
    // connection.
    Now recheck(const std::string &clientid, const void *client, unsigned long serial, const char *username,
                const char *password, const Field *extra, std::size_t extra_count, Verdict &decided) noexcept;
    // The connection ended: its re-check is no longer asked.
    void disconnected(const void *client) noexcept;
    // Completes and disconnects what the answers so far decided.
    void tick() noexcept;
    // Anything asked and not yet settled by tick().
    bool pending() const noexcept { return !entries_.empty(); }
    std::size_t waiting_logins() const noexcept { return logins_; }

    // Each exchange's verdict once settled, and how long it took (stats).
    std::function<void(const Verdict &, std::chrono::steady_clock::duration)> settled;

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        std::string clientid;
        const void *client = nullptr;
        bool login = true;
        unsigned long id = 0;  // a login's ticket (Connections), a re-check's connection serial
        PreparedCheck question;
        Clock::time_point asked;
        std::shared_ptr<std::atomic<bool>> wanted;
        bool kept = false;  // username and password kept for the connection's registration
        std::string username, password;
    };
    Now start(Entry entry, Verdict &decided) noexcept;
    void settle(unsigned long token, Entry &entry, const Answer &answer) noexcept;

    Checker &checker_;
    Connections &connections_;
    Host host_;
    const Clock::duration timeout_;
    unsigned long next_token_ = 1;
    std::unordered_map<unsigned long, Entry> entries_;          // asked, answer not yet settled
    std::unordered_map<const void *, unsigned long> rechecks_;  // each connection's re-check in force
    std::size_t logins_ = 0, login_bytes_ = 0;                  // logins among entries_, and their forms
    // Answers from the exchanges' thread. Both lists hold room for every
    // entry, so that an answer is never lost to a failed allocation.
    std::mutex arrived_lock_;
    std::vector<std::pair<unsigned long, Answer>> arrived_;  // guarded by arrived_lock_
    std::vector<std::pair<unsigned long, Answer>> taking_;   // tick()'s own
    std::unique_ptr<ConcurrentExchanges> exchanges_;         // last: stopped first
};
