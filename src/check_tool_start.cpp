// One plug-in line started as the broker would start it, short of the
// broker: its options handed to the libraries' own start-up, with the
// interface its file name says.
#include "check_tool_start.h"

#include <filesystem>
#include <string>
#include <vector>

namespace check_tool {

bool loads_v5(const PluginLine &line) {
    return std::filesystem::path(line.path).filename().string().find("_v5") != std::string::npos;
}

bool start_line(PluginLine line, Started &out) {  // a copy: the pairs point into it
    out.v5 = loads_v5(line);
    std::vector<auth_option> opts;
    for (auto &[key, value] : line.options) opts.push_back({key.data(), value.data()});
    const auto build = [&](Configuration configuration) {
        out.curl = std::make_unique<CurlGlobal>();
        out.checker = std::make_unique<Checker>(std::move(configuration));
    };
    if (start_up(opts.data(), static_cast<int>(opts.size()), out.v5 ? Interface::v5 : Interface::v2, build, nullptr,
                 out.lines))
        return true;
    if (out.lines.error.empty()) out.lines.error = "auth_plugin: out of memory";
    return false;
}

}  // namespace check_tool
