// Every JSON answer the endpoint gives, a login's or an access question's
// (http_login_rules, http_answers json), is read here, and only here: whether
// its status, Content-Type and body let it be read at all, then its members
// (result, is_superuser, acl, expire_at) into LoginRules, the rules' topics
// compiled into levels. Anything unclear refuses, with a reason that names
// no value.
#include "json_answer.h"

#include <cstdio>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "answer.h"
#include "topic_levels.h"

using json = nlohmann::json;
using topic_levels::Brief;
using topic_levels::is_hash;
using topic_levels::is_wild;
using topic_levels::Levels;

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
        if (s && *s == "allow") out_.result_ = LoginRules::Answered::allow;
        else if (s && *s == "deny") out_.result_ = LoginRules::Answered::deny;
        else if (s && *s == "ignore") out_.result_ = LoginRules::Answered::ignore;
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

RulesRead read_json_body(std::string_view body) noexcept {
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

RulesRead read_json_answer(const Answer &answer, bool need_result) noexcept {
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
        read = read_json_body(answer.body->bytes);
        if (need_result && read.rules && !read.rules->has_result()) {
            read.rules.reset();
            std::snprintf(read.error, sizeof read.error, "the answer has no result");
        }
    }
    return read;
}
