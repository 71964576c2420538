#include "broker_config.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct Plugin {
    std::string path;
    OptionList options;
};

bool read_file(const fs::path &path, std::vector<Plugin> &plugins, std::string &error, int depth) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path.string();
        return false;
    }
    for (std::string line; std::getline(in, line);) {
        // Like the broker: the key ends at the first space; the value is the
        // rest of the line, trailing spaces and "# ..." included.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        const std::size_t key_end = line.find_first_of(" \t", start);
        const std::string key = line.substr(start, key_end - start);
        std::string value;
        if (key_end != std::string::npos) {
            const std::size_t value_start = line.find_first_not_of(" \t", key_end);
            if (value_start != std::string::npos) value = line.substr(value_start);
        }
        if (key == "plugin" || key == "auth_plugin") {
            plugins.push_back({value, {}});
        } else if (key.rfind("plugin_opt_", 0) == 0 || key.rfind("auth_opt_", 0) == 0) {
            if (plugins.empty()) {
                error = path.string() + ": " + key + " comes before any plugin line";
                return false;
            }
            plugins.back().options.emplace_back(key.substr(key.find("_opt_") + 5), value);
        } else if (key == "include_dir") {
            if (depth > 8) {
                error = "include_dir nested too deeply at " + path.string();
                return false;
            }
            std::error_code ec;
            std::vector<fs::path> files;
            for (const auto &entry : fs::directory_iterator(value, ec))
                if (entry.path().extension() == ".conf") files.push_back(entry.path());
            if (ec) {
                error = "cannot read include_dir " + value + ": " + ec.message();
                return false;
            }
            std::sort(files.begin(), files.end());  // the broker reads them in this order
            for (const auto &file : files)
                if (!read_file(file, plugins, error, depth + 1)) return false;
        }
    }
    return true;
}

}  // namespace

bool read_broker_config(const std::string &path, OptionList &options, std::string &error) {
    std::vector<Plugin> plugins;
    if (!read_file(path, plugins, error, 0)) return false;
    if (plugins.empty()) {
        error = path + " loads no plug-in";
        return false;
    }
    auto ours = std::find_if(plugins.begin(), plugins.end(), [](const Plugin &p) {
        return fs::path(p.path).filename().string().find("auth_plugin") != std::string::npos;
    });
    options = (ours != plugins.end() ? *ours : plugins.front()).options;
    return true;
}
