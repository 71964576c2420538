// libFuzzer target for the rules a login's answer may carry. The sources are
// compiled in.
//
// The input, up to its first NUL byte, is an answer body: it is kept as the
// HTTP client keeps one (in pieces, within the limit) and read; what was read
// must be rules or an error, never both, and deciding any check on the rules
// must hold to what the rules say of it.
//
// After the NUL come NUL-separated fields: a rule's topic, a check's topic,
// a user name, a client id (a field "-" stands for none). A one-rule answer
// is made of that topic, once allowing and once denying, and the decision
// compared with a plain reference: placeholders substituted into levels
// already told apart from wildcards, topics split into lists. For a
// subscription the filter's topics are sampled: an allow rule may match
// only if it matches each sample, and a deny rule must match if any sample
// matches both.
#include "../../src/answer.cpp"
#include "../../src/json_answer.cpp"
#include "../../src/login_rules.cpp"
#include "../../src/login_rules_index.cpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using Match = LoginRules::Match;

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out(1);
    for (char c : s) {
        if (c == '/') out.emplace_back();
        else out.back().push_back(c);
    }
    return out;
}

struct RefLevel {
    enum { literal, plus, hash } kind;
    std::string text;
};

// The rule's filter with its placeholders filled in; false when it cannot apply.
bool reference_levels(const std::string &filter, const char *user, const char *client, std::vector<RefLevel> &out) {
    for (const std::string &level : split(filter)) {
        if (level == "+" || level == "#") {
            out.push_back({level == "+" ? RefLevel::plus : RefLevel::hash, ""});
            continue;
        }
        std::string text;
        for (std::size_t i = 0; i < level.size();) {
            const char *value = nullptr;
            if (level.compare(i, 11, "${username}") == 0) value = user;
            else if (level.compare(i, 11, "${clientid}") == 0) value = client;
            else {
                text += level[i++];
                continue;
            }
            if (!value || std::strchr(value, '/')) return false;
            text += value;
            i += 11;
        }
        out.push_back({RefLevel::literal, text});
    }
    return true;
}

bool reference_match(const std::vector<RefLevel> &rule, const std::string &topic) {
    const std::vector<std::string> t = split(topic);
    const bool dollar = !topic.empty() && topic[0] == '$';
    std::size_t i = 0;
    for (; i < rule.size(); ++i) {
        if (rule[i].kind == RefLevel::hash) return !(i == 0 && dollar);
        if (i >= t.size()) return false;
        if (rule[i].kind == RefLevel::plus) {
            if (i == 0 && dollar) return false;
        } else if (rule[i].text != t[i]) {
            return false;
        }
    }
    return i == t.size();
}

// Topics the filter matches: each '+' and '#' replaced by a few choices,
// among them the rule's own levels at that place.
std::vector<std::string> samples(const std::string &filter, const std::vector<RefLevel> &rule) {
    const std::vector<std::string> f = split(filter);
    std::vector<std::string> out;
    for (unsigned choice = 0; choice < 64; ++choice) {
        std::string topic;
        unsigned bits = choice;
        bool ok = true;
        for (std::size_t i = 0; i < f.size() && ok; ++i) {
            const std::string at_rule = i < rule.size() && rule[i].kind == RefLevel::literal ? rule[i].text : "x";
            std::string rule_rest;  // the rule's levels from here on, filled in
            for (std::size_t k = i; k < rule.size() && rule[k].kind != RefLevel::hash; ++k)
                rule_rest += (k > i ? "/" : "") + (rule[k].kind == RefLevel::plus ? std::string("y") : rule[k].text);
            const unsigned pick = bits % 3;
            bits /= 3;
            std::string level = f[i];
            if (level == "+") {
                level = pick == 0 ? at_rule : pick == 1 ? "y" : "";
            } else if (level == "#") {
                if (pick == 0) {  // the parent alone
                    if (i == 0) ok = false;
                    break;
                }
                level = pick == 1 ? rule_rest : at_rule + "/z";
            }
            if (i == 0 && (f[0] == "+" || f[0] == "#") && !level.empty() && level[0] == '$') ok = false;
            topic += (i ? "/" : "") + level;
        }
        if (ok) out.push_back(topic);
    }
    return out;
}

// Wildcards fill whole levels, '#' last: a filter the broker would accept.
bool valid_filter(const std::string &filter) {
    const auto levels = split(filter);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const std::string &l = levels[i];
        if (l != "+" && l != "#" && l.find_first_of("+#") != std::string::npos) return false;
        if (l == "#" && i + 1 < levels.size()) return false;
    }
    return !filter.empty();
}

bool printable(const std::string &s) {
    for (char c : s)
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return false;
    return true;
}

// The whole list decides as its rules one by one would, first match first:
// however the rules are indexed, none is passed over and the order holds.
void cross_check(const uint8_t *data, size_t size, const LoginRules &all) {
    const auto doc = nlohmann::json::parse(data, data + size, nullptr, false);
    if (!doc.is_object() || !doc.contains("acl") || doc["acl"].size() > 64) return;
    std::vector<std::shared_ptr<const LoginRules>> each;
    std::vector<std::string> topics = {"a/b", "$SYS/x", "#", "a/+", "+/+", "x"};
    for (const auto &rule : doc["acl"]) {
        const RulesRead one = read_json_body(nlohmann::json({{"acl", {rule}}}).dump());
        if (!one.rules) __builtin_trap();  // read as part of the list, so alone too
        each.push_back(one.rules);
        for (const char *member : {"topic", "topics"}) {
            if (!rule.contains(member)) continue;
            for (const auto &t : rule[member].is_array() ? rule[member] : nlohmann::json::array({rule[member]})) {
                std::string text = t.get<std::string>();
                if (text.rfind("eq ", 0) == 0) text.erase(0, 3);
                topics.push_back(text);  // wildcards and all
                for (auto at = text.find("${username}"); at != std::string::npos; at = text.find("${username}"))
                    text.replace(at, 11, "alice");
                for (char &c : text) c = c == '+' ? 'x' : c == '#' ? 'y' : c;
                topics.push_back(text);
            }
        }
    }
    for (Access a : {Access::read, Access::write, Access::subscribe})
        for (const std::string &topic : topics)
            for (int qos = 0; qos < 3; ++qos) {
                Match expected = Match::none;
                for (const auto &one : each) {
                    expected = one->decide(a, topic, qos, qos == 1, "alice", "dev1");
                    if (expected != Match::none) break;
                }
                if (all.decide(a, topic, qos, qos == 1, "alice", "dev1") != expected) __builtin_trap();
            }
}

void check_read(const uint8_t *data, size_t size) {
    Body body;
    // In pieces of a size the input picks, twice over: past the limit when large.
    const size_t piece = size ? data[0] % 61 + 1 : 1;
    for (int round = 0; round < 2; ++round)
        for (size_t at = 0; at < size; at += piece)
            keep_body(body, reinterpret_cast<const char *>(data) + at, std::min(piece, size - at));
    if (body.lost) __builtin_trap();
    if (body.too_large != (2 * size > Body::limit)) __builtin_trap();
    if (!body.too_large && body.bytes != std::string(reinterpret_cast<const char *>(data), size) +
                                             std::string(reinterpret_cast<const char *>(data), size))
        __builtin_trap();

    const RulesRead read = read_json_body(std::string_view(reinterpret_cast<const char *>(data), size));
    if ((read.rules != nullptr) == (read.error[0] != '\0')) __builtin_trap();
    if (!read.rules) return;
    const LoginRules &r = *read.rules;
    if (!r.has_acl() && r.rule_count() != 0) __builtin_trap();
    for (Access a : {Access::read, Access::write, Access::subscribe, Access::unsubscribe}) {
        for (const char *topic : {"a/b", "$SYS/x", "#", "a/+"}) {
            const Match d = r.decide(a, topic, 1, true, "#", "dev/1");
            if ((a == Access::unsubscribe || !r.has_acl()) && d != Match::none) __builtin_trap();
        }
    }
    cross_check(data, size, r);
}

void check_rule(const std::string &filter, const std::string &topic, const char *user, const char *client) {
    if (!printable(filter) || !printable(topic) || (user && !printable(user)) || (client && !printable(client)))
        return;
    auto one = [&](const char *permission) {
        return read_json_body(std::string(R"({"acl":[{"action":"all","permission":")") + permission +
                                R"(","topic":")" + filter + "\"}]}");
    };
    const RulesRead allow = one("allow"), deny = one("deny");
    if ((allow.rules == nullptr) != (deny.rules == nullptr)) __builtin_trap();
    if (!allow.rules) {
        // A valid filter without placeholders is always read.
        if (valid_filter(filter) && filter.find("${") == std::string::npos && filter.rfind("eq ", 0) != 0)
            __builtin_trap();
        return;
    }
    const bool topic_plain = topic.find_first_of("+#") == std::string::npos;
    if (filter.rfind("eq ", 0) == 0) {
        const bool same = filter.compare(3, std::string::npos, topic) == 0;
        if ((allow.rules->decide(Access::write, topic, 0, false, user, client) == Match::allow) != same)
            __builtin_trap();
        return;
    }
    std::vector<RefLevel> rule;
    const bool applies = reference_levels(filter, user, client, rule);
    const bool matched = applies && reference_match(rule, topic);
    for (Access a : {Access::read, Access::write}) {
        if (allow.rules->decide(a, topic, 2, true, user, client) != (matched ? Match::allow : Match::none))
            __builtin_trap();
        if (deny.rules->decide(a, topic, 2, true, user, client) != (matched ? Match::deny : Match::none))
            __builtin_trap();
    }
    // A subscription to a plain topic is a subscription to that topic alone.
    if (topic.rfind("$share/", 0) == 0 || !valid_filter(topic)) return;
    const bool covers = allow.rules->decide(Access::subscribe, topic, 0, false, user, client) == Match::allow;
    const bool overlaps = deny.rules->decide(Access::subscribe, topic, 0, false, user, client) == Match::deny;
    if (topic_plain && (covers != matched || overlaps != matched)) __builtin_trap();
    if (!applies) {
        if (covers || overlaps) __builtin_trap();
        return;
    }
    for (const std::string &t : samples(topic, rule)) {
        const bool m = reference_match(rule, t);
        if (covers && !m) __builtin_trap();
        if (m && !overlaps) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
    const size_t body_size = nul ? static_cast<size_t>(nul - data) : size;
    check_read(data, body_size);
    if (!nul) return 0;
    std::vector<std::string> fields(1);
    for (size_t i = body_size + 1; i < size && fields.size() <= 4; ++i)
        if (data[i]) fields.back().push_back(static_cast<char>(data[i]));
        else fields.emplace_back();
    fields.resize(4);
    auto optional = [](const std::string &s) { return s == "-" ? nullptr : s.c_str(); };
    check_rule(fields[0], fields[1], optional(fields[2]), optional(fields[3]));
    return 0;
}
