// Rules that a login's answer may carry, in the JSON format of EMQX 5.8's
// HTTP authentication: whether the login is admitted, whether the client is
// a superuser, a list of access rules and an expiry. Read once per login
// (src/json_answer.*) into an immutable object that the connection's checks
// share; each access check is then decided by them, without a request
// (src/login_rules.cpp; their index and heap in src/login_rules_index.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "access.h"

class LoginRules {
public:
    // What the login's answer says of the login ("result"); ignore: let the
    // broker's next check decide.
    enum class Answered { allow, deny, ignore };
    // What the rules say of one access check (decide()).
    enum class Match { allow, deny, none };

    static constexpr std::size_t max_rules = 1000;

    // "result"; allow when absent (the status was 200).
    Answered result() const noexcept { return result_; }
    bool has_result() const noexcept { return has_result_; }  // "result" was given
    // "is_superuser"; false when absent. Only a flag here: what it grants is the caller's.
    bool is_superuser() const noexcept { return superuser_; }
    // An "acl" member was given, even an empty one. Without it, access is
    // for the caller to decide as without rules; with it, rules decide
    // first, and a check that none matches (Match::none) goes to the access
    // endpoint, refused where none is configured.
    bool has_acl() const noexcept { return has_acl_; }
    // "expire_at", Unix seconds, when given.
    std::optional<std::int64_t> expire_at() const noexcept { return expire_at_; }
    // Whether its time is up at now (Unix seconds, as unix_now() gives).
    bool expired(std::int64_t now) const noexcept { return expire_at_ && *expire_at_ <= now; }

    // One access check, by the first rule that matches. WRITE is a rule's
    // "publish"; READ (delivery) and SUBSCRIBE its "subscribe"; "all" both.
    // UNSUBSCRIBE (and none) is not for rules to decide: Match::none. A rule's
    // qos list, when given, must hold qos; its retain (true or false) is a
    // condition of WRITE only. "eq T" matches the text T exactly. A rule's
    // filter whose first level is a wildcard matches no topic starting
    // with '$'.
    // For SUBSCRIBE the topic is a filter, compared without a leading
    // "$share/GROUP/": an allow rule matches when its filter covers every
    // topic the subscription can match, a deny rule when the two have any
    // topic in common. ${username} and ${clientid} in a rule's topic stand
    // for these values, compared literally (a user named "#" gains no
    // wildcard); a rule naming one the client lacks (null), or whose value
    // holds a '/', does not match. No allocation.
    // which: where given, the position in the answer's "acl" (from 0) of
    // the rule that decided.
    Match decide(Access access, std::string_view topic, int qos, bool retain, const char *username,
                 const char *clientid, std::uint32_t *which = nullptr) const noexcept;

    std::size_t rule_count() const noexcept { return rules_.size(); }  // one per topic of each rule

    // The heap it holds, counted from its containers' capacities, its text's
    // and its index's nodes and buckets, with the object itself as
    // make_shared allocates it; each allocation as heap_bytes() estimates it.
    // For bounds on what kept rules may hold.
    std::size_t bytes() const noexcept;

    LoginRules() = default;  // filled by read_json_body()
    LoginRules(const LoginRules &) = delete;  // its index points into its own text
    LoginRules &operator=(const LoginRules &) = delete;

private:
    friend class RulesReader;
    struct Piece {  // of a level mixing text and placeholders
        enum Kind : std::uint8_t { text, username, clientid } kind;
        std::uint32_t at, size;  // in text_, for text
    };
    struct Level {
        // A level that is all text or one whole placeholder is compared at
        // once; only a mixed one goes piece by piece.
        enum Kind : std::uint8_t { text, username, clientid, mixed, plus, hash } kind;
        std::uint32_t at, size;  // text: in text_; mixed: its pieces
        std::uint64_t head;      // text: its first 8 bytes, zero-padded
    };
    struct Rule {
        bool allow;
        std::uint8_t actions;  // publish_bit | subscribe_bit
        std::uint8_t qos;      // bit n: QoS n matches; all bits when no list was given
        std::int8_t retain;    // -1: any; 0 or 1: only that retain flag (publish only)
        bool exact;            // "eq ": the text compared as it is
        std::uint8_t needs;    // username_bit | clientid_bit
        std::uint32_t first, count;  // levels; for exact, the text in text_
        std::uint32_t source;        // its position in the answer's "acl"
        // How many levels a topic it matches has: count, or from the level
        // before a '#' on (max_levels none).
        std::uint32_t min_levels, max_levels;
        // Its rarest text among the rules: the level (none: no text before
        // a '#'), its size and first 8 bytes. Most rules that do not match
        // a check are told by this alone.
        std::uint32_t sign_level, sign_size;
        std::uint64_t sign_head;
        static constexpr std::uint32_t none = 0xffffffff;
        static constexpr std::uint8_t publish_bit = 1, subscribe_bit = 2;
        static constexpr std::uint8_t username_bit = 1, clientid_bit = 2;
        static constexpr std::uint8_t other_qos = 0x80;  // a check's QoS outside 0..2
    };
    struct Values;  // the client's, for one decision
    struct Topic;   // the check's topic or filter, split once
    std::optional<Match> attempt(const Rule &rule, std::uint8_t action, bool retain, bool filter,
                                 std::string_view topic, const Topic &t, const Values &v) const noexcept;

    bool matches(const Rule &rule, const Topic &topic, const Values &v) const noexcept;
    bool covers(const Rule &rule, const Topic &filter, const Values &v) const noexcept;
    bool overlaps(const Rule &rule, const Topic &filter, const Values &v) const noexcept;
    // The rule's level against the check's level i.
    bool equal(const Level &level, const Topic &t, std::uint32_t i, const Values &v) const noexcept;
    bool equal_mixed(const Level &level, std::string_view text, const Values &v) const noexcept;
    // The rule's text at level k, if it has plain text there (no wildcard before).
    std::optional<std::string_view> text_at(const Rule &rule, std::uint32_t k) const noexcept;
    bool starts_with_dollar(const Level &level, const Values &v) const noexcept;
    bool dollar_by_placeholder(const Level &level, const Values &v) const noexcept;

    Answered result_ = Answered::allow;
    bool has_result_ = false;
    bool superuser_ = false;
    bool has_acl_ = false;
    std::optional<std::int64_t> expire_at_;
    // Every rule's topic split into levels once, each level into text and
    // placeholders; text held in one string.
    std::string text_;
    std::vector<Piece> pieces_;
    std::vector<Level> levels_;
    std::vector<Rule> rules_;
    // The rules by their text at one level (of the first index_levels, the
    // one that tells most of them apart), so that a decision tries only
    // those whose text there is the check's, and those with no text there
    // (in always_); in the rules' order. Unused (by_level_ empty) when no
    // level tells rules apart.
    static constexpr std::uint32_t index_levels = 4;
    std::uint32_t index_level_ = 0;
    std::unordered_map<std::string_view, std::pair<std::uint32_t, std::uint32_t>> by_level_;  // into indexed_
    std::vector<std::uint32_t> indexed_, always_;
    void build_index();  // and each rule's sign
};

// The wall clock in Unix seconds, as expire_at gives times.
std::int64_t unix_now() noexcept;
