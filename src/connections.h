// What the version-5 library knows of the broker's connections: one record
// per connection that one of our logins admitted or left to the broker's
// other checks, shared by every `plugin` line that loads the library (2.1
// completes a pending login by client id, whichever line made it pending; a
// command on one line reaches the connections of all). Only the broker's
// thread calls it, and only through these operations: admit, renew, expire,
// end. It calls nobody: the broker's table of sessions is read through a
// lookup (2.1's mosquitto_client), and its owner does the disconnecting.
//
// A record lives until the broker's last question about its connection: it
// stays after the connection ended for as long as the broker may still ask
// about its will (at once for a session that ends with its connection, when
// the will's delay is over for one that persists). Only an admitted
// connection's login, asked again after a reload, is a re-check: nothing in
// the event tells a re-check apart from a stranger's login, so timing never
// decides it.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class LoginRules;

class Connections {
public:
    // The session the broker holds under a client id: a lookup in its table
    // (2.1 only; null where the broker cannot say).
    using SessionOf = const void *(*)(const char *clientid);
    explicit Connections(SessionOf session_of) noexcept : session_of_(session_of) {}

    enum class State : std::uint8_t {
        admitted,  // our login granted it
        deferred,  // our login left it to the broker's other checks ("ignore")
        ended,     // its connection ended; kept for the questions about its will
    };
    struct Record {
        const void *line = nullptr;  // the plugin line whose login decided it
        std::string clientid;
        std::optional<std::string> username, password;  // the password only where commands may ask again
        std::shared_ptr<const LoginRules> rules;        // what its login's answer carried (http_login_rules)
        unsigned long serial = 0;                       // no later connection at the same address shares it
        State state = State::admitted;
        bool persists = false;  // ended, with a session (and maybe a delayed will) the broker keeps
        std::optional<std::multimap<std::int64_t, const void *>::iterator> expiry;  // its place in expiries_
        bool live() const noexcept { return state != State::ended; }
    };
    struct Admission {
        const void *line = nullptr;
        const char *clientid = nullptr, *username = nullptr, *password = nullptr;
        std::shared_ptr<const LoginRules> rules;
        bool deferred = false;
        // The new connection takes over a persistent session its id left
        // (and its delayed will with it). False for a pending login, whose
        // client may have left before the broker completes it: took_over()
        // then says so once the broker holds it.
        bool takes_over = true;
    };

    // client (the broker's pointer) was admitted, or left to others; any
    // older record at that address is gone with it. Returns its serial.
    // Throws std::bad_alloc, and then changes nothing.
    unsigned long admit(const void *client, const Admission &admission);
    // client, admitted without taking over, is the session the broker now
    // holds under its id: the persistent session its id left is gone.
    void took_over(const void *client) noexcept;
    // The record at client, live or ended. Valid until the next change.
    const Record *find(const void *client) const noexcept;
    // A re-check of connection serial granted it again: its rules are the
    // new answer's. Throws std::bad_alloc (the old ones then stay).
    void renew(const void *client, unsigned long serial, std::shared_ptr<const LoginRules> rules);
    // The live connections whose rules' expire_at (Unix seconds) is at or
    // before now, taken off the list of expiries; and the next expiry after
    // them. Throws std::bad_alloc (then nothing is taken off).
    std::vector<const void *> expired(std::int64_t now);
    std::optional<std::int64_t> next_expiry() const noexcept;
    // Its connection ended. persists: the broker keeps its session (a will
    // may come later); otherwise its will, if any, is asked at once.
    void end(const void *client, bool persists) noexcept;
    // Drops the ended records the broker can no longer ask about: on 2.0.11
    // those whose session ended with them (their will was asked at once);
    // on 2.1 those the broker no longer holds under their id (2.1 keeps a
    // session that ended with its connection until its delayed will is
    // asked).
    void sweep() noexcept;
    // Whether client is the address of an ended connection whose record,
    // with rules, had to go while the broker could still ask about its will
    // (the bound on ended records): nothing can decide that will as its
    // rules would have, so it is refused.
    bool forgotten(const void *client, const char *clientid) const noexcept;
    // The client id by which the broker may disconnect client: it is live and
    // admitted, and the broker still holds it under its id (a newer
    // connection may have taken the id); null otherwise. Valid until the
    // next change.
    const std::string *kickable(const void *client) const noexcept;
    // The live admitted connections that match a user name, a client id, or
    // neither for all. Throws std::bad_alloc.
    std::vector<const void *> matching(const char *username, const char *clientid) const;
    // The session the broker holds under clientid (2.1); null where it cannot say.
    const void *session(const std::string &clientid) const noexcept {
        return session_of_ ? session_of_(clientid.c_str()) : nullptr;
    }
    // The line goes: nothing it decided may be read again.
    void end_owned_by(const void *line) noexcept;
    // The serial of client if it is admitted (live) under clientid; 0 otherwise.
    unsigned long serial(const void *client, const std::string &clientid) const noexcept;
    // Whether client is a session that persists after its connection ended,
    // under clientid, with no connection of that id admitted since.
    bool offline(const void *client, const std::string &clientid) const noexcept;
    std::size_t admitted() const noexcept { return records_.size() - ended_; }
    std::size_t ended() const noexcept { return ended_; }

    // At most this many ended records are kept waiting for a delayed will;
    // past it the oldest go, and the addresses of those with rules are kept
    // (at most max_forgotten, the oldest forgotten first).
    static constexpr std::size_t max_ended = 100000;
    static constexpr std::size_t max_forgotten = 1000000;

private:
    void forget_expiry(Record &r) noexcept;
    void note_expiry(const void *client, Record &r);  // throws std::bad_alloc, and then changes nothing
    void erase(const void *client) noexcept;
    // Keeps an ended record for its delayed will, the oldest dropped past max_ended.
    void keep_ended(const void *client, unsigned long serial);  // throws std::bad_alloc
    void forget(const void *client, const Record &r) noexcept;

    const SessionOf session_of_;
    unsigned long next_ = 1;
    std::unordered_map<const void *, Record> records_;
    // Connections whose rules end them at a time, soonest first.
    std::multimap<std::int64_t, const void *> expiries_;
    std::size_t ended_ = 0;
    // Ended records: those just ended, and those kept for a will the broker
    // may still ask about (oldest first), by address and serial (an entry
    // may name a record gone since).
    std::vector<std::pair<const void *, unsigned long>> just_ended_;
    std::deque<std::pair<const void *, unsigned long>> offline_;
    // Addresses of ended records with rules dropped by the bound, with their
    // client ids; forgotten_order_ holds them oldest first (an entry may
    // name one known again since).
    std::unordered_map<const void *, std::string> forgotten_;
    std::deque<const void *> forgotten_order_;
    std::unordered_map<std::string, const void *> offline_by_id_;
};
