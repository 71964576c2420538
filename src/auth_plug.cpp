// auth_plugin: lets the Mosquitto broker ask a web service who may log in and
// who may read or write which topic. Each question becomes one HTTP POST of an
// URL-encoded form; the answer grants exactly when its status is 200.
//
// Build:      cmake -S . -B build && cmake --build build     -> build/auth_plugin.so
// Configure (mosquitto.conf):
//   auth_plugin /usr/lib/x86_64-linux-gnu/mosquitto/auth_plugin.so
//   auth_opt_http_user_uri   http://127.0.0.1:8080/user   # credential endpoint
//   auth_opt_http_acl_uri    http://127.0.0.1:8080/acl    # access endpoint
//   auth_opt_http_timeout_ms 5000                         # bound on one exchange
//   auth_opt_http_keepalive  false                        # reuse connections

#include "auth_plugin.h"

#include <curl/curl.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr long default_timeout_ms = 5000;
constexpr long max_timeout_ms = 600000;

// Written only by initialisation, before any check; read-only afterwards.
// The URLs point into the broker's option strings, which outlive every check.
struct Settings {
    const char *http_user_uri;
    const char *http_acl_uri;
    long http_timeout_ms;
    bool http_keepalive;
};
constexpr Settings unset{nullptr, nullptr, default_timeout_ms, false};
Settings settings = unset;

// Whether we performed libcurl's global set-up, and so owe its tear-down.
bool curl_ready = false;

struct CurlFree {
    void operator()(char *s) const noexcept { curl_free(s); }
};
struct HeapFree {
    void operator()(char *p) const noexcept { std::free(p); }
};
using Escaped = std::unique_ptr<char, CurlFree>;
using Buffer = std::unique_ptr<char, HeapFree>;

// Connection reuse (http_keepalive): a finished check's handle waits in a
// small pool instead of being cleaned up, and keeps its open connection, so
// the next check that takes it skips the connection set-up. A handle, and so
// its connections, belongs to one check at a time: threads never share a
// connection. Off, the pool stays empty and every check has a fresh handle.
constexpr int max_idle_handles = 8;
struct Reuse {
    std::mutex lock;
    CURL *idle[max_idle_handles] = {};
    int idle_count = 0;
};
Reuse reuse;

// Closes every kept connection. No check may be running.
void stop_reuse() noexcept {
    while (reuse.idle_count > 0) curl_easy_cleanup(reuse.idle[--reuse.idle_count]);
}

CURL *take_handle() noexcept {
    if (settings.http_keepalive) {
        std::lock_guard<std::mutex> guard(reuse.lock);
        if (reuse.idle_count > 0) return reuse.idle[--reuse.idle_count];
    }
    return curl_easy_init();
}

void release_handle(CURL *h) noexcept {
    if (settings.http_keepalive) {
        // Forget this check's options (its body and header flag are about to
        // go); the connection stays open.
        curl_easy_reset(h);
        std::lock_guard<std::mutex> guard(reuse.lock);
        if (reuse.idle_count < max_idle_handles) {
            reuse.idle[reuse.idle_count++] = h;
            return;
        }
    }
    curl_easy_cleanup(h);
}

struct HandleRelease {
    void operator()(CURL *h) const noexcept { release_handle(h); }
};
using Handle = std::unique_ptr<CURL, HandleRelease>;

struct Field {
    const char *name;
    const char *value;
};

// The endpoint's answer is untrusted and nobody reads it: drop it rather than
// let it reach the broker's standard output.
size_t discard(char *, size_t size, size_t nmemb, void *) noexcept { return size * nmemb; }

// libcurl reports a response cut off inside its header block as complete, so
// the plug-in watches for the blank line that ends the final header block.
size_t watch_headers(char *line, size_t size, size_t nmemb, void *ended) noexcept {
    const size_t n = size * nmemb;
    bool &headers_ended = *static_cast<bool *>(ended);
    if (n >= 5 && std::memcmp(line, "HTTP/", 5) == 0) headers_ended = false;  // a new block (after a 1xx)
    else if ((n == 2 && line[0] == '\r' && line[1] == '\n') || (n == 1 && line[0] == '\n')) headers_ended = true;
    return n;
}

// The whole decision: a completed transfer whose answer is exactly 200.
bool granted(CURLcode rc, bool headers_ended, long status) noexcept {
    return rc == CURLE_OK && headers_ended && status == 200;
}

// The form body: each value escaped, "name=value" pairs joined by '&', in
// one buffer of exactly its size, NUL included. Null if anything failed.
template <std::size_t N>
Buffer form_body(CURL *curl, const std::array<Field, N> &fields, std::size_t &length) noexcept {
    std::array<Escaped, N> escaped;
    std::array<std::size_t, N> name_len{}, value_len{};
    std::size_t size = 0;
    for (std::size_t i = 0; i < N; ++i) {
        escaped[i].reset(curl_easy_escape(curl, fields[i].value, 0));
        if (!escaped[i]) return nullptr;
        name_len[i] = std::strlen(fields[i].name);
        value_len[i] = std::strlen(escaped[i].get());
        // name, '=', value, then one byte for the '&' that follows or the final NUL
        size += name_len[i] + 1 + value_len[i] + 1;
    }
    Buffer body(static_cast<char *>(std::calloc(size, 1)));
    if (!body) return nullptr;
    // Lengths are known, so plain copies do; each is checked against what is left.
    char *end = body.get();
    const char *const limit = body.get() + size - 1;  // keeps the final NUL
    auto append = [&](const char *text, std::size_t len) {
        if (len > static_cast<std::size_t>(limit - end)) return false;
        std::memcpy(end, text, len);
        end += len;
        return true;
    };
    for (std::size_t i = 0; i < N; ++i) {
        if ((i > 0 && !append("&", 1)) || !append(fields[i].name, name_len[i]) || !append("=", 1) ||
            !append(escaped[i].get(), value_len[i]))
            return nullptr;
    }
    length = static_cast<std::size_t>(end - body.get());
    return body;
}

// Posts the fields as a form to url; true exactly on a completed 200.
template <std::size_t N>
bool http_form_check(const char *url, const std::array<Field, N> &fields) noexcept {
    Buffer body;  // declared first so that it is released last
    Handle curl(take_handle());
    if (!curl) return false;
    std::size_t length = 0;
    body = form_body(curl.get(), fields, length);
    if (!body) return false;

    CURL *h = curl.get();
    bool headers_ended = false;
    // An option that did not take could leave the request unbounded or not
    // the one meant, so it refuses like any other failure.
    bool ready = curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_URL, url) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.get()) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(length)) == CURLE_OK &&
                 // Signals are the broker's; without this libcurl may use SIGALRM for time-outs.
                 curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, settings.http_timeout_ms) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, watch_headers) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_HEADERDATA, &headers_ended) == CURLE_OK;
    if (!ready) return false;

    long status = 0;
    CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_OK && curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) status = 0;
    return granted(rc, headers_ended, status);
}

bool parse_timeout(const char *text, long &out) noexcept {
    if (!text) return false;
    const char *end = text + std::strlen(text);
    long value = 0;
    auto [stop, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || stop != end || text == end || value < 1 || value > max_timeout_ms)
        return false;
    out = value;
    return true;
}

bool parse_bool(const char *text, bool &out) noexcept {
    if (text && std::strcmp(text, "true") == 0) return out = true, true;
    if (text && std::strcmp(text, "false") == 0) return out = false, true;
    return false;
}

int refuse_option(const char *key, const char *value, const char *expected) noexcept {
    std::fprintf(stderr, "auth_plugin: invalid %s \"%s\": expected %s\n", key, value ? value : "(null)",
                 expected);
    settings = unset;
    return AUTH_PLUGIN_ERR_INVAL;
}

}  // namespace

extern "C" {

int mosquitto_auth_plugin_version(void) noexcept { return 2; }

int mosquitto_auth_plugin_init(void **, struct auth_option *opts, int opt_count) noexcept {
    // A repeated initialisation starts afresh: the previous option strings may
    // be gone, and so may the endpoints of any kept connection.
    stop_reuse();
    Settings next = unset;
    for (int i = 0; opts && i < opt_count; ++i) {
        const char *key = opts[i].key;
        const char *value = opts[i].value;
        if (!key) continue;
        // Prefix matches on purpose: a longer key that begins with the name counts too.
        if (std::strncmp(key, "http_user_uri", 13) == 0) next.http_user_uri = value;
        if (std::strncmp(key, "http_acl_uri", 12) == 0) next.http_acl_uri = value;
        if (std::strcmp(key, "http_timeout_ms") == 0 && !parse_timeout(value, next.http_timeout_ms))
            return refuse_option(key, value, "a whole number of milliseconds from 1 to 600000");
        if (std::strcmp(key, "http_keepalive") == 0 && !parse_bool(value, next.http_keepalive))
            return refuse_option(key, value, "true or false");
    }

    if (!curl_ready) {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            std::fprintf(stderr, "auth_plugin: libcurl could not be initialised\n");
            settings = unset;
            return AUTH_PLUGIN_ERR_INVAL;
        }
        curl_ready = true;
    }
    settings = next;
    return AUTH_PLUGIN_OK;
}

int mosquitto_auth_plugin_cleanup(void *, struct auth_option *, int) noexcept {
    // Closes every kept connection; the settings stay as they are.
    stop_reuse();
    if (curl_ready) {
        curl_global_cleanup();
        curl_ready = false;
    }
    return AUTH_PLUGIN_OK;
}

int mosquitto_auth_security_init(void *, struct auth_option *, int, bool) noexcept {
    return AUTH_PLUGIN_OK;
}

int mosquitto_auth_security_cleanup(void *, struct auth_option *, int, bool) noexcept {
    return AUTH_PLUGIN_OK;
}

int mosquitto_auth_unpwd_check(void *, const char *username, const char *password) noexcept {
    if (!username || !password) return AUTH_PLUGIN_ERR_AUTH;
    if (!settings.http_user_uri) return AUTH_PLUGIN_OK;
    const std::array<Field, 2> fields{{{"username", username}, {"password", password}}};
    return http_form_check(settings.http_user_uri, fields) ? AUTH_PLUGIN_OK : AUTH_PLUGIN_ERR_AUTH;
}

int mosquitto_auth_acl_check(void *, const char *clientid, const char *username, const char *topic,
                             int access) noexcept {
    if (!settings.http_acl_uri) return AUTH_PLUGIN_OK;
    if (!clientid || !username || !topic) return AUTH_PLUGIN_ERR_ACL_DENIED;
    const char *word = access == AUTH_PLUGIN_ACL_READ    ? "read"
                       : access == AUTH_PLUGIN_ACL_WRITE ? "write"
                                                         : "none";
    const std::array<Field, 4> fields{
        {{"clientid", clientid}, {"username", username}, {"topic", topic}, {"access", word}}};
    return http_form_check(settings.http_acl_uri, fields) ? AUTH_PLUGIN_OK
                                                          : AUTH_PLUGIN_ERR_ACL_DENIED;
}

int mosquitto_auth_psk_key_get(void *, const char *, const char *, char *, int) noexcept {
    return AUTH_PLUGIN_ERR_AUTH;  // no pre-shared keys, for anyone
}

}  // extern "C"
