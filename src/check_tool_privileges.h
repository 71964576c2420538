// Whom the check tool reads the plug-in's files and asks as: the user the
// broker drops to, as the broker does before the plug-in reads them.
#pragma once

#include <string>

namespace check_tool {

// Becomes the named user; false with error set when it cannot.
bool become(const char *name, std::string &error);

// A note on standard error when still root: the broker reads the plug-in's
// files as the user it drops to, so a root that reads them proves little.
void note_if_root();

}  // namespace check_tool
