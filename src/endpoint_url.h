// A configured endpoint URL, read once by libcurl's own parser: the one
// place that decides whether it is one we take, what of it may be printed,
// and where its exchanges go (for the back-off, which ends on any answer
// from the same server).
#pragma once

#include <string>

struct EndpointUrl {
    bool valid = false;  // http or https, with a host
    // Scheme, host, port and path; never user name, password, query or
    // fragment. For a value that is not a URL, or one whose user
    // information cannot be told apart from the rest, a note saying so and
    // nothing of the value.
    std::string shown;
    // scheme://host:port (host in lower case, the scheme's port when none
    // is given), and the path; the origin is empty when shown is a note.
    std::string origin, path;
};

// Throws std::bad_alloc.
EndpointUrl parse_endpoint_url(const std::string &text);

inline std::string redact_url(const std::string &text) { return parse_endpoint_url(text).shown; }
