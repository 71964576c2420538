#include "endpoint_url.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <new>

namespace {

struct UrlFree {
    void operator()(CURLU *u) const noexcept { curl_url_cleanup(u); }
};
struct CurlStringFree {
    void operator()(char *s) const noexcept { curl_free(s); }
};

std::string part(CURLU *url, CURLUPart which, unsigned int flags = 0) {
    char *raw = nullptr;
    if (curl_url_get(url, which, &raw, flags) != CURLUE_OK) return "";
    std::unique_ptr<char, CurlStringFree> text(raw);
    return text ? text.get() : "";
}

}  // namespace

EndpointUrl parse_endpoint_url(const std::string &text) {
    EndpointUrl out;
    std::unique_ptr<CURLU, UrlFree> url(curl_url());
    if (!url) throw std::bad_alloc();
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        out.shown = out.path = "(not a URL; value not shown)";
        return out;
    }
    const std::string scheme = part(url.get(), CURLUPART_SCHEME), host = part(url.get(), CURLUPART_HOST);
    out.valid = (scheme == "http" || scheme == "https") && !host.empty();
    // A password holding '/', '?' or '#' ends the authority early, and the
    // rest of it would be read as host, port or path: an '@' after the
    // authority means we cannot tell which part is secret.
    const std::size_t scheme_end = text.find("://");
    const std::size_t authority_end =
        scheme_end == std::string::npos ? std::string::npos : text.find_first_of("/?#", scheme_end + 3);
    if (authority_end != std::string::npos && text.find('@', authority_end) != std::string::npos) {
        out.shown = out.path = "(a URL with an '@' after its host; value not shown)";
        return out;
    }
    const std::string port = part(url.get(), CURLUPART_PORT);
    out.path = part(url.get(), CURLUPART_PATH);
    out.shown = scheme + "://" + host + (port.empty() ? "" : ":" + port) + out.path;
    // Host names do not depend on case; libcurl keeps them as written.
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    out.origin = scheme + "://" + lower + ":" + part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    return out;
}
