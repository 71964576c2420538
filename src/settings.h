// The plug-in's configuration, read once from the broker's option pairs.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct auth_option;

struct Settings {
    std::optional<std::string> http_user_uri;  // unset: logins decided without asking
    std::optional<std::string> http_acl_uri;   // unset: all access granted
    long http_timeout_ms = 5000;
    bool http_keepalive = false;
    long http_cache_ms = 0;  // 0: every check asks
    long http_cache_entries = 100000;
    long http_backoff_ms = 0;  // 0: every check asks, even during an outage
    std::string http_cafile, http_certfile, http_keyfile, http_unix_socket;
    std::vector<std::string> http_header;  // "Name: value", in order

    bool operator==(const Settings &o) const;
    bool operator!=(const Settings &o) const { return !(*this == o); }
};

// Fills out from the pairs. On an invalid value returns false and sets error
// to one line naming the key (and the value, unless it is a secret).
bool read_settings(const auth_option *opts, int count, Settings &out, std::string &error);

// The URL without any user name or password, for messages.
std::string strip_userinfo(std::string url);
// The same, without the query and fragment too.
std::string redact_url(const std::string &url);
