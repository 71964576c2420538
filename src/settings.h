// The plug-in's configuration, read once from the broker's option pairs. One
// table of options (settings.cpp) gives parsing, range checks, comparison,
// the rules between options, the error for an unknown key and the start-up
// description. A leaf: what needs libcurl, files or the other modules (a
// URL's parse, the templates) start-up checks (startup.h) and hands in.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct auth_option;

// Which library reads the options: some exist only behind the version-5 interface.
enum class Interface { v2, v5 };

// Each member's default, range and rules are its option's row (settings.cpp).
struct Settings {
    Settings();  // every option at its default

    std::optional<std::string> http_user_uri;  // unset: logins decided without asking
    std::optional<std::string> http_acl_uri;   // unset: all access granted
    long http_timeout_ms;
    bool http_keepalive;
    long http_cache_ms;  // 0: every check asks
    long http_cache_entries;
    long http_cache_bytes;     // 0 (unset): room for http_cache_entries entries without rules
    long http_cache_stale_ms;  // 0: a decision past its lifetime never answers
    long http_backoff_ms;      // 0: every check asks, even during an outage
    std::string http_cafile, http_certfile, http_keyfile, http_unix_socket;
    std::vector<std::string> http_header;  // "Name: value", in order; values may hold placeholders
    // Request templates (request_template.h): a get puts the parameters in
    // the URL's query; a body template is a JSON object of strings.
    bool http_get;
    std::optional<std::string> http_user_body, http_acl_body;  // unset: today's form
    // The answer read: false, exactly 200 grants; true, EMQX 5's {"result": ...} or 204.
    bool http_answers_json;
    // The HTTP version asked for: 0 (unset) libcurl's own choice, 1 HTTP/1.1,
    // 2 HTTP/2 (in clear text by prior knowledge, over TLS offered by ALPN),
    // with exchanges run at once sharing connections.
    long http_version;

    // The version-5 library's own.
    bool http_check_subscribe;
    std::vector<std::string> http_login_fields;  // extra login fields, in order
    std::vector<std::string> http_acl_fields;    // extra access fields, in order
    long http_stats_interval_s;                  // 0: no stats
    std::string http_stats_topic;
    // Where the broker lets a login be answered later (2.1), logins the cache
    // cannot answer are asked among many at once.
    bool http_async_logins;
    long http_max_in_flight;  // exchanges at once, per instance
    // After a reload, re-checks are granted at once and revalidated behind.
    bool http_reload_in_background;
    // Commands on $CONTROL/auth_plugin/v1 (disconnect, recheck, forget);
    // needs http_acl_uri, which decides who may send them.
    bool http_control;
    // A login's JSON answer may carry the connection's rules (result,
    // is_superuser, acl, expire_at), applied for its session. Unset, it
    // follows http_answers: a json answer is read in full, as EMQX 5.8 reads
    // it (read_settings resolves it; given says whether it was set).
    bool http_login_rules;
    bool http_login_rules_given;

    // Signed tokens verified at the broker (token_login.h): the key set's URL
    // or an HMAC secret's file (one or the other), which credential carries
    // the token (http_jwt_from username), the claims it must carry (a JSON
    // object of templates; unset: none beyond exp) and the clock's leeway.
    std::optional<std::string> http_jwt_jwks_uri;
    std::string http_jwt_secret_file;
    bool http_jwt_from_username;
    std::optional<std::string> http_jwt_claims;
    long http_jwt_leeway_s;
    bool tokens() const noexcept { return http_jwt_jwks_uri || !http_jwt_secret_file.empty(); }

    bool operator==(const Settings &o) const;
    bool operator!=(const Settings &o) const { return !(*this == o); }
};

// Fills out from the pairs, each value parsed and range-checked. On an
// unknown key or an invalid value returns false, sets error to one line
// naming the key (and the value, unless it may be a secret) and failed_at to
// the pair's index. A URL's value is taken as given: start-up judges it.
bool read_settings(const auth_option *opts, int count, Settings &out, std::string &error,
                   Interface which = Interface::v2, int *failed_at = nullptr);

// The URL option a key sets (longer keys that begin with one's name set it
// too), or null.
const char *url_option(const char *key);
// The line for a URL option's value that is not a URL we take, shown as it
// may be printed.
std::string invalid_url(const char *key, const std::string &shown);

// The line of the first rule between options that s breaks; empty: none.
std::string broken_rule(const Settings &s);

// What the description shows that the rows cannot work out alone, worked out
// at start-up: each set URL as it may be printed, and the cache's byte bound
// when http_cache_bytes is unset.
struct Shown {
    std::string user_uri, acl_uri, jwks_uri;
    std::size_t default_cache_bytes = 0;
};

// The start-up lines: what was configured (URLs redacted, header names
// only), and a warning when no endpoint is asked at all.
std::vector<std::string> describe_settings(const Settings &settings, Interface which, const Shown &shown);

// One line per option, for a tool's --help.
std::string options_help(Interface which);

// The options as declared, for documents that must agree with them.
struct OptionRow {
    const char *name;
    bool v5_only;
    const char *fallback;  // the default as written; null: unset
    long lo, hi;           // a number's range; equal for other kinds
    std::string expected;  // what a value must be
};
std::vector<OptionRow> option_rows();
