// Reads this plug-in's options out of a Mosquitto configuration file, as the
// broker would hand them over.
#pragma once

#include <string>
#include <utility>
#include <vector>

using OptionList = std::vector<std::pair<std::string, std::string>>;

// The options given to the first plug-in line that names auth_plugin (or,
// when no plug-in line names it, to the first plug-in line), following
// include_dir. False with error set when a file cannot be read.
bool read_broker_config(const std::string &path, OptionList &options, std::string &error);
