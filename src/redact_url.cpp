#include "redact_url.h"

#include <curl/curl.h>

#include <memory>

namespace {

struct UrlFree {
    void operator()(CURLU *u) const noexcept { curl_url_cleanup(u); }
};
struct CurlStringFree {
    void operator()(char *s) const noexcept { curl_free(s); }
};

std::string part(CURLU *url, CURLUPart which) {
    char *raw = nullptr;
    if (curl_url_get(url, which, &raw, 0) != CURLUE_OK) return "";
    std::unique_ptr<char, CurlStringFree> text(raw);
    return text ? text.get() : "";
}

}  // namespace

std::string redact_url(const std::string &value) {
    const char *const not_url = "(not a URL; value not shown)";
    std::unique_ptr<CURLU, UrlFree> url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, value.c_str(), 0) != CURLUE_OK) return not_url;
    // A password holding '/', '?' or '#' ends the authority early, and the
    // rest of it would be read as host, port or path: an '@' after the
    // authority means we cannot tell which part is secret.
    const std::size_t scheme_end = value.find("://");
    const std::size_t authority_end =
        scheme_end == std::string::npos ? std::string::npos : value.find_first_of("/?#", scheme_end + 3);
    if (authority_end != std::string::npos && value.find('@', authority_end) != std::string::npos)
        return "(a URL with an '@' after its host; value not shown)";
    std::string shown = part(url.get(), CURLUPART_SCHEME) + "://" + part(url.get(), CURLUPART_HOST);
    const std::string port = part(url.get(), CURLUPART_PORT);
    if (!port.empty()) shown += ":" + port;
    return shown + part(url.get(), CURLUPART_PATH);
}
