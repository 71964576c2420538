// What of a configured URL may be printed: the one place that decides it.
#pragma once

#include <string>

// Scheme, host, port and path; never user name, password, query or
// fragment. For a value that is not a URL, or one whose user information
// cannot be told apart from the rest, a note saying so and nothing of the value.
std::string redact_url(const std::string &url);
