// Logins that need not hold the broker's thread while the endpoint answers.
// A login the decision cache cannot answer is asked among many at once
// (ConcurrentExchanges) and completed later on the broker's thread; after a
// reload, a client's re-check is granted at once and revalidated the same
// way, and a client found refused is disconnected then. Everything here but
// the exchanges themselves runs on the broker's thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "checker.h"
#include "concurrent_exchanges.h"

class LoginScheduler {
public:
    // What the broker offers, on its own thread; given, so tests need no broker.
    struct Host {
        std::function<void(const std::string &clientid, bool granted)> complete;  // a delayed login's answer
        std::function<void(const std::string &clientid)> disconnect;              // a revoked client
    };
    enum class Now { granted, refused, later };

    // Throws std::bad_alloc or std::system_error when it cannot start.
    LoginScheduler(Checker &checker, const HttpClient &client, long max_in_flight, Host host);
    // Exchanges still running are abandoned: their logins are not completed.
    ~LoginScheduler();

    // A new login of client (any pointer that tells connections apart):
    // answered now when the cache or the settings decide it, else later,
    // through Host::complete.
    // decided: the verdict when answered now.
    Now login(const std::string &clientid, const void *client, const char *username, const char *password,
              const Field *extra, std::size_t extra_count, Verdict &decided) noexcept;
    // The re-check of an admitted client after a reload: answered now when
    // decided without asking (the back-off, say); else later, meaning it
    // stands while the endpoint is asked again (never the cache), and a
    // refusal disconnects it through Host::disconnect.
    Now recheck(const std::string &clientid, const void *client, const char *username, const char *password,
                const Field *extra, std::size_t extra_count, Verdict &decided) noexcept;
    // A new connection of this id answered elsewhere: what is pending for
    // its id no longer concerns it.
    void forget(const std::string &clientid) noexcept;
    // The client's connection ended: nothing pending may touch its id's next one.
    void disconnected(const std::string &clientid, const void *client) noexcept;
    // Completes and disconnects what the answers so far decided.
    void tick() noexcept;
    // Anything asked and not yet settled by tick().
    bool pending() const noexcept { return !entries_.empty(); }

    // Each exchange's verdict once settled, and how long it took (figures).
    std::function<void(const Verdict &, std::chrono::steady_clock::duration)> settled;

private:
    enum class Kind { login, recheck };
    struct Entry {
        Kind kind;
        std::string clientid;
        const void *client;
        Question question;
        std::chrono::steady_clock::time_point asked;
    };
    Now start(Kind kind, const std::string &clientid, const void *client, const char *username,
              const char *password, const Field *extra, std::size_t extra_count, Verdict &decided) noexcept;

    Checker &checker_;
    Host host_;
    unsigned long next_token_ = 1;
    std::map<unsigned long, Entry> entries_;          // asked, answer not yet settled
    std::map<std::string, unsigned long> latest_;     // each client id's newest delayed login
    std::map<std::string, unsigned long> rechecks_;   // each client id's re-check still in force
    std::mutex arrived_lock_;
    std::vector<std::pair<unsigned long, Answer>> arrived_;  // from the exchanges' thread
    std::unique_ptr<ConcurrentExchanges> exchanges_;         // last: stopped first
};
