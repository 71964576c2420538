// Starting up, the same for both libraries and the check tool: the broker's
// option pairs in; what runs the checks out, with the lines that say what was
// configured, or one line that says why it could not start. What the options
// need beyond their table (libcurl's URL parser and version, the files, the
// templates, the cache's default budget) is worked out here, once, and
// handed down as one Configuration.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "auth_option.h"
#include "configuration.h"
#include "settings.h"

// libcurl's global state, counted by libcurl itself: one hold for each thing
// that runs checks, taken before it and given back after it.
class CurlGlobal {
public:
    CurlGlobal();  // throws CurlGlobal::Unavailable
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal &) = delete;
    CurlGlobal &operator=(const CurlGlobal &) = delete;
    struct Unavailable {};
};

struct StartUp {
    std::vector<std::string> lines;  // what was configured: the first a notice, the rest warnings
    std::string error;               // why it could not start: one line
};

// Reads and checks the options as a start does, in this order: each value
// (settings.h), the URLs, the files, the rules between options, the
// templates, which become each question's plan. False with error set to one
// line naming the first problem. Throws std::bad_alloc, and what a template
// of a question never asked throws (std::invalid_argument: start_up says it
// could not start).
bool configure(const auth_option *opts, int count, Interface which, std::optional<Configuration> &out,
               std::string &error);

// Settings already read (a test's, the check tool's masked ones) with each
// question's plan built from them. Throws std::invalid_argument naming a
// template that is not usable (or a token option, as configure would).
Configuration configuration_of(Settings settings, Interface which = Interface::v2);

// Reads the options, then build(configuration) makes what runs the checks,
// and describe() adds the interface's own lines; either may throw. False
// with out.error naming the real cause (an option, memory, libcurl, a thread).
bool start_up(const auth_option *opts, int count, Interface which, const std::function<void(Configuration)> &build,
              const std::function<std::vector<std::string>()> &describe, StartUp &out) noexcept;

// The version-5 interface's pairs have the same shape under another name.
template <class Pair>
bool start_up(const Pair *opts, int count, Interface which, const std::function<void(Configuration)> &build,
              const std::function<std::vector<std::string>()> &describe, StartUp &out) noexcept {
    try {
        std::vector<auth_option> pairs;
        for (int i = 0; opts && i < count; ++i) pairs.push_back({opts[i].key, opts[i].value});
        return start_up(pairs.data(), static_cast<int>(pairs.size()), which, build, describe, out);
    } catch (...) {
        out.error = "auth_plugin: out of memory while reading the options";
        return false;
    }
}

// Into the broker's log: the first line as a notice, the rest as warnings.
void log_start_up(const std::vector<std::string> &lines) noexcept;
// At a reload: the start-up lines again, so that a rotated log's first lines
// say what runs, and that options apply only at a restart.
void log_reload(const std::vector<std::string> &lines) noexcept;
// Into the broker's log as an error: why it could not start.
void log_start_up_error(const std::string &error) noexcept;
