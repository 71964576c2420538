#include "broker_config.h"

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;

namespace {

bool read_file(const fs::path &path, BrokerConfig &config, int &listener, std::string &error, int depth) {
    auto &plugins = config.plugins;
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path.string();
        return false;
    }
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
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
        if (key == "listener") {
            listener = std::atoi(value.c_str());
        } else if (key == "per_listener_settings") {
            config.per_listener_settings = value == "true";
        } else if (key == "plugin" || key == "auth_plugin") {
            plugins.push_back({value, listener, {}, {}});
        } else if (key.rfind("plugin_opt_", 0) == 0 || key.rfind("auth_opt_", 0) == 0) {
            if (plugins.empty()) {
                error = path.string() + ": " + key + " comes before any plugin line";
                return false;
            }
            plugins.back().options.emplace_back(key.substr(key.find("_opt_") + 5), value);
            plugins.back().where.push_back(path.string() + " line " + std::to_string(number) + ": " + key);
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
                if (!read_file(file, config, listener, error, depth + 1)) return false;
        }
    }
    return true;
}

}  // namespace

bool read_broker_config(const std::string &path, BrokerConfig &config, std::string &error) {
    int listener = 0;
    if (!read_file(path, config, listener, error, 0)) return false;
    if (config.plugins.empty()) {
        error = path + " loads no plug-in";
        return false;
    }
    return true;
}

bool loads_auth_plugin(const PluginLine &line) {
    return fs::path(line.path).filename().string().find("auth_plugin") != std::string::npos;
}

bool pick_plugin_line(const BrokerConfig &config, int listener, PluginLine &out, std::string &error) {
    const bool any_ours = std::any_of(config.plugins.begin(), config.plugins.end(), loads_auth_plugin);
    std::vector<const PluginLine *> lines;
    for (const auto &p : config.plugins)
        if ((!any_ours || loads_auth_plugin(p)) && (!config.per_listener_settings || !listener || p.listener == listener))
            lines.push_back(&p);
    if (lines.empty()) {
        error = "no plug-in line for listener " + std::to_string(listener);
        return false;
    }
    for (const auto *p : lines) {
        if (p->options == lines.front()->options && p->path == lines.front()->path) continue;
        std::string listeners;
        for (const auto *q : lines) listeners += " " + std::to_string(q->listener);
        error = "the plug-in lines of listeners" + listeners +
                " give different options; name one with -l PORT" +
                (config.per_listener_settings ? "" : " (without per_listener_settings the broker refuses to start)");
        return false;
    }
    out = *lines.front();
    return true;
}
