// A login's rules deciding an access check: the check's topic split once,
// the client's placeholder values, and the first rule that matches (a topic
// name against a filter; a subscription's filter covered by an allow rule,
// or overlapping a deny rule). Read by src/json_answer.cpp; indexed and
// counted by src/login_rules_index.cpp.
#include "login_rules.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "topic_levels.h"

using topic_levels::Brief;
using topic_levels::is_hash;
using topic_levels::is_plus;
using topic_levels::is_wild;
using topic_levels::Levels;

namespace {

// The length of a C string, and whether it holds a '/': in one pass.
std::size_t length(const char *s, bool &slash) noexcept {
    const char *p = s;
    for (; *p; ++p) slash = slash || *p == '/';
    return static_cast<std::size_t>(p - s);
}

// "$share/GROUP/FILTER" subscribes to FILTER; the group only shares delivery.
std::string_view without_share(std::string_view filter) {
    constexpr std::string_view share = "$share/";
    if (filter.substr(0, share.size()) != share) return filter;
    const auto slash = filter.find('/', share.size());
    if (slash == std::string_view::npos || slash + 1 >= filter.size()) return filter;
    return filter.substr(slash + 1);
}

}  // namespace

// The client's placeholder values for one decision; a missing one, or one
// that would span levels, fills nothing.
struct LoginRules::Values {
    std::string_view username, clientid;
    Brief user_brief, client_brief;
    std::uint8_t usable = 0;  // Rule::username_bit | clientid_bit
    Values(const char *user, const char *client) noexcept {
        bool slash = false;
        if (user) username = std::string_view(user, length(user, slash));
        if (user && !slash) usable |= Rule::username_bit;
        slash = false;
        if (client) clientid = std::string_view(client, length(client, slash));
        if (client && !slash) usable |= Rule::clientid_bit;
        user_brief = Brief(username);
        client_brief = Brief(clientid);
    }
};

// The check's topic split into levels once per decision, on the stack: the
// first ones kept, any further found again when asked for.
struct LoginRules::Topic {
    static constexpr std::uint32_t kept = 32;
    const char *start[kept];  // of each kept level; its size in brief
    Brief brief[kept];
    std::uint32_t count = 0;
    bool dollar;  // starts with '$': no wildcard first level meets it
    // A filter's levels before its first wildcard; after it, any rule's text
    // may be met. A topic name's are all plain.
    std::uint32_t plain = 0;
    bool hash = false;        // a filter with '#': it matches topics of any depth past it
    std::string_view beyond;  // what follows the kept levels

    Topic(std::string_view text, bool filter) noexcept : dollar(!text.empty() && text[0] == '$') {
        plain = 0xffffffff;
        const char *p = text.data(), *const end = p + text.size();
        for (;;) {
            const char *level_end = p;
            while (level_end != end && *level_end != '/') ++level_end;
            const std::string_view l(p, static_cast<std::size_t>(level_end - p));
            if (filter && is_wild(l)) {
                plain = std::min(plain, count);
                hash = hash || is_hash(l);
            }
            if (count < kept) {
                start[count] = p;
                brief[count] = Brief(l);
                if (count + 1 == kept && level_end != end)
                    beyond = std::string_view(level_end + 1, static_cast<std::size_t>(end - level_end - 1));
            }
            ++count;
            if (level_end == end) break;
            p = level_end + 1;
        }
        plain = std::min(plain, count);
    }
    std::string_view level(std::uint32_t i) const noexcept { return std::string_view(start[i], brief[i].size); }
    std::string_view at(std::uint32_t i) const noexcept {
        if (i < kept) return level(i);
        Levels more(beyond);
        std::string_view l;
        for (std::uint32_t k = kept; more.next(l) && k < i; ++k) {
        }
        return l;
    }
};

bool LoginRules::equal(const Level &level, const Topic &t, std::uint32_t i, const Values &v) const noexcept {
    if (level.kind == Level::mixed || i >= Topic::kept) return equal_mixed(level, t.at(i), v);
    const Brief &b = t.brief[i];
    const char *data;
    switch (level.kind) {
    case Level::text:
        if (b.size != level.size || b.head != level.head) return false;
        data = text_.data() + level.at;
        break;
    case Level::username:
        if (b.size != v.user_brief.size || b.head != v.user_brief.head) return false;
        data = v.username.data();
        break;
    case Level::clientid:
        if (b.size != v.client_brief.size || b.head != v.client_brief.head) return false;
        data = v.clientid.data();
        break;
    default: return false;
    }
    return b.size <= 8 || std::memcmp(t.start[i] + 8, data + 8, b.size - 8) == 0;
}

// A level of text and placeholders, or past the kept levels: piece by piece.
bool LoginRules::equal_mixed(const Level &level, std::string_view text, const Values &v) const noexcept {
    auto piece_of = [&](Piece::Kind kind, std::uint32_t at, std::uint32_t size) {
        return kind == Piece::username ? v.username
               : kind == Piece::clientid ? v.clientid
                                         : std::string_view(text_.data() + at, size);
    };
    if (level.kind != Level::mixed) {
        const Piece::Kind kind = level.kind == Level::username   ? Piece::username
                                 : level.kind == Level::clientid ? Piece::clientid
                                                                 : Piece::text;
        return level.kind <= Level::clientid && text == piece_of(kind, level.at, level.size);
    }
    for (std::uint32_t k = level.at; k < level.at + level.size; ++k) {
        const std::string_view piece = piece_of(pieces_[k].kind, pieces_[k].at, pieces_[k].size);
        if (text.substr(0, piece.size()) != piece) return false;
        text.remove_prefix(piece.size());
    }
    return text.empty();
}

bool LoginRules::starts_with_dollar(const Level &level, const Values &v) const noexcept {
    switch (level.kind) {
    case Level::text: return level.size > 0 && text_[level.at] == '$';
    case Level::username: return !v.username.empty() && v.username[0] == '$';
    case Level::clientid: return !v.clientid.empty() && v.clientid[0] == '$';
    case Level::mixed: break;
    case Level::plus:
    case Level::hash: return false;
    }
    for (std::uint32_t i = level.at; i < level.at + level.size; ++i) {
        const Piece &p = pieces_[i];
        const std::string_view piece = p.kind == Piece::username   ? v.username
                                       : p.kind == Piece::clientid ? v.clientid
                                                                   : std::string_view(text_.data() + p.at, p.size);
        if (!piece.empty()) return piece[0] == '$';
    }
    return false;
}

// A client's own name standing first in a filter, beginning with '$': a rule
// written for the client's own topics ("${clientid}/#") would otherwise reach
// the broker's ($SYS, $CONTROL) for a client that names itself so.
bool LoginRules::dollar_by_placeholder(const Level &level, const Values &v) const noexcept {
    switch (level.kind) {
    case Level::username:
    case Level::clientid: return starts_with_dollar(level, v);
    case Level::mixed: break;
    default: return false;
    }
    for (std::uint32_t i = level.at; i < level.at + level.size; ++i) {
        const Piece &p = pieces_[i];
        const std::string_view piece = p.kind == Piece::username   ? v.username
                                       : p.kind == Piece::clientid ? v.clientid
                                                                   : std::string_view(text_.data() + p.at, p.size);
        if (!piece.empty()) return p.kind != Piece::text && piece[0] == '$';
    }
    return false;
}


// A topic name against the rule's filter. A filter whose first level is a
// wildcard matches no topic starting with '$'.
bool LoginRules::matches(const Rule &rule, const Topic &t, const Values &v) const noexcept {
    for (std::uint32_t i = 0; i < rule.count; ++i) {
        const Level &r = levels_[rule.first + i];
        if (r.kind == Level::hash) return !(i == 0 && t.dollar);  // the rest, or none ("a/#" matches "a")
        if (i >= t.count) return false;
        if (r.kind == Level::plus) {
            if (i == 0 && t.dollar) return false;
        } else if (!equal(r, t, i, v)) {
            return false;
        }
    }
    return rule.count == t.count;
}

// Every topic the filter matches, the rule's filter matches too.
bool LoginRules::covers(const Rule &rule, const Topic &f, const Values &v) const noexcept {
    const bool f_dollar = f.dollar && !is_wild(f.at(0));
    for (std::uint32_t i = 0;; ++i) {
        const Level *r = i < rule.count ? &levels_[rule.first + i] : nullptr;
        if (r && r->kind == Level::hash) return !(i == 0 && f_dollar);
        if (i >= f.count) return !r;
        if (!r) return false;
        const std::string_view level = f.at(i);
        if (is_hash(level)) {
            // "#" matches every topic of one level or more, as "+/#" does.
            return i == 0 && r->kind == Level::plus && rule.count == 2 && levels_[rule.first + 1].kind == Level::hash;
        }
        if (is_plus(level)) {
            if (r->kind != Level::plus) return false;
        } else if (r->kind == Level::plus) {
            if (i == 0 && f_dollar) return false;
        } else if (!equal(*r, f, i, v)) {
            return false;
        }
    }
}

// Some topic both filters match.
bool LoginRules::overlaps(const Rule &rule, const Topic &f, const Values &v) const noexcept {
    for (std::uint32_t i = 0;; ++i) {
        const Level *r = i < rule.count ? &levels_[rule.first + i] : nullptr;
        const bool f_end = i >= f.count;
        const std::string_view level = f_end ? std::string_view() : f.at(i);
        const bool f_wild = !f_end && is_wild(level);
        const bool r_wild = r && (r->kind == Level::plus || r->kind == Level::hash);
        if (i == 0) {  // a wildcard first level meets no '$' topic
            if (r_wild && !f_wild && f.dollar) return false;
            if (f_wild && r && !r_wild && starts_with_dollar(*r, v)) return false;
        }
        if ((f_wild && is_hash(level)) || (r && r->kind == Level::hash)) return true;
        if (f_end || !r) return f_end && !r;
        if (f_wild || r_wild) continue;
        if (!equal(*r, f, i, v)) return false;
    }
}

std::optional<LoginRules::Match> LoginRules::attempt(const Rule &rule, std::uint8_t action, bool retain,
                                                    bool filter, std::string_view topic, const Topic &t,
                                                    const Values &v) const noexcept {
    if (action == Rule::publish_bit && rule.retain >= 0 && (rule.retain == 1) != retain) return std::nullopt;
    if ((rule.needs & v.usable) != rule.needs) return std::nullopt;
    // Such a name grants nothing there; a deny rule still refuses by it.
    if (rule.allow && !rule.exact && rule.needs && dollar_by_placeholder(levels_[rule.first], v)) return std::nullopt;
    bool hit;
    if (rule.exact) hit = topic.size() == rule.count && std::memcmp(topic.data(), text_.data() + rule.first, rule.count) == 0;
    else if (!filter) hit = matches(rule, t, v);
    else hit = rule.allow ? covers(rule, t, v) : overlaps(rule, t, v);
    if (!hit) return std::nullopt;
    return rule.allow ? Match::allow : Match::deny;
}

LoginRules::Match LoginRules::decide(Access access, std::string_view topic, int qos, bool retain,
                                     const char *username, const char *clientid,
                                     std::uint32_t *which) const noexcept {
    std::uint8_t action = 0;
    switch (access) {
    case Access::write: action = Rule::publish_bit; break;
    case Access::read:
    case Access::subscribe: action = Rule::subscribe_bit; break;
    case Access::unsubscribe:
    case Access::none: return Match::none;
    }
    const bool filter = access == Access::subscribe;
    if (filter) topic = without_share(topic);
    const Values v(username, clientid);
    const Topic t(topic, filter);
    const std::uint8_t qos_bit = qos >= 0 && qos <= 2 ? static_cast<std::uint8_t>(1u << qos) : Rule::other_qos;
    const std::uint32_t plain = std::min(t.plain, Topic::kept);
    auto one = [&](std::uint32_t i) -> std::optional<Match> {
        const Rule &rule = rules_[i];
        // What tells most rules apart at a glance: action, QoS, depth, sign.
        if (!(rule.actions & action) || !(rule.qos & qos_bit)) return std::nullopt;
        if (!rule.exact) {
            // A filter without '#' has topics of its own depth only.
            if (!t.hash && (t.count < rule.min_levels || t.count > rule.max_levels)) return std::nullopt;
            // Text meets only the same text, at a level the check has plain.
            if (rule.sign_level < plain &&
                (t.brief[rule.sign_level].size != rule.sign_size || t.brief[rule.sign_level].head != rule.sign_head))
                return std::nullopt;
        }
        return attempt(rule, action, retain, filter, topic, t, v);
    };
    // Only the rules whose text at the index's level is the check's (or
    // that have none there) can match; a level the check lacks, or where a
    // filter has a wildcard, asks them all.
    if (!by_level_.empty() && index_level_ < t.plain && index_level_ < Topic::kept) {
        const auto found = by_level_.find(t.level(index_level_));
        const std::uint32_t *a = found == by_level_.end() ? nullptr : indexed_.data() + found->second.first;
        const std::uint32_t *a_end = a ? a + found->second.second : nullptr;
        const std::uint32_t *b = always_.data(), *b_end = b + always_.size();
        while (a != a_end || b != b_end) {  // both in the rules' order
            const std::uint32_t i = (b == b_end || (a != a_end && *a < *b)) ? *a++ : *b++;
            if (auto d = one(i)) return which ? *which = rules_[i].source, *d : *d;
        }
        return Match::none;
    }
    for (std::uint32_t i = 0; i < rules_.size(); ++i)
        if (auto d = one(i)) return which ? *which = rules_[i].source, *d : *d;
    return Match::none;
}

std::int64_t unix_now() noexcept {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
