// Whom the check tool reads the plug-in's files and asks as: the user the
// broker drops to, as the broker does before the plug-in reads them.
#include "check_tool_privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace check_tool {

bool become(const char *name, std::string &error) {
    const passwd *user = getpwnam(name);
    if (!user) {
        error = std::string("no user ") + name;
        return false;
    }
    if (initgroups(user->pw_name, user->pw_gid) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0) {
        error = std::string("cannot become user ") + name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void note_if_root() {
    if (geteuid() == 0)
        std::fprintf(stderr, "auth_plugin_check: note: running as root, but the broker reads the plug-in's files "
                             "as the user it drops to; run as that user or pass --user mosquitto\n");
}

}  // namespace check_tool
