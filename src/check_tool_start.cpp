// One plug-in line started as the broker would start it, short of the
// broker: its options handed to the libraries' own start-up, with the
// interface its file name says.
#include "check_tool_start.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "token_login.h"

namespace check_tool {

bool loads_v5(const PluginLine &line) {
    return std::filesystem::path(line.path).filename().string().find("_v5") != std::string::npos;
}

namespace {

// The option line where a start first fails: the shortest run of the
// line's options that fails with the same words. A rule between two options
// breaks at the later one; an option left out is named by none.
std::string where_it_broke(const std::vector<auth_option> &opts, Interface which, const std::string &error,
                           const PluginLine &line) {
    try {
        for (std::size_t n = 1; n <= opts.size() && n <= line.where.size(); ++n) {
            std::optional<Configuration> configured;
            std::string first;
            bool started = false;
            try {
                started = configure(opts.data(), static_cast<int>(n), which, configured, first);
            } catch (const std::invalid_argument &e) {
                first = std::string("auth_plugin: could not start: ") + e.what();
            }
            if (!started && first == error) return line.where[n - 1];
        }
    } catch (...) {
    }
    return {};
}

}  // namespace

bool start_line(PluginLine line, Started &out) {  // a copy: the pairs point into it
    out.v5 = loads_v5(line);
    const Interface which = out.v5 ? Interface::v5 : Interface::v2;
    std::vector<auth_option> opts;
    for (auto &[key, value] : line.options) opts.push_back({key.data(), value.data()});
    const auto build = [&](Configuration configuration) {
        out.curl = std::make_unique<CurlGlobal>();
        out.checker = std::make_unique<Checker>(std::move(configuration));
    };
    // As the libraries start: the key set tried once, and the line that says which keys are in force.
    const auto describe = [&] {
        std::vector<std::string> lines;
        if (out.checker && out.checker->tokens()) lines.push_back(out.checker->tokens()->start());
        return lines;
    };
    if (start_up(opts.data(), static_cast<int>(opts.size()), which, build, describe, out.lines)) return true;
    if (out.lines.error.empty()) out.lines.error = "auth_plugin: out of memory";
    else if (const std::string at = where_it_broke(opts, which, out.lines.error, line); !at.empty())
        out.lines.error += "\n  at " + at;
    return false;
}

}  // namespace check_tool
