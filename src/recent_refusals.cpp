#include "recent_refusals.h"

std::string RecentRefusals::key(const char *address, const char *clientid) {
    std::string k = address ? address : "";
    k += '\0';  // neither holds one
    k += clientid ? clientid : "";
    return k;
}

bool RecentRefusals::refuses(const char *address, const char *clientid, Clock::time_point now) const noexcept {
    if (counts_.empty()) return false;
    try {
        const auto found = counts_.find(key(address, clientid));
        return found != counts_.end() && found->second.refusals >= threshold && now - found->second.last < window;
    } catch (...) {
        return false;  // asked as ever
    }
}

void RecentRefusals::refused(const char *address, const char *clientid, Clock::time_point now) noexcept {
    try {
        std::string k = key(address, clientid);
        auto found = counts_.find(k);
        if (found == counts_.end()) {
            if (counts_.size() >= max_keys) {
                counts_.erase(order_.front());
                order_.pop_front();
            }
            order_.push_back(k);
            try {
                found = counts_.emplace(std::move(k), Count{0, now, now, std::prev(order_.end())}).first;
            } catch (...) {
                order_.pop_back();
                throw;
            }
        } else {
            order_.splice(order_.end(), order_, found->second.age);
        }
        Count &c = found->second;
        if (now - c.last >= window) c = Count{0, now, now, c.age};  // a new episode
        ++c.refusals;
        c.last = now;
    } catch (...) {
        // not counted
    }
}
