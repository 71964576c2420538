// What a client asks to do with a topic, in the core's own terms. Each entry
// file maps its broker's codes onto these in one table.
#pragma once

enum class Access { none, read, write, subscribe, unsubscribe };

// The word the access form carries.
constexpr const char *access_word(Access access) noexcept {
    switch (access) {
    case Access::read: return "read";
    case Access::write: return "write";
    case Access::subscribe: return "subscribe";
    case Access::unsubscribe: return "unsubscribe";
    case Access::none: break;
    }
    return "none";
}
