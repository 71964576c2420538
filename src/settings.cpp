#include "settings.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <strings.h>
#include <memory>

#include "auth_plugin.h"

namespace {

constexpr long max_timeout_ms = 600000;
constexpr long max_cache_ms = 86400000;
constexpr long max_cache_entries = 10000000;
constexpr long max_backoff_ms = 600000;

bool parse_long(const char *text, long lo, long hi, long &out) {
    const char *end = text + std::strlen(text);
    long value = 0;
    auto [stop, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || stop != end || text == end || value < lo || value > hi) return false;
    out = value;
    return true;
}

bool parse_bool(const char *text, bool &out) {
    if (std::strcmp(text, "true") == 0) return out = true, true;
    if (std::strcmp(text, "false") == 0) return out = false, true;
    return false;
}

struct UrlFree {
    void operator()(CURLU *u) const noexcept { curl_url_cleanup(u); }
};
struct CurlStringFree {
    void operator()(char *s) const noexcept { curl_free(s); }
};

// An http or https URL with a host, as libcurl's own parser reads it.
bool valid_url(const char *text) {
    std::unique_ptr<CURLU, UrlFree> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text, 0) != CURLUE_OK) return false;
    char *raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) return false;
    std::unique_ptr<char, CurlStringFree> scheme(raw);
    if (std::strcmp(scheme.get(), "http") != 0 && std::strcmp(scheme.get(), "https") != 0) return false;
    raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK) return false;
    std::unique_ptr<char, CurlStringFree> host(raw);
    return host && *host;
}

// "Name: value" with a token name and a value; CR and LF would split the
// request. An empty value would make libcurl drop a header of that name, and
// the form's own framing headers are not the operator's to replace.
bool valid_header(const char *text) {
    if (std::strpbrk(text, "\r\n")) return false;
    const char *colon = std::strchr(text, ':');
    if (!colon || colon == text) return false;
    for (const char *c = text; c < colon; ++c)
        if (*c <= ' ' || *c >= 127) return false;
    if (colon[1 + std::strspn(colon + 1, " \t")] == '\0') return false;
    const std::string name(text, colon);
    for (const char *framing : {"content-length", "content-type", "transfer-encoding"})
        if (strcasecmp(name.c_str(), framing) == 0) return false;
    return true;
}

std::string invalid(const char *key, const std::string &value, const char *expected) {
    return std::string("auth_plugin: invalid ") + key + " \"" + value + "\": expected " + expected;
}

}  // namespace

bool Settings::operator==(const Settings &o) const {
    return http_user_uri == o.http_user_uri && http_acl_uri == o.http_acl_uri &&
           http_timeout_ms == o.http_timeout_ms && http_keepalive == o.http_keepalive &&
           http_cache_ms == o.http_cache_ms && http_cache_entries == o.http_cache_entries &&
           http_backoff_ms == o.http_backoff_ms && http_cafile == o.http_cafile &&
           http_certfile == o.http_certfile && http_keyfile == o.http_keyfile &&
           http_unix_socket == o.http_unix_socket && http_header == o.http_header;
}

std::string strip_userinfo(std::string url) {
    const std::size_t start = url.find("://");
    if (start == std::string::npos) return url;
    const std::size_t authority = start + 3;
    const std::size_t end = url.find_first_of("/?#", authority);
    const std::size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at != std::string::npos && at >= authority) url.erase(authority, at + 1 - authority);
    return url;
}

std::string redact_url(const std::string &url) {
    // The query may carry credentials too.
    return strip_userinfo(url.substr(0, url.find_first_of("?#")));
}

bool read_settings(const auth_option *opts, int count, Settings &out, std::string &error) {
    Settings next;
    for (int i = 0; opts && i < count; ++i) {
        const char *key = opts[i].key;
        const char *value = opts[i].value ? opts[i].value : "";
        if (!key) continue;
        // Prefix matches on purpose: a longer key that begins with the name counts too.
        std::optional<std::string> *uri = nullptr;
        if (std::strncmp(key, "http_user_uri", 13) == 0) uri = &next.http_user_uri;
        if (std::strncmp(key, "http_acl_uri", 12) == 0) uri = &next.http_acl_uri;
        if (uri) {
            // An empty value is configured but unreachable: its checks refuse.
            if (*value && !valid_url(value)) {
                error = invalid(key, strip_userinfo(value),
                                "an http or https URL (the broker keeps inline comments and trailing "
                                "spaces as part of the value)");
                return false;
            }
            *uri = value;
            continue;
        }
        struct Number {
            const char *name;
            long *target, lo, hi;
            const char *expected;
        } const numbers[] = {
            {"http_timeout_ms", &next.http_timeout_ms, 1, max_timeout_ms,
             "a whole number of milliseconds from 1 to 600000"},
            {"http_cache_ms", &next.http_cache_ms, 0, max_cache_ms,
             "a whole number of milliseconds from 0 (off) to 86400000"},
            {"http_cache_entries", &next.http_cache_entries, 1, max_cache_entries,
             "a whole number of entries from 1 to 10000000"},
            {"http_backoff_ms", &next.http_backoff_ms, 0, max_backoff_ms,
             "a whole number of milliseconds from 0 (off) to 600000"},
        };
        bool known = false;
        for (const auto &n : numbers) {
            if (std::strcmp(key, n.name) != 0) continue;
            if (!parse_long(value, n.lo, n.hi, *n.target)) {
                error = invalid(key, value, n.expected);
                return false;
            }
            known = true;
        }
        if (known) continue;
        if (std::strcmp(key, "http_keepalive") == 0) {
            if (!parse_bool(value, next.http_keepalive)) {
                error = invalid(key, value, "true or false");
                return false;
            }
        } else if (std::strcmp(key, "http_header") == 0) {
            if (!valid_header(value)) {  // the value is a secret: never printed
                error = "auth_plugin: invalid http_header (value not shown): expected \"Name: value\" with "
                        "a name and a value, no CR or LF, and not Content-Length, Content-Type or "
                        "Transfer-Encoding";
                return false;
            }
            next.http_header.emplace_back(value);
        } else {
            struct File {
                const char *name;
                std::string *target;
            } const files[] = {{"http_cafile", &next.http_cafile},
                               {"http_certfile", &next.http_certfile},
                               {"http_keyfile", &next.http_keyfile},
                               {"http_unix_socket", &next.http_unix_socket}};
            for (const auto &f : files) {
                if (std::strcmp(key, f.name) != 0) continue;
                if (!*value) {
                    error = invalid(key, value, "a path");
                    return false;
                }
                *f.target = value;
            }
        }
    }
    // The socket may appear after the broker starts; the files must be readable now.
    for (auto [key, path] : {std::pair{"http_cafile", &next.http_cafile},
                             std::pair{"http_certfile", &next.http_certfile},
                             std::pair{"http_keyfile", &next.http_keyfile}}) {
        if (path->empty() || access(path->c_str(), R_OK) == 0) continue;
        error = std::string("auth_plugin: cannot read ") + key + " \"" + *path + "\": " + std::strerror(errno);
        return false;
    }
    if (next.http_certfile.empty() != next.http_keyfile.empty()) {
        error = "auth_plugin: http_certfile and http_keyfile go together: give both or neither";
        return false;
    }
    out = std::move(next);
    return true;
}
