// Option pairs as the broker passes them to either interface ({key, value}
// structs), with storage that outlives the call.
#pragma once

#include <string>
#include <utility>
#include <vector>

template <typename Opt>
class OptionPairs {
public:
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    explicit OptionPairs(Pairs pairs) : strings_(std::move(pairs)) {
        for (auto &p : strings_) opts_.push_back({p.first.data(), p.second.data()});
    }
    OptionPairs(const OptionPairs &) = delete;  // the pairs point into strings_
    OptionPairs &operator=(const OptionPairs &) = delete;
    Opt *data() { return opts_.data(); }
    int size() const { return static_cast<int>(opts_.size()); }

private:
    Pairs strings_;
    std::vector<Opt> opts_;
};
