// Logins refused just now, by address and client id. On 2.1 a login left
// pending holds its client id: the broker refuses every other CONNECT of
// that id until it is answered. A stranger who keeps sending logins with a
// victim's id would keep the victim out; once an address has been refused
// a few times for an id, its further logins of that id are refused at once,
// without a request, so that none of them is left pending. The victim's
// own logins, from its own address, are asked as ever. Bounded: at most
// max_keys pairs, the least recent forgotten first.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <string>
#include <unordered_map>

class RecentRefusals {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t threshold = 3;  // refusals within the window
    static constexpr Clock::duration window = std::chrono::seconds(10);
    static constexpr std::size_t max_keys = 10000;

    // Whether logins of clientid from address are refused at once at now.
    bool refuses(const char *address, const char *clientid, Clock::time_point now) const noexcept;
    // One was refused (by the endpoint, or at once here). Never throws: a
    // refusal it cannot note is not counted.
    void refused(const char *address, const char *clientid, Clock::time_point now) noexcept;

private:
    struct Count {
        std::size_t refusals = 0;
        Clock::time_point since, last;
        std::list<std::string>::iterator age;  // in order_
    };
    static std::string key(const char *address, const char *clientid);
    std::unordered_map<std::string, Count> counts_;
    std::list<std::string> order_;  // least recently refused first
};
