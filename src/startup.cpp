// Start-up: the option table's values checked against the world (libcurl,
// the files, the templates) once, the description worked out, and what runs
// the checks built from the one Configuration.
#include "startup.h"

#include <curl/curl.h>
#include <strings.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <stdexcept>
#include <system_error>

#include "decision_cache.h"
#include "endpoint_url.h"
#include "log.h"
#include "token_keys.h"
#include "token_verifier.h"

CurlGlobal::CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw Unavailable{};
}
CurlGlobal::~CurlGlobal() { curl_global_cleanup(); }

namespace {

// Naming the cause must not fail in turn: an empty line means no memory.
void name(std::string &error, const char *cause, const char *detail = "") noexcept {
    try {
        error = std::string("auth_plugin: ") + cause + detail;
    } catch (...) {
        error.clear();
    }
}

// The first URL value among the first count pairs that is not a URL we take,
// as its line; empty: none. In the pairs' order, so that a wrong URL before
// another wrong value is the one named.
std::string url_error(const auth_option *opts, int count) {
    for (int i = 0; opts && i < count; ++i) {
        // An empty value is configured but unreachable: its checks refuse.
        if (!opts[i].key || !url_option(opts[i].key) || !opts[i].value || !*opts[i].value) continue;
        const std::string text = opts[i].value;
        if (parse_endpoint_url(text).valid) continue;
        // Show the URL up to the first white space, where the broker's kept
        // comment or trailing spaces usually begin, and only the length of the rest.
        const std::size_t cut = text.find_first_of(" \t");
        std::string shown = "\"" + redact_url(text.substr(0, cut)) + "\"";
        if (cut != std::string::npos) shown += " and " + std::to_string(text.size() - cut) + " more characters";
        return invalid_url(opts[i].key, shown);
    }
    return {};
}

// The socket may appear after the broker starts; the files must be readable
// now, by the user the broker runs as.
std::string file_error(const Settings &s) {
    for (auto [key, path] : {std::pair{"http_cafile", &s.http_cafile}, std::pair{"http_certfile", &s.http_certfile},
                             std::pair{"http_keyfile", &s.http_keyfile}}) {
        if (path->empty() || access(path->c_str(), R_OK) == 0) continue;
        return std::string("auth_plugin: cannot read ") + key + " \"" + *path + "\": " + std::strerror(errno);
    }
    return {};
}

// libcurl before 8 (Debian 12 has 7.88.1) fails every exchange after the
// first on a clear-text HTTP/2 connection (CURLE_HTTP2): over TLS only there.
bool clear_text_http2(const Settings &s) {
    if (s.http_version != 2 || curl_version_info(CURLVERSION_NOW)->version_num >= 0x080000) return false;
    const auto clear = [](const std::optional<std::string> &url) {
        return url && strncasecmp(url->c_str(), "https:", 6) != 0;
    };
    return !s.http_unix_socket.empty() || clear(s.http_user_uri) || clear(s.http_acl_uri);
}

using Plans = std::optional<RequestPlan>[2];  // login, access

// Each asked question's plan, built once, with placeholders known and
// fillable by the questions this library asks; a template of a question never
// asked is read all the same: a mistake there is one all the same. The first
// problem as one line; empty: none.
std::string plan_error(const Settings &s, Interface which, Plans &plans) {
    using Kind = RequestPlan::Kind;
    try {
        for (const auto kind : {Kind::login, Kind::access}) {
            const bool login = kind == Kind::login;
            if (!(login ? s.http_user_uri : s.http_acl_uri)) continue;  // never asked
            if (std::string line = template_error(plans[login ? 0 : 1].emplace(s, kind), kind, which); !line.empty())
                return line;
        }
        if (!s.http_user_uri && s.http_user_body) plans[0].emplace(s, Kind::login);
        if (!s.http_acl_uri && s.http_acl_body) plans[1].emplace(s, Kind::access);
    } catch (const std::invalid_argument &e) {
        return e.what();
    } catch (...) {
        return "auth_plugin: out of memory while reading the templates";
    }
    return {};
}

// The secret's bytes, wiped when they go.
struct Secret {
    std::string bytes;
    ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// Signed tokens: the claims' verifier (its placeholders fillable behind this
// library) and http_jwt_secret_file's keys, read now. The first problem as
// one line naming the option (and the file, never its bytes); empty: none.
std::string token_error(const Settings &s, Interface which, Configuration &c) {
    if (!s.tokens()) return {};
    try {
        c.token_verifier = std::make_shared<const TokenVerifier>(s.http_jwt_claims.value_or(""),
                                                                 std::chrono::seconds(s.http_jwt_leeway_s));
    } catch (const std::invalid_argument &e) {
        return e.what();
    }
    if (std::string line = unfillable(c.token_verifier->uses(), RequestPlan::Kind::login, which, " in http_jwt_claims");
        !line.empty())
        return line;
    if (s.http_jwt_secret_file.empty()) return {};
    const std::string shown = "auth_plugin: http_jwt_secret_file \"" + s.http_jwt_secret_file + "\"";
    std::ifstream file(s.http_jwt_secret_file, std::ios::binary);
    Secret secret;
    if (file) secret.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file && !file.eof()) return shown + " cannot be read: " + std::strerror(errno);
    // A file written by an editor or echo ends with a line end that is no part of the secret.
    while (!secret.bytes.empty() && (secret.bytes.back() == '\n' || secret.bytes.back() == '\r'))
        secret.bytes.pop_back();
    std::string why;
    c.token_secret = TokenKeys::from_secret(secret.bytes, why);
    if (!c.token_secret) return shown + ": " + (why.empty() ? "not a usable secret" : why);
    return {};
}

// What the description shows that the option table cannot work out alone.
Shown shown_of(const Settings &s) {
    Shown shown;
    for (auto [url, as] : {std::pair{&s.http_user_uri, &shown.user_uri}, std::pair{&s.http_acl_uri, &shown.acl_uri},
                           std::pair{&s.http_jwt_jwks_uri, &shown.jwks_uri}})
        if (*url && !(*url)->empty()) *as = redact_url(**url);
    shown.default_cache_bytes = DecisionCache::default_budget(static_cast<std::size_t>(s.http_cache_entries));
    return shown;
}

}  // namespace

bool configure(const auth_option *opts, int count, Interface which, std::optional<Configuration> &out,
               std::string &error) {
    Settings s;
    int failed_at = count;
    const bool read = read_settings(opts, count, s, error, which, &failed_at);
    if (std::string line = url_error(opts, read ? count : failed_at); !line.empty()) {
        error = std::move(line);
        return false;
    }
    if (!read) return false;
    for (const auto &problem : {&file_error, &broken_rule}) {
        if (std::string line = problem(s); !line.empty()) {
            error = std::move(line);
            return false;
        }
    }
    if (clear_text_http2(s)) {
        error = "auth_plugin: http_version 2 needs https:// endpoints with this libcurl (older than 8.0): it fails "
                "every exchange after the first on a clear-text HTTP/2 connection";
        return false;
    }
    Plans plans;
    if (std::string line = plan_error(s, which, plans); !line.empty()) {
        error = std::move(line);
        return false;
    }
    // A question never asked, without a template of its own, still has a
    // plan; a mistake there (in a header) is thrown, and start_up names it.
    if (!plans[0]) plans[0].emplace(s, RequestPlan::Kind::login);
    if (!plans[1]) plans[1].emplace(s, RequestPlan::Kind::access);
    Configuration c{Settings(), std::move(*plans[0]), std::move(*plans[1]), nullptr, nullptr, which};
    if (std::string line = token_error(s, which, c); !line.empty()) {
        error = std::move(line);
        return false;
    }
    c.settings = std::move(s);
    out.emplace(std::move(c));
    return true;
}

Configuration configuration_of(Settings settings, Interface which) {
    RequestPlan login(settings, RequestPlan::Kind::login), access(settings, RequestPlan::Kind::access);
    Configuration c{Settings(), std::move(login), std::move(access), nullptr, nullptr, which};
    if (std::string line = token_error(settings, which, c); !line.empty()) throw std::invalid_argument(line);
    c.settings = std::move(settings);
    return c;
}

bool start_up(const auth_option *opts, int count, Interface which, const std::function<void(Configuration)> &build,
              const std::function<std::vector<std::string>()> &describe, StartUp &out) noexcept {
    try {
        std::optional<Configuration> configured;
        if (!configure(opts, count, which, configured, out.error)) return false;
        out.lines = describe_settings(configured->settings, which, shown_of(configured->settings));
        build(std::move(*configured));
        if (describe)
            for (auto &line : describe()) out.lines.push_back(std::move(line));
        return true;
    } catch (const CurlGlobal::Unavailable &) {
        name(out.error, "libcurl could not be initialised");
    } catch (const std::bad_alloc &) {
        name(out.error, "out of memory while starting");
    } catch (const std::system_error &e) {
        name(out.error, "could not start a thread: ", e.what());
    } catch (const std::exception &e) {
        name(out.error, "could not start: ", e.what());
    } catch (...) {
        name(out.error, "could not start");
    }
    out.lines.clear();  // nothing started to describe
    return false;
}

void log_start_up_error(const std::string &error) noexcept {
    log_line(LogLevel::error, error.empty() ? "auth_plugin: out of memory while starting" : error.c_str());
}

void log_start_up(const std::vector<std::string> &lines) noexcept {
    for (std::size_t i = 0; i < lines.size(); ++i)
        log_line(i == 0 ? LogLevel::notice : LogLevel::warning, lines[i]);
}

void log_reload(const std::vector<std::string> &lines) noexcept {
    log_start_up(lines);
    log_line(LogLevel::notice, "auth_plugin: reloaded: kept decisions are asked again; the plug-in's own options "
                               "apply at a restart (the broker does not hand them over at a reload)");
}
