// --show-request: the request a question sends, printed with its secrets as ***.
#pragma once

#include "check_tool_args.h"
#include "settings.h"

namespace check_tool {

// Built by the plug-in's own code from settings whose secrets are masked:
// each fixed header value, each fixed query value and the user information
// of the URLs, and the password. login: the login's request (a login
// question's, or the one an access question with login rules sends first);
// otherwise the access request.
void show_request(const Settings &settings, bool v5, const Args &args, bool login);

}  // namespace check_tool
