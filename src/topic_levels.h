// A topic's levels as the login rules read and compare them: split without
// copying, a wildcard level told apart, and a level in brief (its size and
// first 8 bytes) that most comparisons stop at. Shared by the rules'
// reader (src/json_answer.cpp), their matching (src/login_rules.cpp) and
// their index (src/login_rules_index.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace topic_levels {

// A topic or filter, level by level, without copying.
class Levels {
public:
    explicit Levels(std::string_view text) : rest_(text) {}
    bool next(std::string_view &level) noexcept {
        if (done_) return false;
        const auto slash = rest_.find('/');
        if (slash == std::string_view::npos) {
            level = rest_;
            done_ = true;
        } else {
            level = rest_.substr(0, slash);
            rest_.remove_prefix(slash + 1);
        }
        return true;
    }

private:
    std::string_view rest_;
    bool done_ = false;
};

inline bool is_plus(std::string_view level) { return level.size() == 1 && level[0] == '+'; }
inline bool is_hash(std::string_view level) { return level.size() == 1 && level[0] == '#'; }
inline bool is_wild(std::string_view level) { return level.size() == 1 && (level[0] == '+' || level[0] == '#'); }

// A level in brief: its size and first 8 bytes, zero-padded. Most levels
// that differ, differ there.
struct Brief {
    std::uint64_t head;
    std::uint32_t size;
    Brief() = default;  // left unset: a decision fills only the levels it has
    Brief(const char *data, std::size_t n) noexcept
        : head(0), size(static_cast<std::uint32_t>(std::min<std::size_t>(n, 0xffffffffu))) {
        if (n > 0) std::memcpy(&head, data, std::min<std::size_t>(n, sizeof head));  // data may be null when n is 0
    }
    explicit Brief(std::string_view level) noexcept : Brief(level.data(), level.size()) {}
};

}  // namespace topic_levels
