// Rules that a login's answer may carry, in the JSON format of EMQX 5.8's
// HTTP authentication: whether the login is admitted, whether the client is
// a superuser, a list of access rules and an expiry. Read once per login
// into an immutable object that the connection's checks share; each access
// check is then decided here, without a request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "access.h"

struct Answer;

class LoginRules {
public:
    enum class Result { allow, deny, ignore };  // ignore: let the broker's next check decide
    enum class Decision { allow, deny, no_match };

    static constexpr std::size_t max_rules = 1000;

    // "result"; allow when absent (the status was 200).
    Result result() const noexcept { return result_; }
    // "is_superuser"; false when absent. Only a flag here: what it grants is the caller's.
    bool is_superuser() const noexcept { return superuser_; }
    // An "acl" member was given, even an empty one. Without it access is
    // asked as it would be without rules; with it, a check that no rule
    // matches is not.
    bool has_acl() const noexcept { return has_acl_; }
    // "expire_at", Unix seconds, when given.
    std::optional<std::int64_t> expire_at() const noexcept { return expire_at_; }

    // One access check, by the first rule that matches. WRITE is a rule's
    // "publish"; READ (delivery) and SUBSCRIBE its "subscribe"; "all" both.
    // UNSUBSCRIBE (and none) is not for rules to decide: no_match.
    // For SUBSCRIBE the topic is a filter, compared without a leading
    // "$share/GROUP/": an allow rule matches when its filter covers every
    // topic the subscription can match, a deny rule when the two have any
    // topic in common. ${username} and ${clientid} in a rule's topic stand
    // for these values, compared literally (a user named "#" gains no
    // wildcard); a rule naming one the client lacks (null), or whose value
    // holds a '/', does not match. No allocation.
    Decision decide(Access access, std::string_view topic, int qos, bool retain, const char *username,
                    const char *clientid) const noexcept;

    std::size_t rule_count() const noexcept { return rules_.size(); }  // one per topic of each rule

private:
    friend class RulesReader;
    struct Piece {
        enum Kind : std::uint8_t { text, username, clientid } kind;
        std::uint32_t at, size;  // in text_, for text
    };
    struct Level {
        enum Kind : std::uint8_t { literal, plus, hash } kind;
        std::uint32_t first, count;  // pieces, for literal
    };
    struct Rule {
        bool allow;
        std::uint8_t actions;  // publish_bit | subscribe_bit
        std::uint8_t qos;      // bit n: QoS n matches; all bits when no list was given
        std::int8_t retain;    // -1: any; 0 or 1: only that retain flag (publish only)
        bool exact;            // "eq ": the text compared as it is
        std::uint8_t needs;    // username_bit | clientid_bit
        std::uint32_t first, count;  // levels; for exact, the text in text_
        static constexpr std::uint8_t publish_bit = 1, subscribe_bit = 2;
        static constexpr std::uint8_t username_bit = 1, clientid_bit = 2;
        static constexpr std::uint8_t other_qos = 0x80;  // a check's QoS outside 0..2
    };
    struct Values;  // the client's, for one decision

    bool matches(const Rule &rule, std::string_view topic, const Values &v) const noexcept;
    bool covers(const Rule &rule, std::string_view filter, const Values &v) const noexcept;
    bool overlaps(const Rule &rule, std::string_view filter, const Values &v) const noexcept;
    bool equal(const Level &level, std::string_view text, const Values &v) const noexcept;
    bool starts_with_dollar(const Level &level, const Values &v) const noexcept;

    Result result_ = Result::allow;
    bool superuser_ = false;
    bool has_acl_ = false;
    std::optional<std::int64_t> expire_at_;
    // Every rule's topic split into levels once, each level into text and
    // placeholders; text held in one string.
    std::string text_;
    std::vector<Piece> pieces_;
    std::vector<Level> levels_;
    std::vector<Rule> rules_;
};

// What a login's answer came to: rules, or why the answer is refused, or
// neither when it carries none.
struct RulesRead {
    std::shared_ptr<const LoginRules> rules;
    // Names what was wrong (the member, the rule's number), never a value:
    // the body may hold secrets.
    char error[128] = "";
    bool refused() const noexcept { return !rules && error[0] != '\0'; }
};

// A JSON answer body: an object whose members are read as above, unknown
// ones ignored. More than 64 KiB or max_rules rules is refused.
RulesRead read_login_rules(std::string_view body) noexcept;
// A login's answer: neither rules nor error unless it is a 200 with a
// Content-Type of application/json; then its body, which must have been
// kept (HttpClient::post's keep_body) and not cut.
RulesRead read_login_rules(const Answer &answer) noexcept;
