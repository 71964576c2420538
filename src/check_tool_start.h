// One plug-in line started as the broker would start it, short of the
// broker, through the libraries' own start-up (src/startup.*): what runs its
// checks, and the lines it would log.
#pragma once

#include <memory>

#include "broker_config.h"
#include "checker.h"
#include "startup.h"

namespace check_tool {

// A line that loads the version-5 library (auth_plugin_v5.so), by its file name.
bool loads_v5(const PluginLine &line);

struct Started {
    bool v5 = false;
    std::unique_ptr<CurlGlobal> curl;
    std::unique_ptr<Checker> checker;
    StartUp lines;  // or, when it would not start, why
};

// False with out.lines.error set to one line when it would not start, and a
// second naming the option's file and line where that can be told.
bool start_line(PluginLine line, Started &out);

}  // namespace check_tool
