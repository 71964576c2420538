// The index of a login's rules and the heap they hold, built once as they
// are read (RulesReader::finish). The index lets a decision try only the
// rules whose text at one level is the check's; each rule's sign lets it
// pass over most of the rest at a glance. bytes() is what kept rules count
// against the decision cache's bounds.
#include "login_rules.h"

#include <algorithm>
#include <map>
#include <type_traits>

#include "heap_bytes.h"
#include "topic_levels.h"

using topic_levels::Brief;

std::optional<std::string_view> LoginRules::text_at(const Rule &rule, std::uint32_t k) const noexcept {
    if (rule.exact || k >= rule.count) return std::nullopt;
    for (std::uint32_t i = 0; i < k; ++i)
        if (levels_[rule.first + i].kind == Level::hash) return std::nullopt;
    const Level &l = levels_[rule.first + k];
    if (l.kind != Level::text) return std::nullopt;
    return std::string_view(text_).substr(l.at, l.size);
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
