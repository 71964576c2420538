// The option table: one row per option, and the rules between options.
// Plain parsing and range checks only; what needs libcurl, the file system
// or the other modules is start-up's (startup.cpp).
#include "settings.h"

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <utility>

#include "auth_option.h"
#include "field_names.h"

namespace {

bool parse_long(const char *text, long lo, long hi, long &out) {
    const char *end = text + std::strlen(text);
    long value = 0;
    auto [stop, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || stop != end || text == end || value < lo || value > hi) return false;
    out = value;
    return true;
}

// "Name: value" with a token name and a value; CR and LF would split the
// request. An empty value would make libcurl drop a header of that name, and
// the form's own framing headers are not the operator's to replace. The rule
// a value breaks, in words that never repeat it; null: none.
const char *header_fault(const char *text) {
    if (std::strpbrk(text, "\r\n")) return "it holds a CR or LF";
    const char *colon = std::strchr(text, ':');
    if (!colon) return "it has no ':' after the name";
    if (colon == text) return "it has no name before the ':'";
    for (const char *c = text; c < colon; ++c)
        if (*c <= ' ' || *c >= 127) return "its name holds a blank or a character that is not printable ASCII";
    if (colon[1 + std::strspn(colon + 1, " \t")] == '\0') return "its value is empty";
    const std::string name(text, colon);
    for (auto [framing, fault] : {std::pair{"content-length", "it names Content-Length, which the plug-in sets itself"},
                                  std::pair{"content-type", "it names Content-Type, which the plug-in sets itself"},
                                  std::pair{"transfer-encoding", "it names Transfer-Encoding, which libcurl sets"}})
        if (strcasecmp(name.c_str(), framing) == 0) return fault;
    return nullptr;
}

std::string invalid(const char *key, const std::string &value, const std::string &expected) {
    return std::string("auth_plugin: invalid ") + key + " \"" + value + "\": expected " + expected;
}

// One option, declared once: its name, which library reads it, its default
// (as it would be written in the configuration; null: unset), its range and
// how its value is read, compared between two loads and shown.
struct Option {
    const char *name;
    bool v5_only;
    const char *fallback;
    long lo = 0, hi = 0;         // a number's range
    const char *unit = nullptr;  // a number's unit; other kinds: what a value must be
    // Reads value into s; false with error set (one line) when it is invalid.
    bool (*parse)(const Option &o, const char *key, const char *value, Settings &s, std::string &error);
    bool (*same)(const Settings &a, const Settings &b);
    std::string (*show)(const Settings &s, const Shown &shown);
    void (*unset)(Settings &s);  // for options without a default
};

// What a value must be, for messages and the tool's --help.
std::string expected(const Option &o) {
    if (!o.parse || o.lo == o.hi) return o.unit;
    return std::string("a whole number of ") + o.unit + " from " + std::to_string(o.lo) + (o.lo == 0 ? " (off)" : "") +
           " to " + std::to_string(o.hi);
}

template <auto Member>
bool same(const Settings &a, const Settings &b) {
    return a.*Member == b.*Member;
}
template <auto Member>
void clear(Settings &s) {
    s.*Member = {};
}

template <long Settings::*Member>
bool parse_number(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    if (parse_long(value, o.lo, o.hi, s.*Member)) return true;
    error = invalid(key, value, expected(o));
    return false;
}
template <long Settings::*Member>
std::string show_number(const Settings &s, const Shown &) {
    return std::to_string(s.*Member);
}
template <long Settings::*Member>
constexpr Option number(const char *name, bool v5_only, const char *fallback, long lo, long hi, const char *unit) {
    return {name, v5_only, fallback, lo, hi, unit, parse_number<Member>, same<Member>, show_number<Member>, nullptr};
}

template <bool Settings::*Member>
bool parse_flag(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    if (std::strcmp(value, "true") == 0 || std::strcmp(value, "false") == 0) {
        s.*Member = value[0] == 't';
        return true;
    }
    error = invalid(key, value, expected(o));
    return false;
}
template <bool Settings::*Member>
std::string show_flag(const Settings &s, const Shown &) {
    return s.*Member ? "true" : "false";
}
template <bool Settings::*Member>
constexpr Option flag(const char *name, bool v5_only, const char *fallback) {
    return {name, v5_only, fallback, 0, 0, "true or false", parse_flag<Member>, same<Member>, show_flag<Member>,
            nullptr};
}

// Whether it is a URL we take is libcurl's to say, at start-up (an empty
// value is configured but unreachable: its checks refuse).
template <std::optional<std::string> Settings::*Member>
bool parse_url(const Option &, const char *, const char *value, Settings &s, std::string &) {
    s.*Member = value;
    return true;
}
template <std::optional<std::string> Settings::*Member, std::string Shown::*As>
std::string show_url(const Settings &s, const Shown &shown) {
    const auto &url = s.*Member;
    if (!url) return "(not set)";
    return url->empty() ? "(empty: every such check refuses)" : shown.*As;
}
template <std::optional<std::string> Settings::*Member, std::string Shown::*As>
constexpr Option url(const char *name) {
    return {name,
            false,
            nullptr,
            0,
            0,
            "an http or https URL (the broker keeps inline comments and trailing spaces as part of the value)",
            parse_url<Member>,
            same<Member>,
            show_url<Member, As>,
            clear<Member>};
}

template <std::string Settings::*Member>
bool parse_path(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    if (!*value) {
        error = invalid(key, value, expected(o));
        return false;
    }
    s.*Member = value;
    return true;
}
template <std::string Settings::*Member>
std::string show_text(const Settings &s, const Shown &) {
    return (s.*Member).empty() ? "(not set)" : s.*Member;
}
template <std::string Settings::*Member>
constexpr Option path(const char *name) {
    return {name, false, nullptr, 0, 0, "a path", parse_path<Member>, same<Member>, show_text<Member>, clear<Member>};
}

bool parse_header(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    if (const char *fault = header_fault(value)) {  // the value is a secret: never printed
        error = std::string("auth_plugin: invalid ") + key + " number " + std::to_string(s.http_header.size() + 1) +
                " (value not shown): " + fault + "; expected " + expected(o);
        return false;
    }
    s.http_header.emplace_back(value);
    return true;
}
std::string show_header_names(const Settings &s, const Shown &) {
    std::string names;
    for (const auto &line : s.http_header) names += (names.empty() ? "" : ",") + line.substr(0, line.find(':'));
    return names.empty() ? "(none)" : names;
}

// A list of names from a fixed set, separated by commas or spaces, each once.
template <std::vector<std::string> Settings::*Member, const auto &Allowed>
bool parse_fields(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    std::vector<std::string> names;
    const std::string text = value;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find_first_of(", \t", at), text.size());
        const std::string name = text.substr(at, end - at);
        at = end + 1;
        if (name.empty()) continue;
        if (std::find(std::begin(Allowed), std::end(Allowed), name) == std::end(Allowed) ||
            std::find(names.begin(), names.end(), name) != names.end()) {
            error = std::string("auth_plugin: invalid ") + key + " \"" + value + "\" (field \"" + name +
                    "\"): expected " + expected(o);
            return false;
        }
        names.push_back(name);
    }
    if (names.empty()) {
        error = invalid(key, value, expected(o));
        return false;
    }
    s.*Member = std::move(names);
    return true;
}
template <std::vector<std::string> Settings::*Member>
std::string show_list(const Settings &s, const Shown &) {
    std::string names;
    for (const auto &n : s.*Member) names += (names.empty() ? "" : ",") + n;
    return names.empty() ? "(none)" : names;
}
template <std::vector<std::string> Settings::*Member, const auto &Allowed>
constexpr Option fields(const char *name, const char *help) {
    return {name, true, nullptr, 0, 0, help, parse_fields<Member, Allowed>, same<Member>, show_list<Member>,
            clear<Member>};
}

// One of two words, the second meaning true, in any case (EMQX's documents
// write a method POST).
template <bool Settings::*Member>
bool parse_choice(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    const std::string words = o.unit;  // "a or b"
    const std::string no = words.substr(0, words.find(' ')), yes = words.substr(words.rfind(' ') + 1);
    if (strcasecmp(value, no.c_str()) == 0 || strcasecmp(value, yes.c_str()) == 0) {
        s.*Member = strcasecmp(value, yes.c_str()) == 0;
        return true;
    }
    error = invalid(key, value, expected(o));
    return false;
}
template <bool Settings::*Member, const char *No, const char *Yes>
std::string show_word(const Settings &s, const Shown &) {
    return s.*Member ? Yes : No;
}
template <bool Settings::*Member, const char *No, const char *Yes>
constexpr Option choice(const char *name, const char *words) {
    return {name, false, No, 0, 0, words, parse_choice<Member>, same<Member>, show_word<Member, No, Yes>, nullptr};
}
constexpr char post_word[] = "post", get_word[] = "get", status_word[] = "status", json_word[] = "json";
constexpr char password_word[] = "password", username_word[] = "username";

// The HTTP version: "1.1" or "2"; unset, libcurl chooses as it always has.
bool parse_version(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    if (std::strcmp(value, "1.1") == 0 || std::strcmp(value, "2") == 0) {
        s.http_version = value[0] == '2' ? 2 : 1;
        return true;
    }
    error = invalid(key, value, expected(o));
    return false;
}
std::string show_version(const Settings &s, const Shown &) {
    return s.http_version == 2 ? "2" : s.http_version == 1 ? "1.1" : "(unset: libcurl's choice)";
}

// A JSON object of strings; read fully at start-up (request_template.h).
template <std::optional<std::string> Settings::*Member>
bool parse_body(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    if (!*value) {
        error = std::string("auth_plugin: invalid ") + key + " (empty): expected " + expected(o);
        return false;
    }
    s.*Member = value;
    return true;
}
template <std::optional<std::string> Settings::*Member>
std::string show_body(const Settings &s, const Shown &) {
    return s.*Member ? "(set)" : "(not set)";  // it may hold a secret
}
template <std::optional<std::string> Settings::*Member>
constexpr Option body(const char *name) {
    return {name,
            false,
            nullptr,
            0,
            0,
            "a JSON object whose members are strings, which may hold placeholders such as ${username}",
            parse_body<Member>,
            same<Member>,
            show_body<Member>,
            clear<Member>};
}

bool parse_topic(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    // A prefix the broker can publish under: no wildcards, not empty.
    if (!*value || std::strpbrk(value, "+# \t") || value[std::strlen(value) - 1] == '/') {
        error = invalid(key, value, expected(o));
        return false;
    }
    s.http_stats_topic = value;
    return true;
}

// Given or not: unset, read_settings makes it follow http_answers.
bool parse_login_rules(const Option &o, const char *key, const char *value, Settings &s, std::string &error) {
    if (!parse_flag<&Settings::http_login_rules>(o, key, value, s, error)) return false;
    s.http_login_rules_given = true;
    return true;
}
std::string show_login_rules(const Settings &s, const Shown &shown) {
    const std::string value = show_flag<&Settings::http_login_rules>(s, shown);
    return s.http_login_rules_given ? value : "(unset: " + value + ", as http_answers)";
}
void unset_login_rules(Settings &s) { s.http_login_rules = s.http_login_rules_given = false; }

// Unset, the cache's byte bound is what the entry bound takes without rules.
std::string show_cache_bytes(const Settings &s, const Shown &shown) {
    if (s.http_cache_bytes > 0) return std::to_string(s.http_cache_bytes);
    return "(unset: " + std::to_string(shown.default_cache_bytes) +
           ", room for http_cache_entries entries without rules)";
}

// Every option the plug-in knows, in the order they are described at start.
const Option options[] = {
    url<&Settings::http_user_uri, &Shown::user_uri>("http_user_uri"),
    url<&Settings::http_acl_uri, &Shown::acl_uri>("http_acl_uri"),
    number<&Settings::http_timeout_ms>("http_timeout_ms", false, "5000", 1, 600000, "milliseconds"),
    flag<&Settings::http_keepalive>("http_keepalive", false, "false"),
    number<&Settings::http_cache_ms>("http_cache_ms", false, "0", 0, 86400000, "milliseconds"),
    number<&Settings::http_cache_entries>("http_cache_entries", false, "100000", 1, 10000000, "entries"),
    {"http_cache_bytes", false, nullptr, 1048576, 68719476736, "bytes", parse_number<&Settings::http_cache_bytes>,
     same<&Settings::http_cache_bytes>, show_cache_bytes, clear<&Settings::http_cache_bytes>},
    number<&Settings::http_cache_stale_ms>("http_cache_stale_ms", false, "0", 0, 86400000, "milliseconds"),
    number<&Settings::http_backoff_ms>("http_backoff_ms", false, "0", 0, 600000, "milliseconds"),
    path<&Settings::http_cafile>("http_cafile"),
    path<&Settings::http_certfile>("http_certfile"),
    path<&Settings::http_keyfile>("http_keyfile"),
    path<&Settings::http_unix_socket>("http_unix_socket"),
    {"http_header", false, nullptr, 0, 0,
     "\"Name: value\" with a name and a value, no CR or LF, and not Content-Length, Content-Type or "
     "Transfer-Encoding (may be given several times)",
     parse_header, same<&Settings::http_header>, show_header_names, clear<&Settings::http_header>},
    choice<&Settings::http_get, post_word, get_word>("http_method", "post or get"),
    body<&Settings::http_user_body>("http_user_body"),
    body<&Settings::http_acl_body>("http_acl_body"),
    choice<&Settings::http_answers_json, status_word, json_word>("http_answers", "status or json"),
    {"http_version", false, nullptr, 0, 0, "1.1 or 2", parse_version, same<&Settings::http_version>, show_version,
     clear<&Settings::http_version>},
    flag<&Settings::http_check_subscribe>("http_check_subscribe", true, "false"),
    fields<&Settings::http_login_fields, login_field_names>(
        "http_login_fields", "any of clientid, address, protocol_version, certificate_subject, each once"),
    fields<&Settings::http_acl_fields, acl_field_names>("http_acl_fields", "any of address, qos, retain, each once"),
    number<&Settings::http_stats_interval_s>("http_stats_interval_s", true, "0", 0, 86400, "seconds"),
    {"http_stats_topic", true, "$SYS/plugin/auth_plugin", 0, 0, "a topic without wildcards, spaces or a trailing '/'",
     parse_topic, same<&Settings::http_stats_topic>, show_text<&Settings::http_stats_topic>, nullptr},
    flag<&Settings::http_async_logins>("http_async_logins", true, "true"),
    number<&Settings::http_max_in_flight>("http_max_in_flight", true, "256", 1, 1024, "exchanges at once"),
    flag<&Settings::http_reload_in_background>("http_reload_in_background", true, "true"),
    flag<&Settings::http_control>("http_control", true, "false"),
    {"http_login_rules", true, nullptr, 0, 0, "true or false", parse_login_rules, same<&Settings::http_login_rules>,
     show_login_rules, unset_login_rules},
    url<&Settings::http_jwt_jwks_uri, &Shown::jwks_uri>("http_jwt_jwks_uri"),
    path<&Settings::http_jwt_secret_file>("http_jwt_secret_file"),
    choice<&Settings::http_jwt_from_username, password_word, username_word>("http_jwt_from", "password or username"),
    {"http_jwt_claims", false, nullptr, 0, 0,
     "a JSON object of the claims a token must carry, whose string values may hold placeholders such as ${username}",
     parse_body<&Settings::http_jwt_claims>, same<&Settings::http_jwt_claims>, show_body<&Settings::http_jwt_claims>,
     clear<&Settings::http_jwt_claims>},
    number<&Settings::http_jwt_leeway_s>("http_jwt_leeway_s", false, "30", 0, 3600, "seconds"),
};

// Options that only make sense with another: each rule once, with its line
// (the one that needs libcurl's version is start-up's).
struct Requirement {
    bool (*broken)(const Settings &s);
    const char *line;
};

const Requirement requirements[] = {
    {[](const Settings &s) { return s.http_cache_stale_ms > 0 && s.http_cache_ms == 0; },
     "auth_plugin: http_cache_stale_ms needs http_cache_ms: only kept decisions can answer stale"},
    {[](const Settings &s) { return s.http_control && !s.http_acl_uri; },
     "auth_plugin: http_control needs http_acl_uri: the access endpoint decides who may send commands, and "
     "without it every client could"},
    {[](const Settings &s) { return s.http_certfile.empty() != s.http_keyfile.empty(); },
     "auth_plugin: http_certfile and http_keyfile go together: give both or neither"},
    {[](const Settings &s) { return s.http_jwt_jwks_uri && !s.http_jwt_secret_file.empty(); },
     "auth_plugin: http_jwt_jwks_uri and http_jwt_secret_file exclude each other: tokens are verified with a key "
     "set or with one secret, not both"},
    {[](const Settings &s) { return s.http_jwt_claims && !s.tokens(); },
     "auth_plugin: http_jwt_claims needs http_jwt_jwks_uri or http_jwt_secret_file: without keys no token is "
     "verified"},
};

// The options whose value is a URL; longer keys that begin with one's name set it too.
constexpr const char *url_options[] = {"http_user_uri", "http_acl_uri", "http_jwt_jwks_uri"};

bool offered(const Option &o, Interface which) { return !o.v5_only || which == Interface::v5; }

const Option *find_option(const char *key, Interface which) {
    for (const auto &o : options)
        if (std::strcmp(key, o.name) == 0) return offered(o, which) ? &o : nullptr;
    if (const char *url = url_option(key)) return find_option(url, which);
    return nullptr;
}

// Levenshtein distance, for suggesting the option probably meant.
std::size_t distance(const std::string &a, const std::string &b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

std::string unknown(const char *key, Interface which) {
    std::string line = std::string("auth_plugin: unknown option ") + key;
    for (const auto &o : options) {
        if (std::strcmp(key, o.name) == 0)  // known, but not behind this interface
            return line + " (it is read by auth_plugin_v5.so only)";
    }
    const Option *closest = nullptr;
    std::size_t best = 3;  // a small edit: a typo, not another word
    for (const auto &o : options) {
        if (!offered(o, which)) continue;
        const std::size_t d = distance(key, o.name);
        if (d < best) best = d, closest = &o;
    }
    if (closest) line += std::string(" (did you mean ") + closest->name + "?)";
    return line;
}

}  // namespace

const char *url_option(const char *key) {
    for (const char *name : url_options)
        if (std::strncmp(key, name, std::strlen(name)) == 0) return name;
    return nullptr;
}

std::string invalid_url(const char *key, const std::string &shown) {
    return std::string("auth_plugin: invalid ") + key + " " + shown + ": expected " +
           expected(*find_option(url_option(key), Interface::v2));
}

bool Settings::operator==(const Settings &o) const {
    return std::all_of(std::begin(options), std::end(options),
                       [&](const Option &option) { return option.same(*this, o); });
}

bool read_settings(const auth_option *opts, int count, Settings &out, std::string &error, Interface which,
                   int *failed_at) {
    Settings next;
    for (int i = 0; opts && i < count; ++i) {
        const char *key = opts[i].key;
        if (!key) continue;
        const Option *option = find_option(key, which);
        if (!option) error = unknown(key, which);
        if (!option || !option->parse(*option, key, opts[i].value ? opts[i].value : "", next, error)) {
            if (failed_at) *failed_at = i;
            return false;
        }
    }
    // Unset, a json login answer is read in full where rules can be applied,
    // as EMQX 5.8 reads it: only an explicit false leaves them unapplied.
    if (!next.http_login_rules_given) next.http_login_rules = which == Interface::v5 && next.http_answers_json;
    out = std::move(next);
    return true;
}

std::string broken_rule(const Settings &s) {
    for (const auto &r : requirements)
        if (r.broken(s)) return r.line;
    return {};
}

std::vector<std::string> describe_settings(const Settings &settings, Interface which, const Shown &shown) {
    std::string line = "auth_plugin: configured (version " AUTH_PLUGIN_VERSION ")";
    const char *separator = ": ";
    for (const auto &o : options) {
        if (!offered(o, which)) continue;
        line += separator + std::string(o.name) + " " + o.show(settings, shown);
        separator = ", ";
    }
    std::vector<std::string> lines{line};
    if (!settings.http_user_uri && !settings.http_acl_uri && !settings.tokens())
        lines.emplace_back(
            "auth_plugin: neither http_user_uri nor http_acl_uri is set: every login that carries a user name "
            "and a password, and all access, is granted without asking");
    return lines;
}

std::string options_help(Interface which) {
    std::string text;
    for (const auto &o : options)
        if (offered(o, which))
            text += std::string("  ") + o.name + ": " + expected(o) + (o.fallback ? std::string("; default ") + o.fallback : "") + "\n";
    return text;
}

Settings::Settings() {
    for (const auto &o : options) {
        if (o.fallback) {
            std::string ignored;
            o.parse(o, o.name, o.fallback, *this, ignored);  // the defaults are valid values
        } else {
            o.unset(*this);
        }
    }
}

std::vector<OptionRow> option_rows() {
    std::vector<OptionRow> rows;
    for (const auto &o : options) rows.push_back({o.name, o.v5_only, o.fallback, o.lo, o.hi, expected(o)});
    return rows;
}
