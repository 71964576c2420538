// --validate: the configuration's plug-in lines started as the broker would
// start them, asking nothing.
#pragma once

#include "check_tool_args.h"

namespace check_tool {

// 0 when every line would start, printing each one's start-up lines; 1
// naming the first problem that would stop the broker.
int validate(const Args &args);

}  // namespace check_tool
