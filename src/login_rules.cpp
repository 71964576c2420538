#include "login_rules.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iterator>
#include <limits>

#include "answer.h"

using json = nlohmann::json;

namespace {

constexpr int max_depth = 32;  // far more than the format needs; bounds what a body can nest

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

// What one level of a subscription's filter is.
enum class Kind { literal, plus, hash, end };
Kind kind_of(bool present, std::string_view level) {
    if (!present) return Kind::end;
    if (level == "+") return Kind::plus;
    if (level == "#") return Kind::hash;
    return Kind::literal;
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
    std::uint8_t usable = 0;  // Rule::username_bit | clientid_bit
    Values(const char *user, const char *client) noexcept {
        if (user) username = user;
        if (client) clientid = client;
        if (user && username.find('/') == std::string_view::npos) usable |= Rule::username_bit;
        if (client && clientid.find('/') == std::string_view::npos) usable |= Rule::clientid_bit;
    }
    std::string_view of(const Piece &p, const std::string &text) const noexcept {
        switch (p.kind) {
        case Piece::username: return username;
        case Piece::clientid: return clientid;
        case Piece::text: break;
        }
        return std::string_view(text).substr(p.at, p.size);
    }
};

bool LoginRules::equal(const Level &level, std::string_view text, const Values &v) const noexcept {
    for (std::uint32_t i = level.first; i < level.first + level.count; ++i) {
        const std::string_view piece = v.of(pieces_[i], text_);
        if (text.substr(0, piece.size()) != piece) return false;
        text.remove_prefix(piece.size());
    }
    return text.empty();
}

bool LoginRules::starts_with_dollar(const Level &level, const Values &v) const noexcept {
    for (std::uint32_t i = level.first; i < level.first + level.count; ++i) {
        const std::string_view piece = v.of(pieces_[i], text_);
        if (!piece.empty()) return piece[0] == '$';
    }
    return false;
}

// A topic name against the rule's filter. A filter whose first level is a
// wildcard matches no topic starting with '$'.
bool LoginRules::matches(const Rule &rule, std::string_view topic, const Values &v) const noexcept {
    const bool dollar = !topic.empty() && topic[0] == '$';
    Levels t(topic);
    std::string_view level;
    for (std::uint32_t i = 0; i < rule.count; ++i) {
        const Level &r = levels_[rule.first + i];
        if (r.kind == Level::hash) return !(i == 0 && dollar);  // the rest, or none ("a/#" matches "a")
        if (!t.next(level)) return false;
        if (r.kind == Level::plus) {
            if (i == 0 && dollar) return false;
        } else if (!equal(r, level, v)) {
            return false;
        }
    }
    return !t.next(level);
}

// Every topic the filter matches, the rule's filter matches too.
bool LoginRules::covers(const Rule &rule, std::string_view filter, const Values &v) const noexcept {
    Levels f(filter);
    std::string_view level;
    for (std::uint32_t i = 0;; ++i) {
        const Level *r = i < rule.count ? &levels_[rule.first + i] : nullptr;
        const Kind fk = kind_of(f.next(level), level);
        const bool f_dollar = i == 0 && fk == Kind::literal && !level.empty() && level[0] == '$';
        if (r && r->kind == Level::hash) return !f_dollar;
        if (fk == Kind::end) return !r;
        if (!r) return false;
        switch (fk) {
        case Kind::hash:
            // "#" matches every topic of one level or more, as "+/#" does.
            return i == 0 && r->kind == Level::plus && rule.count == 2 && levels_[rule.first + 1].kind == Level::hash;
        case Kind::plus:
            if (r->kind != Level::plus) return false;
            break;
        default:
            if (r->kind == Level::plus) {
                if (f_dollar) return false;
            } else if (!equal(*r, level, v)) {
                return false;
            }
        }
    }
}

// Some topic both filters match.
bool LoginRules::overlaps(const Rule &rule, std::string_view filter, const Values &v) const noexcept {
    Levels f(filter);
    std::string_view level;
    for (std::uint32_t i = 0;; ++i) {
        const Level *r = i < rule.count ? &levels_[rule.first + i] : nullptr;
        const Kind fk = kind_of(f.next(level), level);
        const Level::Kind rk = r ? r->kind : Level::literal;
        const bool f_wild = fk == Kind::plus || fk == Kind::hash, r_wild = r && rk != Level::literal;
        if (i == 0) {  // a wildcard first level meets no '$' topic
            if (r_wild && fk == Kind::literal && !level.empty() && level[0] == '$') return false;
            if (f_wild && r && !r_wild && starts_with_dollar(*r, v)) return false;
        }
        if (fk == Kind::hash || (r && rk == Level::hash)) return true;
        if (fk == Kind::end || !r) return fk == Kind::end && !r;
        if (f_wild || r_wild) continue;
        if (!equal(*r, level, v)) return false;
    }
}

LoginRules::Decision LoginRules::decide(Access access, std::string_view topic, int qos, bool retain,
                                        const char *username, const char *clientid) const noexcept {
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
    const std::uint8_t qos_bit = qos >= 0 && qos <= 2 ? static_cast<std::uint8_t>(1u << qos) : Rule::other_qos;
    for (const Rule &rule : rules_) {
        if (!(rule.actions & action) || !(rule.qos & qos_bit)) continue;
        if (action == Rule::publish_bit && rule.retain >= 0 && (rule.retain == 1) != retain) continue;
        if ((rule.needs & v.usable) != rule.needs) continue;
        bool hit;
        if (rule.exact) hit = std::string_view(text_).substr(rule.first, rule.count) == topic;
        else if (!filter) hit = matches(rule, topic, v);
        else hit = rule.allow ? covers(rule, topic, v) : overlaps(rule, topic, v);
        if (hit) return rule.allow ? Decision::allow : Decision::deny;
    }
    return Decision::no_match;
}

// Builds a LoginRules from a parsed answer, or says what was wrong.
class RulesReader {
public:
    RulesReader(LoginRules &out, char (&error)[128]) : out_(out), error_(error) {}

    bool read(const json &doc) {
        if (!doc.is_object()) return fail("the answer is not a JSON object");
        if (auto it = doc.find("result"); it != doc.end()) {
            const std::string *s = it->get_ptr<const std::string *>();
            if (s && *s == "allow") out_.result_ = LoginRules::Result::allow;
            else if (s && *s == "deny") out_.result_ = LoginRules::Result::deny;
            else if (s && *s == "ignore") out_.result_ = LoginRules::Result::ignore;
            else return fail("result must be \"allow\", \"deny\" or \"ignore\"");
        }
        if (auto it = doc.find("is_superuser"); it != doc.end()) {
            if (!it->is_boolean()) return fail("is_superuser must be true or false");
            out_.superuser_ = it->get<bool>();
        }
        if (auto it = doc.find("expire_at"); it != doc.end()) {
            if (it->is_number_unsigned() &&
                it->get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                out_.expire_at_ = static_cast<std::int64_t>(it->get<std::uint64_t>());
            else return fail("expire_at must be a whole, non-negative number of seconds");
        }
        if (auto it = doc.find("acl"); it != doc.end()) {
            if (!it->is_array()) return fail("acl must be a list");
            if (it->size() > LoginRules::max_rules) return fail("acl has more than %zu rules", LoginRules::max_rules);
            out_.has_acl_ = true;
            for (std::size_t i = 0; i < it->size(); ++i)
                if (!rule(i + 1, (*it)[i])) return false;
        }
        return true;
    }

    bool fail(const char *what) { return fail("%s", what); }
    template <typename... Args>
    bool fail(const char *format, Args... args) {
        std::snprintf(error_, sizeof error_, format, args...);
        return false;
    }

private:
    using Rule = LoginRules::Rule;

    bool rule(std::size_t n, const json &r) {
        if (!r.is_object()) return fail("rule %zu: not an object", n);
        Rule rule{};
        static const char *const known[] = {"permission", "action", "topic", "topics", "qos", "retain"};
        for (auto &member : r.items())
            if (std::none_of(std::begin(known), std::end(known), [&](const char *k) { return member.key() == k; }))
                return fail("rule %zu: unknown member", n);

        const std::string *permission = member_string(r, "permission");
        if (permission && *permission == "allow") rule.allow = true;
        else if (!permission || *permission != "deny") return fail("rule %zu: permission must be \"allow\" or \"deny\"", n);

        const std::string *action = member_string(r, "action");
        if (action && *action == "publish") rule.actions = Rule::publish_bit;
        else if (action && *action == "subscribe") rule.actions = Rule::subscribe_bit;
        else if (action && *action == "all") rule.actions = Rule::publish_bit | Rule::subscribe_bit;
        else return fail("rule %zu: action must be \"publish\", \"subscribe\" or \"all\"", n);

        rule.qos = 0xff;  // any QoS unless listed
        if (auto q = r.find("qos"); q != r.end()) {
            rule.qos = 0;
            bool ok = q->is_array();
            if (ok)
                for (const json &level : *q) {
                    ok = level.is_number_unsigned() && level.get<std::uint64_t>() <= 2;
                    if (!ok) break;
                    rule.qos = static_cast<std::uint8_t>(rule.qos | (1u << level.get<std::uint64_t>()));
                }
            if (!ok) return fail("rule %zu: qos must be a list of 0, 1 and 2", n);
        }

        rule.retain = -1;
        if (auto ret = r.find("retain"); ret != r.end()) {
            if (ret->is_boolean()) rule.retain = ret->get<bool>() ? 1 : 0;
            else if (!ret->is_string() || ret->get_ref<const std::string &>() != "all")
                return fail("rule %zu: retain must be true, false or \"all\"", n);
        }

        const auto topic = r.find("topic"), topics = r.find("topics");
        if ((topic == r.end()) == (topics == r.end())) return fail("rule %zu: give either topic or topics", n);
        if (topic != r.end()) {
            if (!topic->is_string() || !compile(rule, topic->get_ref<const std::string &>()))
                return fail("rule %zu: topic must be a valid topic filter", n);
            out_.rules_.push_back(rule);
            return true;
        }
        if (!topics->is_array() || topics->empty()) return fail("rule %zu: topics must be a list of topic filters", n);
        for (const json &t : *topics) {
            Rule each = rule;
            if (!t.is_string() || !compile(each, t.get_ref<const std::string &>()))
                return fail("rule %zu: topics must be a list of valid topic filters", n);
            out_.rules_.push_back(each);
        }
        return true;
    }

    static const std::string *member_string(const json &object, const char *name) {
        auto it = object.find(name);
        return it == object.end() ? nullptr : it->get_ptr<const std::string *>();
    }

    std::uint32_t keep_text(std::string_view text) {
        const auto at = static_cast<std::uint32_t>(out_.text_.size());
        out_.text_.append(text);
        return at;
    }

    // "eq T" is T as it is; anything else a filter whose wildcards fill whole
    // levels, '#' last, with ${username} and ${clientid} anywhere in a level.
    bool compile(Rule &rule, const std::string &topic) {
        if (topic.rfind("eq ", 0) == 0) {
            const std::string_view exact = std::string_view(topic).substr(3);
            if (exact.empty()) return false;
            rule.exact = true;
            rule.first = keep_text(exact);
            rule.count = static_cast<std::uint32_t>(exact.size());
            return true;
        }
        if (topic.empty()) return false;
        rule.exact = false;
        rule.needs = 0;
        rule.first = static_cast<std::uint32_t>(out_.levels_.size());
        Levels split(topic);
        std::string_view level;
        bool ended = false;
        while (split.next(level)) {
            if (ended) return false;  // a level after '#'
            if (level == "#" || level == "+") {
                ended = level == "#";
                out_.levels_.push_back({level == "#" ? LoginRules::Level::hash : LoginRules::Level::plus, 0, 0});
                continue;
            }
            if (level.find_first_of("+#") != std::string_view::npos) return false;
            LoginRules::Level l{LoginRules::Level::literal, static_cast<std::uint32_t>(out_.pieces_.size()), 0};
            while (!level.empty()) {
                LoginRules::Piece p{LoginRules::Piece::text, 0, 0};
                std::size_t used = 0;
                if (level.rfind("${username}", 0) == 0) {
                    p.kind = LoginRules::Piece::username, used = 11;
                    rule.needs |= Rule::username_bit;
                } else if (level.rfind("${clientid}", 0) == 0) {
                    p.kind = LoginRules::Piece::clientid, used = 11;
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
                ++l.count;
                level.remove_prefix(used);
            }
            out_.levels_.push_back(l);
        }
        rule.count = static_cast<std::uint32_t>(out_.levels_.size()) - rule.first;
        return true;
    }

    LoginRules &out_;
    char (&error_)[128];
};

namespace {

// Guards what the parser builds: no deeper nesting than max_depth, and no
// member of the format given twice (which one would count is a guess).
class ParseGuard {
public:
    bool operator()(int depth, json::parse_event_t event, json &parsed) {
        if (depth > max_depth) {
            too_deep_ = true;
            return false;
        }
        using E = json::parse_event_t;
        const bool starts_value = event == E::object_start || event == E::array_start || event == E::value;
        if (depth == 2 && in_acl_ && starts_value) {
            ++rule_;
            rule_seen_ = 0;
        }
        if (event != E::key) return true;
        const std::string &key = parsed.get_ref<const std::string &>();
        if (depth == 1) {
            in_acl_ = key == "acl";
            repeated(top_seen_, key, {"result", "is_superuser", "acl", "expire_at"}, 0);
        } else if (depth == 3 && in_acl_) {
            repeated(rule_seen_, key, {"permission", "action", "topic", "topics", "qos", "retain"}, rule_);
        }
        return true;
    }
    bool too_deep() const { return too_deep_; }
    std::size_t repeated_in() const { return repeated_in_; }  // 0: the answer itself; else that rule
    bool repeated_any() const { return repeated_any_; }

private:
    void repeated(unsigned &seen, const std::string &key, std::initializer_list<const char *> names,
                  std::size_t where) {
        unsigned bit = 1;
        for (const char *name : names) {
            if (key == name) {
                if ((seen & bit) && !repeated_any_) repeated_any_ = true, repeated_in_ = where;
                seen |= bit;
            }
            bit <<= 1;
        }
    }
    bool too_deep_ = false, in_acl_ = false, repeated_any_ = false;
    unsigned top_seen_ = 0, rule_seen_ = 0;
    std::size_t rule_ = 0, repeated_in_ = 0;
};

}  // namespace

RulesRead read_login_rules(std::string_view body) noexcept {
    RulesRead read;
    try {
        auto rules = std::make_shared<LoginRules>();
        RulesReader reader(*rules, read.error);
        if (body.size() > Body::limit) {
            reader.fail("the answer is larger than %zu bytes", Body::limit);
            return read;
        }
        ParseGuard guard;
        const json doc = json::parse(body.begin(), body.end(), std::ref(guard), false);
        if (guard.too_deep()) {
            reader.fail("the answer nests deeper than %d levels", max_depth);
        } else if (doc.is_discarded()) {
            reader.fail("the answer is not valid JSON");
        } else if (guard.repeated_any()) {
            if (guard.repeated_in() == 0) reader.fail("the answer gives a member twice");
            else reader.fail("rule %zu: a member is given twice", guard.repeated_in());
        } else if (reader.read(doc)) {
            read.rules = std::move(rules);
        }
    } catch (...) {
        read.rules.reset();
        std::snprintf(read.error, sizeof read.error, "out of memory while reading the answer");
    }
    return read;
}

RulesRead read_login_rules(const Answer &answer) noexcept {
    if (answer.outcome() != Outcome::granted || !answer.json) return {};
    RulesRead read;
    if (!answer.body || answer.body->lost) {
        std::snprintf(read.error, sizeof read.error, "the answer's body was not kept");
    } else if (answer.body->too_large) {
        std::snprintf(read.error, sizeof read.error, "the answer is larger than %zu bytes", Body::limit);
    } else {
        return read_login_rules(answer.body->bytes);
    }
    return read;
}
