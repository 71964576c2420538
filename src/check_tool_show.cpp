// --show-request: the request a question sends, built by the plug-in's own
// code (src/questions.*, src/checker.*) from settings whose secrets are
// masked, with a stand-in for the password that is then shown as ***.
#include "check_tool_show.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <sstream>
#include <string>

#include "checker.h"
#include "questions.h"
#include "startup.h"
#include "token_verifier.h"

namespace check_tool {

namespace {

// What a shown request must not reveal: each fixed header value, and each
// fixed query value and user information of the URLs, become ***.
std::string masked_url(std::string url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const std::size_t authority_end = std::min(url.find_first_of("/?#", scheme + 3), url.size());
    if (const std::size_t at = url.rfind('@', authority_end); at != std::string::npos && at > scheme)
        url = url.substr(0, scheme + 3) + "***" + url.substr(at);
    const std::size_t query = url.find('?');
    if (query == std::string::npos) return url;
    const std::size_t end = std::min(url.find('#', query), url.size());
    std::string out = url.substr(0, query + 1);
    for (std::size_t at = query + 1; at < end;) {
        const std::size_t stop = std::min(url.find('&', at), end);
        const std::string part = url.substr(at, stop - at);
        const std::size_t eq = part.find('=');
        if (part.find("${") != std::string::npos) out += part;
        else out += eq == std::string::npos ? "***" : part.substr(0, eq + 1) + "***";
        if (stop < end) out += '&';
        at = stop + 1;
    }
    return out + url.substr(end);
}

Settings masked(Settings s) {
    for (auto &line : s.http_header)
        if (line.find("${") == std::string::npos) line = line.substr(0, line.find(':')) + ": ***";
    for (auto *url : {&s.http_user_uri, &s.http_acl_uri})
        if (*url) **url = masked_url(**url);
    return s;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

void show_request(const Settings &settings, bool v5, const Args &args, bool login) {
    static const std::string stand_in = "PasswordShownAsStars7q", user_stand_in = "TokenUserShownAsStars4m";
    const char *pw = args.password ? stand_in.c_str() : nullptr;
    FlagClient client = args.client;
    // A user name that carries a token (http_jwt_from username) is as secret
    // as a password: the access endpoint still gets it, the screen does not.
    if (settings.http_jwt_from_username && client.user && TokenVerifier::shaped_as_token(client.user))
        client.user = user_stand_in.c_str();
    Request r;
    bool built = false;
    try {
        const Settings shown_settings = masked(settings);
        // The masked templates: its own plans.
        const Checker shown(configuration_of(shown_settings, v5 ? Interface::v5 : Interface::v2));
        if (login && v5)
            built = shown.login_request(LoginAsked(shown, client, client.user, pw).question(), r);
        else if (login)
            built = shown.login_request({client.user, pw}, r);
        else if (v5)
            built = access_request(shown, client, args.topic, args.access, args.message(), pw, r);
        else
            built = shown.access_request({client.id, client.user, args.topic, args.access}, r);
        if (!built) {
            std::printf("request: none would be sent (%s)\n",
                        (login ? shown_settings.http_user_uri : shown_settings.http_acl_uri)
                            ? "a value it needs is missing or cannot be written there: a control character, "
                              "a path segment left empty, \".\" or \"..\", a header value empty or with blanks "
                              "around it; or it is too large"
                            : "no endpoint is configured for it");
            return;
        }
        std::string url = r.url(), body = r.body ? std::string(r.body.get(), r.length) : "", headers;
        if (r.headers) {
            headers = r.header_text;
        } else {
            for (const auto &line : shown_settings.http_header) headers += line + "\n";
            if (!r.get) headers += r.json ? "Content-Type: application/json\n" : "Content-Type: application/x-www-form-urlencoded\n";
        }
        for (auto *text : {&url, &body, &headers}) {
            replace_all(*text, stand_in, "***");
            replace_all(*text, user_stand_in, "***");
        }
        std::printf("request: %s %s\n", r.get ? "GET" : "POST", url.c_str());
        std::istringstream lines(headers);
        for (std::string line; std::getline(lines, line);) std::printf("  %s\n", line.c_str());
        if (!r.get) std::printf("  body: %s\n", body.c_str());
    } catch (const std::exception &e) {
        std::printf("request: cannot be shown: %s\n", e.what());
    }
}

}  // namespace check_tool
