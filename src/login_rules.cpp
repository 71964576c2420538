#include "login_rules.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <type_traits>

#include "answer.h"
#include "heap_bytes.h"

using json = nlohmann::json;

namespace {

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

bool is_plus(std::string_view level) { return level.size() == 1 && level[0] == '+'; }
bool is_hash(std::string_view level) { return level.size() == 1 && level[0] == '#'; }
bool is_wild(std::string_view level) { return level.size() == 1 && (level[0] == '+' || level[0] == '#'); }

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

std::optional<std::string_view> LoginRules::text_at(const Rule &rule, std::uint32_t k) const noexcept {
    if (rule.exact || k >= rule.count) return std::nullopt;
    for (std::uint32_t i = 0; i < k; ++i)
        if (levels_[rule.first + i].kind == Level::hash) return std::nullopt;
    const Level &l = levels_[rule.first + k];
    if (l.kind != Level::text) return std::nullopt;
    return std::string_view(text_).substr(l.at, l.size);
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

std::optional<LoginRules::Decision> LoginRules::attempt(const Rule &rule, std::uint8_t action, bool retain,
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
    return rule.allow ? Decision::allow : Decision::deny;
}

LoginRules::Decision LoginRules::decide(Access access, std::string_view topic, int qos, bool retain,
                                        const char *username, const char *clientid,
                                        std::uint32_t *which) const noexcept {
    std::uint8_t action = 0;
    switch (access) {
    case Access::write: action = Rule::publish_bit; break;
    case Access::read:
    case Access::subscribe: action = Rule::subscribe_bit; break;
    case Access::unsubscribe:
    case Access::none: return Decision::no_match;
    }
    const bool filter = access == Access::subscribe;
    if (filter) topic = without_share(topic);
    const Values v(username, clientid);
    const Topic t(topic, filter);
    const std::uint8_t qos_bit = qos >= 0 && qos <= 2 ? static_cast<std::uint8_t>(1u << qos) : Rule::other_qos;
    const std::uint32_t plain = std::min(t.plain, Topic::kept);
    auto one = [&](std::uint32_t i) -> std::optional<Decision> {
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
        return Decision::no_match;
    }
    for (std::uint32_t i = 0; i < rules_.size(); ++i)
        if (auto d = one(i)) return which ? *which = rules_[i].source, *d : *d;
    return Decision::no_match;
}

void LoginRules::build_index() {
    // Each rule's sign: its text that the fewest rules have at that level.
    // One pass over each rule's levels, up to a '#' (a rule may have
    // thousands).
    auto each_text = [this](const Rule &r, auto &&use) {
        for (std::uint32_t k = 0; !r.exact && k < r.count; ++k) {
            const Level &l = levels_[r.first + k];
            if (l.kind == Level::hash) break;
            if (l.kind == Level::text) use(k, std::string_view(text_).substr(l.at, l.size));
        }
    };
    std::map<std::pair<std::uint32_t, std::string_view>, std::size_t> how_often;
    for (const Rule &r : rules_) each_text(r, [&](std::uint32_t k, std::string_view text) { ++how_often[{k, text}]; });
    for (Rule &r : rules_) {
        r.sign_level = Rule::none;
        std::size_t rarest = 0;
        each_text(r, [&](std::uint32_t k, std::string_view text) {
            const std::size_t n = how_often[{k, text}];
            if (r.sign_level != Rule::none && n > rarest) return;
            const Brief brief(text);
            r.sign_level = k, r.sign_size = brief.size, r.sign_head = brief.head, rarest = n;
        });
    }
    // The level that spares a decision most rules at worst: all but those
    // of its most common text.
    std::size_t best = 0;
    for (std::uint32_t k = 0; k < index_levels; ++k) {
        std::unordered_map<std::string_view, std::size_t> texts;
        std::size_t with_text = 0, largest = 0;
        for (const Rule &r : rules_)
            if (auto text = text_at(r, k)) ++with_text, largest = std::max(largest, ++texts[*text]);
        if (with_text - largest > best) best = with_text - largest, index_level_ = k;
    }
    if (best == 0) return;
    for (std::uint32_t i = 0; i < rules_.size(); ++i) {
        if (auto text = text_at(rules_[i], index_level_)) ++by_level_[*text].second;
        else always_.push_back(i);
    }
    std::uint32_t at = 0;
    for (auto &[text, range] : by_level_) range.first = at, at += range.second, range.second = 0;
    indexed_.resize(at);
    for (std::uint32_t i = 0; i < rules_.size(); ++i) {
        if (auto text = text_at(rules_[i], index_level_)) {
            auto &range = by_level_[*text];
            indexed_[range.first + range.second++] = i;
        }
    }
}

std::size_t LoginRules::bytes() const noexcept {
    // make_shared puts the object beside its counts and a vtable pointer.
    std::size_t held = heap_bytes(sizeof(LoginRules) + 2 * sizeof(void *));
    if (text_.capacity() > std::string().capacity()) held += heap_bytes(text_.capacity() + 1);  // past the inline room
    auto room = [](const auto &v) {
        return heap_bytes(v.capacity() * sizeof(typename std::decay_t<decltype(v)>::value_type));
    };
    held += room(pieces_) + room(levels_) + room(rules_) + room(indexed_) + room(always_);
    // A node each: the next one's pointer, the value and its hash.
    using Node = decltype(by_level_)::value_type;
    held += by_level_.size() * heap_bytes(sizeof(void *) + sizeof(Node) + sizeof(std::size_t));
    if (by_level_.bucket_count() > 1) held += heap_bytes(by_level_.bucket_count() * sizeof(void *));  // one is inline
    return held;
}

// Builds a LoginRules from the parser's events, as they come: no document
// is built (whose destruction would allocate, and so could not fail safely),
// unknown members are skipped, and the first thing wrong stops the parse
// with a message naming it.
class RulesReader : public nlohmann::json_sax<json> {
public:
    RulesReader(LoginRules &out, char (&error)[128]) : out_(out), error_(error) {}

    bool fail(const char *what) { return fail("%s", what); }
    template <typename... Args>
    bool fail(const char *format, Args... args) {
        std::snprintf(error_, sizeof error_, format, args...);
        return false;
    }
    bool failed() const { return error_[0] != '\0'; }
    void finish() { out_.build_index(); }

    bool null() override { return value({Value::other}); }
    bool boolean(bool b) override { return value({Value::boolean, b}); }
    bool number_integer(number_integer_t) override { return value({Value::other}); }  // only negative ones come here
    bool number_unsigned(number_unsigned_t n) override { return value({Value::whole, false, n}); }
    bool number_float(number_float_t, const string_t &) override { return value({Value::other}); }
    bool string(string_t &s) override { return value({Value::string, false, 0, &s}); }
    bool binary(binary_t &) override { return value({Value::other}); }
    bool start_object(std::size_t) override { return value({Value::object}); }
    bool start_array(std::size_t) override { return value({Value::array}); }
    bool key(string_t &k) override;
    bool end_object() override;
    bool end_array() override;
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override {
        return failed() ? false : fail("the answer is not valid JSON");
    }

private:
    using Rule = LoginRules::Rule;
    struct Value {
        enum Type { other, boolean, whole, string, object, array } type;
        bool flag = false;
        std::uint64_t number = 0;
        const std::string *text = nullptr;
    };
    // Where the parser is, and which member's value comes next.
    enum class At { start, top, acl, rule, qos, topics, done } at_ = At::start;
    enum Member { result, is_superuser, expire_at, acl, permission, action, topic, topics, qos, retain, unknown };
    Member member_ = unknown;

    bool value(const Value &v);
    bool top_value(const Value &v);
    bool rule_value(const Value &v);
    bool add_topic(const std::string &topic);

    std::uint32_t keep_text(std::string_view text) {
        const auto at = static_cast<std::uint32_t>(out_.text_.size());
        out_.text_.append(text);
        return at;
    }
    bool compile(Rule &rule, const std::string &topic);

    LoginRules &out_;
    char (&error_)[128];
    std::size_t skipping_ = 0;  // depth inside an unknown member's value
    unsigned seen_ = 0, rule_seen_ = 0;  // members given so far: bit per Member
    std::size_t rule_n_ = 0;             // the rule being read, from 1
    Rule rule_{};                        // its conditions so far
    std::size_t rule_first_ = 0;         // its first entry in out_.rules_: one per topic
};

bool RulesReader::key(string_t &k) {
    if (skipping_) return true;
    static const char *const names[] = {"result", "is_superuser", "expire_at", "acl",  "permission",
                                        "action", "topic",        "topics",    "qos",  "retain"};
    const bool in_rule = at_ == At::rule;
    member_ = unknown;
    for (int m = in_rule ? permission : result; m <= (in_rule ? retain : acl); ++m)
        if (k == names[m]) member_ = static_cast<Member>(m);
    if (in_rule && member_ == unknown) return fail("rule %zu: unknown member", rule_n_);
    if (member_ == unknown) return true;
    unsigned &seen = in_rule ? rule_seen_ : seen_;
    // Which of two would count is a guess: neither does.
    if (seen & (1u << member_))
        return in_rule ? fail("rule %zu: a member is given twice", rule_n_) : fail("the answer gives a member twice");
    seen |= 1u << member_;
    return true;
}

bool RulesReader::value(const Value &v) {
    const bool container = v.type == Value::object || v.type == Value::array;
    if (skipping_) {
        skipping_ += container;
        return true;
    }
    switch (at_) {
    case At::start:
        if (v.type != Value::object) return fail("the answer is not a JSON object");
        at_ = At::top;
        return true;
    case At::top: return top_value(v);
    case At::acl:
        if (++rule_n_ > LoginRules::max_rules) return fail("acl has more than %zu rules", LoginRules::max_rules);
        if (v.type != Value::object) return fail("rule %zu: not an object", rule_n_);
        rule_ = Rule{};
        rule_.qos = 0xff;  // any QoS unless listed
        rule_.retain = -1;
        rule_seen_ = 0;
        rule_first_ = out_.rules_.size();
        at_ = At::rule;
        return true;
    case At::rule: return rule_value(v);
    case At::qos:
        if (v.type != Value::whole || v.number > 2) return fail("rule %zu: qos must be a list of 0, 1 and 2", rule_n_);
        rule_.qos = static_cast<std::uint8_t>(rule_.qos | (1u << v.number));
        return true;
    case At::topics:
        if (v.type != Value::string || !add_topic(*v.text))
            return fail("rule %zu: topics must be a list of valid topic filters", rule_n_);
        return true;
    case At::done: break;
    }
    return fail("the answer is not valid JSON");
}

bool RulesReader::top_value(const Value &v) {
    const std::string *s = v.type == Value::string ? v.text : nullptr;
    switch (member_) {
    case result:
        if (s && *s == "allow") out_.result_ = LoginRules::Result::allow;
        else if (s && *s == "deny") out_.result_ = LoginRules::Result::deny;
        else if (s && *s == "ignore") out_.result_ = LoginRules::Result::ignore;
        else return fail("result must be \"allow\", \"deny\" or \"ignore\"");
        out_.has_result_ = true;
        return true;
    case is_superuser:
        if (v.type != Value::boolean) return fail("is_superuser must be true or false");
        out_.superuser_ = v.flag;
        return true;
    case expire_at:
        if (v.type != Value::whole || v.number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return fail("expire_at must be a whole, non-negative number of seconds");
        out_.expire_at_ = static_cast<std::int64_t>(v.number);
        return true;
    case acl:
        if (v.type != Value::array) return fail("acl must be a list");
        out_.has_acl_ = true;
        at_ = At::acl;
        return true;
    default:  // unknown members are ignored, whatever they hold
        skipping_ = v.type == Value::object || v.type == Value::array;
        return true;
    }
}

bool RulesReader::rule_value(const Value &v) {
    const std::string *s = v.type == Value::string ? v.text : nullptr;
    switch (member_) {
    case permission:
        if (!s || (*s != "allow" && *s != "deny")) return fail("rule %zu: permission must be \"allow\" or \"deny\"", rule_n_);
        rule_.allow = *s == "allow";
        return true;
    case action:
        if (s && *s == "publish") rule_.actions = Rule::publish_bit;
        else if (s && *s == "subscribe") rule_.actions = Rule::subscribe_bit;
        else if (s && *s == "all") rule_.actions = Rule::publish_bit | Rule::subscribe_bit;
        else return fail("rule %zu: action must be \"publish\", \"subscribe\" or \"all\"", rule_n_);
        return true;
    case topic:
        if (!s || !add_topic(*s)) return fail("rule %zu: topic must be a valid topic filter", rule_n_);
        return true;
    case topics:
        if (v.type != Value::array) return fail("rule %zu: topics must be a list of topic filters", rule_n_);
        at_ = At::topics;
        return true;
    case qos:
        if (v.type != Value::array) return fail("rule %zu: qos must be a list of 0, 1 and 2", rule_n_);
        rule_.qos = 0;
        at_ = At::qos;
        return true;
    case retain:
        if (v.type == Value::boolean) rule_.retain = v.flag ? 1 : 0;
        else if (!s || *s != "all") return fail("rule %zu: retain must be true, false or \"all\"", rule_n_);
        return true;
    default: break;
    }
    return fail("rule %zu: unknown member", rule_n_);
}

// Each topic is an entry of its own, its conditions filled in when the rule ends.
bool RulesReader::add_topic(const std::string &text) {
    Rule entry{};
    if (!compile(entry, text)) return false;
    out_.rules_.push_back(entry);
    return true;
}

bool RulesReader::end_object() {
    if (skipping_) return --skipping_, true;
    if (at_ == At::top) {
        at_ = At::done;
        return true;
    }
    // A rule ends: what it requires, then its conditions onto each of its topics.
    if (!(rule_seen_ & (1u << permission))) return fail("rule %zu: permission must be \"allow\" or \"deny\"", rule_n_);
    if (!(rule_seen_ & (1u << action)))
        return fail("rule %zu: action must be \"publish\", \"subscribe\" or \"all\"", rule_n_);
    if (((rule_seen_ >> topic) & 1) == ((rule_seen_ >> topics) & 1))
        return fail("rule %zu: give either topic or topics", rule_n_);
    if (rule_first_ == out_.rules_.size()) return fail("rule %zu: topics must be a list of topic filters", rule_n_);
    for (std::size_t i = rule_first_; i < out_.rules_.size(); ++i) {
        Rule &r = out_.rules_[i];
        r.allow = rule_.allow;
        r.actions = rule_.actions;
        r.qos = rule_.qos;
        r.retain = rule_.retain;
        r.source = static_cast<std::uint32_t>(rule_n_ - 1);
    }
    at_ = At::acl;
    return true;
}

bool RulesReader::end_array() {
    if (skipping_) return --skipping_, true;
    at_ = at_ == At::acl ? At::top : At::rule;  // the acl, or a rule's qos or topics
    return true;
}

// "eq T" is T as it is; anything else a filter whose wildcards fill whole
// levels, '#' last, with ${username} and ${clientid} anywhere in a level.
bool RulesReader::compile(Rule &rule, const std::string &filter) {
    using Level = LoginRules::Level;
    using Piece = LoginRules::Piece;
    if (filter.rfind("eq ", 0) == 0) {
        const std::string_view exact = std::string_view(filter).substr(3);
        if (exact.empty()) return false;
        rule.exact = true;
        rule.first = keep_text(exact);
        rule.count = static_cast<std::uint32_t>(exact.size());
        return true;
    }
    if (filter.empty()) return false;
    rule.exact = false;
    rule.needs = 0;
    rule.first = static_cast<std::uint32_t>(out_.levels_.size());
    Levels split(filter);
    std::string_view level;
    bool ended = false;
    while (split.next(level)) {
        if (ended) return false;  // a level after '#'
        if (is_wild(level)) {
            ended = is_hash(level);
            out_.levels_.push_back({ended ? Level::hash : Level::plus, 0, 0, 0});
            continue;
        }
        if (level.find_first_of("+#") != std::string_view::npos) return false;
        const auto first_piece = static_cast<std::uint32_t>(out_.pieces_.size());
        while (!level.empty()) {
            Piece p{Piece::text, 0, 0};
            std::size_t used = 0;
            if (level.rfind("${username}", 0) == 0) {
                p.kind = Piece::username, used = 11;
                rule.needs |= Rule::username_bit;
            } else if (level.rfind("${clientid}", 0) == 0) {
                p.kind = Piece::clientid, used = 11;
                rule.needs |= Rule::clientid_bit;
            } else if (level.rfind("${", 0) == 0 && level.find('}') != std::string_view::npos) {
                return false;  // a placeholder we cannot fill would silently never match
            } else {
                used = level.find("${", 1);
                if (used == std::string_view::npos) used = level.size();
                p.at = keep_text(level.substr(0, used));
                p.size = static_cast<std::uint32_t>(used);
            }
            out_.pieces_.push_back(p);
            level.remove_prefix(used);
        }
        // One piece (or none: an empty level) is compared whole.
        const auto pieces = static_cast<std::uint32_t>(out_.pieces_.size()) - first_piece;
        Level l{Level::mixed, first_piece, pieces, 0};
        if (pieces == 0) {
            l = {Level::text, 0, 0, 0};
        } else if (pieces == 1) {
            const Piece p = out_.pieces_.back();
            out_.pieces_.pop_back();
            l = {p.kind == Piece::username ? Level::username : p.kind == Piece::clientid ? Level::clientid : Level::text,
                 p.at, p.size, 0};
            if (l.kind == Level::text) l.head = Brief(std::string_view(out_.text_).substr(p.at, p.size)).head;
        }
        out_.levels_.push_back(l);
    }
    rule.count = static_cast<std::uint32_t>(out_.levels_.size()) - rule.first;
    rule.min_levels = rule.max_levels = rule.count;
    for (std::uint32_t k = 0; k < rule.count; ++k)
        if (out_.levels_[rule.first + k].kind == Level::hash) rule.min_levels = k, rule.max_levels = Rule::none;
    return true;
}

RulesRead read_login_rules(std::string_view body) noexcept {
    RulesRead read;
    try {
        auto rules = std::make_shared<LoginRules>();
        RulesReader reader(*rules, read.error);
        if (body.size() > Body::limit) {
            reader.fail("the answer is larger than %zu bytes", Body::limit);
            return read;
        }
        const bool read_all = json::sax_parse(body.begin(), body.end(), &reader);
        if (read_all && !reader.failed()) {
            reader.finish();
            read.rules = std::move(rules);
        }
        else if (!reader.failed()) reader.fail("the answer is not valid JSON");
    } catch (...) {
        read.rules.reset();
        std::snprintf(read.error, sizeof read.error, "out of memory while reading the answer");
    }
    return read;
}

RulesRead read_login_rules(const Answer &answer, bool need_result) noexcept {
    if (answer.outcome() != Outcome::granted) return {};
    RulesRead read;
    const bool empty = answer.body && !answer.body->lost && !answer.body->too_large && answer.body->bytes.empty();
    if (empty && need_result) {
        std::snprintf(read.error, sizeof read.error, "a 200 without a body, so without a result");
        return read;
    }
    if (empty) return read;  // a plain 200, whatever its type says
    // A body of any other type might say "deny" in words we would not read:
    // refused rather than taken for a plain 200.
    if (answer.content_types != 1 || !answer.json) {
        if (answer.content_types > 1)
            std::snprintf(read.error, sizeof read.error, "it has %u Content-Type lines, not one application/json",
                          static_cast<unsigned>(answer.content_types));
        else if (answer.content_types == 0)
            std::snprintf(read.error, sizeof read.error, "it has a body and no Content-Type, not application/json");
        else
            std::snprintf(read.error, sizeof read.error, "its Content-Type is \"%s\", not application/json",
                          answer.media_type);
    } else if (!answer.body || answer.body->lost) {
        std::snprintf(read.error, sizeof read.error, "the answer's body was not kept");
    } else if (answer.body->too_large) {
        std::snprintf(read.error, sizeof read.error, "the answer is larger than %zu bytes", Body::limit);
    } else {
        read = read_login_rules(answer.body->bytes);
        if (need_result && read.rules && !read.rules->has_result()) {
            read.rules.reset();
            std::snprintf(read.error, sizeof read.error, "the answer has no result");
        }
    }
    return read;
}

std::int64_t unix_now() noexcept {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
