// What the version-5 library knows of the broker's connections, shared by
// every `plugin` line that loads it (2.1 completes a delayed login by client
// id, whichever line parked it). Only the broker's thread calls it.
//
// A connection is admitted when one of our logins grants it, and kept until
// the broker says it ended (DISCONNECT, or CLIENT_OFFLINE when its session
// persists). Only such a connection's login, asked again after a reload, is a
// re-check: nothing in the event tells a re-check apart from a stranger's
// login, so timing never decides it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <optional>
#include <utility>
#include <vector>

class LoginRules;

class Connections {
public:
    // Set while the exchange of a delayed login is still wanted; cleared when
    // a newer login of its client id supersedes it.
    using Wanted = std::shared_ptr<std::atomic<bool>>;
    struct Ticket {
        unsigned long token = 0;
        Wanted wanted;
    };

    // client (the broker's pointer) was admitted under clientid, by owner
    // (the instance that asked), as username. Returns its serial, which no
    // later connection at the same address shares. password is kept only
    // where commands may ask again (http_control). Throws std::bad_alloc.
    // rules: what its login's answer carried (http_login_rules), for its session.
    unsigned long admit(const void *client, const std::string &clientid, void *owner = nullptr,
                        const char *username = nullptr, const char *password = nullptr,
                        std::shared_ptr<const LoginRules> rules = nullptr);
    // An admitted connection, as a command or an access check may need it.
    struct Admitted {
        std::string clientid;
        unsigned long serial;
        void *owner;
        std::string username, password;
        bool has_username, has_password;
        std::shared_ptr<const LoginRules> rules;
        std::optional<std::multimap<std::int64_t, const void *>::iterator> expiry;  // its place in expiries_
    };
    // The admitted connection at client, if any. Valid until the next change.
    const Admitted *find(const void *client) const noexcept;
    // A re-check of connection serial granted it again: its rules are the
    // new answer's. Throws std::bad_alloc (the old ones then stay).
    void renew(const void *client, unsigned long serial, std::shared_ptr<const LoginRules> rules);
    // The connections whose rules' expire_at (Unix seconds) is at or before
    // now, taken off the list of expiries; and the next expiry after them.
    // Throws std::bad_alloc (then nothing is taken off).
    std::vector<const void *> expired(std::int64_t now);
    std::optional<std::int64_t> next_expiry() const noexcept;
    // Those admitted connections (client, and what was kept) that match:
    // a user name, a client id, or neither for all. Throws std::bad_alloc.
    std::vector<std::pair<const void *, Admitted>> matching(const char *username, const char *clientid) const;
    // Its connection ended: nothing may treat it as admitted again.
    void end(const void *client) noexcept;
    // The instance owner goes: what it admitted is no longer reachable by commands.
    void end_owned_by(const void *owner) noexcept;
    // The serial of client if it is admitted under clientid; 0 otherwise.
    unsigned long serial(const void *client, const std::string &clientid) const noexcept;
    std::size_t admitted() const noexcept { return admitted_.size(); }

    // Mosquitto 2.0.11, which cannot say which session it holds under an id:
    // client's connection ended and its session persists (re-checked at a
    // reload all the same). Throws std::bad_alloc.
    void went_offline(const void *client, const std::string &clientid);
    // Whether client is the session that went offline under clientid, with
    // no connection of that id admitted since.
    bool offline(const void *client, const std::string &clientid) const noexcept;

    // A login of clientid is to be answered later: the newest of its id,
    // superseding any older one. Throws std::bad_alloc.
    Ticket expect(const std::string &clientid);
    // A login of clientid was answered at once: an older delayed one must
    // not complete what the broker parks under the id next.
    void supersede(const std::string &clientid) noexcept;
    // Whether the delayed login token is still the newest of its id; if so,
    // it is settled and no longer expected.
    bool settle(const std::string &clientid, unsigned long token) noexcept;

private:
    void forget_expiry(Admitted &a) noexcept;
    // Throws std::bad_alloc, and then changes nothing.
    void note_expiry(const void *client, Admitted &a);

    unsigned long next_ = 1;
    std::unordered_map<const void *, Admitted> admitted_;
    // Connections whose rules end them at a time, soonest first.
    std::multimap<std::int64_t, const void *> expiries_;
    std::unordered_map<std::string, Ticket> expected_;       // by client id
    std::unordered_map<std::string, const void *> offline_;  // by client id
};
