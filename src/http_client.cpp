#include "http_client.h"

#include <array>
#include <cctype>
#include <cstring>
#include <new>

namespace {

struct CurlFree {
    void operator()(char *s) const noexcept { curl_free(s); }
};
using Escaped = std::unique_ptr<char, CurlFree>;

// The endpoint's answer is untrusted and nobody reads it: drop it rather than
// let it reach the broker's standard output.
size_t discard(char *, size_t size, size_t nmemb, void *) noexcept { return size * nmemb; }

bool iequal_prefix(const char *text, std::size_t n, const char *prefix) {
    const std::size_t len = std::strlen(prefix);
    if (n < len) return false;
    for (std::size_t i = 0; i < len; ++i)
        if (static_cast<char>(std::tolower(static_cast<unsigned char>(text[i]))) != prefix[i]) return false;
    return true;
}

// One Cache-Control header line's directives, folded into the answer.
void read_cache_control(const char *text, std::size_t n, Answer &a) {
    std::size_t i = 0;
    while (i < n) {
        while (i < n && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
        std::size_t end = i;
        while (end < n && text[end] != ',' && text[end] != '\r' && text[end] != '\n') ++end;
        std::size_t stop = end;
        while (stop > i && (text[stop - 1] == ' ' || text[stop - 1] == '\t')) --stop;
        const char *d = text + i;
        const std::size_t len = stop - i;
        if ((len == 8 && iequal_prefix(d, len, "no-store")) || (len == 8 && iequal_prefix(d, len, "no-cache"))) {
            a.no_store = true;
        } else if (iequal_prefix(d, len, "max-age=")) {
            long seconds = 0;
            bool digits = len > 8;
            for (std::size_t k = 8; k < len && digits; ++k) {
                if (d[k] < '0' || d[k] > '9') digits = false;
                else if (seconds < 100000000) seconds = seconds * 10 + (d[k] - '0');
            }
            if (!digits || seconds == 0) a.no_store = true;  // what we cannot read, we do not keep
            else if (a.max_age_s < 0 || seconds < a.max_age_s) a.max_age_s = seconds;
        }
        i = end;
        while (i < n && text[i] != ',') ++i;
    }
}

// libcurl reports a response cut off inside its header block as complete, so
// we watch for the blank line that ends the final header block; we also read
// Cache-Control there, since the body is never read.
size_t watch_headers(char *line, size_t size, size_t nmemb, void *data) noexcept {
    const size_t n = size * nmemb;
    Answer &a = *static_cast<Answer *>(data);
    if (n >= 5 && std::memcmp(line, "HTTP/", 5) == 0) {  // a new block (after a 1xx)
        a.complete = false;
        a.no_store = false;
        a.max_age_s = -1;
    } else if ((n == 2 && line[0] == '\r' && line[1] == '\n') || (n == 1 && line[0] == '\n')) {
        a.complete = true;
    } else if (iequal_prefix(line, n, "cache-control:")) {
        read_cache_control(line + 14, n - 14, a);
    }
    return n;
}

}  // namespace

Buffer form_body(const Field *fields, std::size_t count, std::size_t &length) noexcept {
    if (count > max_fields) return nullptr;
    std::array<Escaped, max_fields> escaped;
    std::array<std::size_t, max_fields> name_len{}, value_len{};
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) {
        // libcurl ignores the handle argument of its escape function.
        escaped[i].reset(curl_easy_escape(nullptr, fields[i].value, 0));
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
    for (std::size_t i = 0; i < count; ++i) {
        if ((i > 0 && !append("&", 1)) || !append(fields[i].name, name_len[i]) || !append("=", 1) ||
            !append(escaped[i].get(), value_len[i]))
            return nullptr;
    }
    length = static_cast<std::size_t>(end - body.get());
    return body;
}

HttpClient::HttpClient(const Settings &settings) : settings_(settings) {
    for (const auto &line : settings_.http_header) {
        curl_slist *grown = curl_slist_append(headers_.get(), line.c_str());
        if (!grown) throw std::bad_alloc();
        (void)headers_.release();  // the list now lives on in grown
        headers_.reset(grown);
    }
}

HttpClient::~HttpClient() {
    while (idle_count_ > 0) curl_easy_cleanup(idle_[--idle_count_]);
}

CURL *HttpClient::take() noexcept {
    if (settings_.http_keepalive) {
        std::lock_guard<std::mutex> guard(lock_);
        if (idle_count_ > 0) return idle_[--idle_count_];
    }
    return curl_easy_init();
}

void HttpClient::give_back(CURL *h) noexcept {
    if (settings_.http_keepalive) {
        // Forget this exchange's options (its body and answer are about to
        // go); the connection stays open.
        curl_easy_reset(h);
        std::lock_guard<std::mutex> guard(lock_);
        if (idle_count_ < max_idle) {
            idle_[idle_count_++] = h;
            return;
        }
    }
    curl_easy_cleanup(h);
}

Answer HttpClient::post(const char *url, const char *body, std::size_t length) noexcept {
    Answer answer;
    std::unique_ptr<CURL, GiveBack> curl(take(), GiveBack{this});
    if (!curl) return answer;
    CURL *h = curl.get();
    auto set_path = [h](CURLoption option, const std::string &path) {
        return path.empty() || curl_easy_setopt(h, option, path.c_str()) == CURLE_OK;
    };
    // An option that did not take could leave the request unbounded or not
    // the one meant, so it refuses like any other failure.
    bool ready = curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_URL, url) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_POSTFIELDS, body) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(length)) == CURLE_OK &&
                 // Signals are the broker's; without this libcurl may use SIGALRM for time-outs.
                 curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, settings_.http_timeout_ms) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, watch_headers) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_HEADERDATA, &answer) == CURLE_OK &&
                 // Verification is libcurl's default; set anyway, as nothing may turn it off.
                 curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
                 curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
                 (!headers_ || curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get()) == CURLE_OK) &&
                 set_path(CURLOPT_CAINFO, settings_.http_cafile) &&
                 set_path(CURLOPT_SSLCERT, settings_.http_certfile) &&
                 set_path(CURLOPT_SSLKEY, settings_.http_keyfile) &&
                 set_path(CURLOPT_UNIX_SOCKET_PATH, settings_.http_unix_socket);
    if (!ready) return answer;

    answer.sent = true;
    answer.transfer = curl_easy_perform(h);
    if (answer.transfer == CURLE_OK && curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &answer.status) != CURLE_OK)
        answer.status = 0;
    return answer;
}
