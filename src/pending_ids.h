// The newest pending login of each client id, across every `plugin` line that
// loads the version-5 library: 2.1 completes a pending login by client id,
// whichever line made it pending, so only the newest of an id may complete
// what it holds under that id. One numbering (tokens) for the pending logins
// and re-checks of every line: a token names one, wherever it is.
#pragma once

#include <string>
#include <unordered_map>

class PendingIds {
public:
    unsigned long next_token() noexcept { return next_++; }

    // token, of line, is now the newest pending login of clientid. Returns
    // the token it supersedes (0: none). Throws std::bad_alloc, and then
    // changes nothing.
    unsigned long newest(const std::string &clientid, unsigned long token, const void *line) {
        auto [it, added] = by_id_.try_emplace(clientid, Newest{token, line});
        if (added) return 0;
        const unsigned long older = it->second.token;
        it->second = {token, line};
        return older;
    }
    // A login of clientid was answered at once: the pending one it
    // supersedes (0: none) must not complete what the broker holds next.
    unsigned long answered_now(const std::string &clientid) noexcept {
        const auto found = by_id_.find(clientid);
        if (found == by_id_.end()) return 0;
        const unsigned long older = found->second.token;
        by_id_.erase(found);
        return older;
    }
    // Whether token was still the newest pending login of clientid; if so,
    // it is no longer pending.
    bool settled(const std::string &clientid, unsigned long token) noexcept {
        const auto found = by_id_.find(clientid);
        if (found == by_id_.end() || found->second.token != token) return false;
        by_id_.erase(found);
        return true;
    }
    // The line goes, and its pending logins with it.
    void forget_line(const void *line) noexcept {
        for (auto it = by_id_.begin(); it != by_id_.end();) it = it->second.line == line ? by_id_.erase(it) : ++it;
    }

private:
    struct Newest {
        unsigned long token;
        const void *line;
    };
    unsigned long next_ = 1;
    std::unordered_map<std::string, Newest> by_id_;
};
