// Reads this plug-in's options out of a Mosquitto configuration file, as the
// broker would hand them over.
#pragma once

#include <string>
#include <utility>
#include <vector>

using OptionList = std::vector<std::pair<std::string, std::string>>;

// One plugin (or auth_plugin) line and the options that follow it.
struct PluginLine {
    std::string path;
    int listener = 0;  // the port of the listener it follows; 0: before any
    OptionList options;
    std::vector<std::string> where;  // each option's file and line, for the tool's errors
};

struct BrokerConfig {
    bool per_listener_settings = false;
    std::vector<PluginLine> plugins;  // in the order the broker reads them
};

// Reads path, following include_dir. False with error set when a file cannot be read.
bool read_broker_config(const std::string &path, BrokerConfig &config, std::string &error);

// A line that loads this plug-in (either library), by its file name.
bool loads_auth_plugin(const PluginLine &line);

// The plug-in line this plug-in gets its options from: the lines that name
// auth_plugin (or, when none does, every plug-in line); with
// per_listener_settings, those of the given listener; they must agree, as
// the broker requires. False with error set otherwise.
bool pick_plugin_line(const BrokerConfig &config, int listener, PluginLine &out, std::string &error);
