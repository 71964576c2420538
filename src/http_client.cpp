#include "http_client.h"

#include <strings.h>

#include <array>
#include <climits>
#include <cstring>
#include <new>

namespace {

// The endpoint's answer is untrusted and, unless asked for, nobody reads it:
// drop it rather than let it reach the broker's standard output.
size_t discard(char *, size_t size, size_t nmemb, void *) noexcept { return size * nmemb; }

// A body too large or lost still lets the transfer finish: its status and
// headers decide as ever, and the reader of the body refuses it.
size_t collect(char *data, size_t size, size_t nmemb, void *body) noexcept {
    keep_body(*static_cast<Body *>(body), data, size * nmemb);
    return size * nmemb;
}

size_t watch_headers(char *line, size_t size, size_t nmemb, void *data) noexcept {
    read_header_line(*static_cast<Answer *>(data), line, size * nmemb);
    return size * nmemb;
}

}  // namespace

Escaped percent_encoded(std::string_view value) noexcept {
    // libcurl ignores the handle argument of its escape function, and reads
    // a length of 0 as "up to the NUL", which a view may not have.
    static const char nothing[] = "";
    if (value.empty()) return Escaped(curl_easy_escape(nullptr, nothing, 0));
    if (value.size() > INT_MAX) return nullptr;
    return Escaped(curl_easy_escape(nullptr, value.data(), static_cast<int>(value.size())));
}

Buffer form_body(const Field *fields, std::size_t count, std::size_t &length) noexcept {
    std::array<Escaped, max_fields> escaped;
    std::array<std::size_t, max_fields> name_len{}, value_len{};
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) {
        escaped[i] = percent_encoded(fields[i].value);
        if (!escaped[i]) return nullptr;
        name_len[i] = std::strlen(fields[i].name);
        value_len[i] = std::strlen(escaped[i].get());
        // name, '=', value, then one byte for the '&' that follows or the final NUL
        size += name_len[i] + 1 + value_len[i] + 1;
    }
    Buffer body(static_cast<char *>(std::calloc(size, 1)));
    if (!body) return nullptr;
    char *end = body.get();  // sized exactly above
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) *end++ = '&';
        std::memcpy(end, fields[i].name, name_len[i]);
        end += name_len[i];
        *end++ = '=';
        std::memcpy(end, escaped[i].get(), value_len[i]);
        end += value_len[i];
    }
    length = static_cast<std::size_t>(end - body.get());
    return body;
}

bool append_header(HeaderList &list, const char *line) noexcept {
    curl_slist *grown = curl_slist_append(list.get(), line);
    if (!grown) return false;
    (void)list.release();  // the list now lives on in grown
    list.reset(grown);
    return true;
}

HttpClient::HttpClient(const Settings &settings)
    : timeout_ms_(settings.http_timeout_ms),
      keepalive_(settings.http_keepalive),
      version_(settings.http_version),
      cafile_(settings.http_cafile),
      certfile_(settings.http_certfile),
      keyfile_(settings.http_keyfile),
      unix_socket_(settings.http_unix_socket),
      no_content_grants_(settings.http_answers_json) {
    for (const auto &line : settings.http_header)
        if (!append_header(headers_, line.c_str()) || !append_header(json_headers_, line.c_str()))
            throw std::bad_alloc();
    if (!append_header(json_headers_, "Content-Type: application/json")) throw std::bad_alloc();
}

HttpClient::~HttpClient() {
    while (idle_count_ > 0) curl_easy_cleanup(idle_[--idle_count_]);
}

CURL *HttpClient::take() noexcept {
    if (keepalive_) {
        std::lock_guard<std::mutex> guard(lock_);
        if (idle_count_ > 0) return idle_[--idle_count_];
    }
    return curl_easy_init();
}

void HttpClient::give_back(CURL *h) noexcept {
    if (keepalive_) {
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

bool HttpClient::prepare(CURL *h, const Request &request, Answer &answer, bool keep_body) const noexcept {
    answer.body.reset();
    answer.no_content_grants = no_content_grants_;
    if (keep_body) {
        try {
            answer.body = std::make_shared<Body>();
        } catch (...) {
            return false;
        }
    }
    // HTTP/2 in clear text is spoken from the first byte (no upgrade: an
    // endpoint configured for it knows); over TLS it is offered by ALPN and
    // HTTP/1.1 taken where the server declines. Unset: libcurl's default.
    long version = CURL_HTTP_VERSION_NONE;
    if (version_ == 1) version = CURL_HTTP_VERSION_1_1;
    if (version_ == 2)
        version = strncasecmp(request.url(), "https:", 6) == 0 ? CURL_HTTP_VERSION_2TLS
                                                                : CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE;
    auto set_path = [h](CURLoption option, const std::string &path) {
        return path.empty() || curl_easy_setopt(h, option, path.c_str()) == CURLE_OK;
    };
    // An option that did not take could leave the request unbounded or not
    // the one meant, so it refuses like any other failure.
    const curl_slist *headers = request.headers ? request.headers.get()
                                : request.json  ? json_headers_.get()
                                                : headers_.get();
    const bool method_set =
        request.get ? curl_easy_setopt(h, CURLOPT_HTTPGET, 1L) == CURLE_OK
                    : curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
                          curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.get()) == CURLE_OK &&
                          curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.length)) == CURLE_OK;
    return method_set && curl_easy_setopt(h, CURLOPT_URL, request.url()) == CURLE_OK &&
           // The path is sent as it was built (and as the check tool shows
           // it): libcurl would otherwise resolve "/a/../b" to "/b" itself.
           curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L) == CURLE_OK &&
           (version == CURL_HTTP_VERSION_NONE || curl_easy_setopt(h, CURLOPT_HTTP_VERSION, version) == CURLE_OK) &&
           // Signals are the broker's; without this libcurl may use SIGALRM for time-outs.
           curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms_) == CURLE_OK &&
           (keep_body ? curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect) == CURLE_OK &&
                            curl_easy_setopt(h, CURLOPT_WRITEDATA, answer.body.get()) == CURLE_OK
                      : curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard) == CURLE_OK) &&
           curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, watch_headers) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_HEADERDATA, &answer) == CURLE_OK &&
           // Verification is libcurl's default; set anyway, as nothing may turn it off.
           curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
           curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
           (!headers || curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers) == CURLE_OK) &&
           set_path(CURLOPT_CAINFO, cafile_) && set_path(CURLOPT_SSLCERT, certfile_) &&
           set_path(CURLOPT_SSLKEY, keyfile_) && set_path(CURLOPT_UNIX_SOCKET_PATH, unix_socket_);
}

void HttpClient::conclude(CURL *h, CURLcode result, Answer &answer) noexcept {
    answer.transfer = result;
    if (result == CURLE_OK && curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &answer.status) != CURLE_OK)
        answer.status = 0;
    if (result != CURLE_OK) {
        // Unknown counts as bytes come: then it is never asked again.
        long header = 1;
        curl_off_t body = 1;
        answer.bytes_came = curl_easy_getinfo(h, CURLINFO_HEADER_SIZE, &header) != CURLE_OK ||
                            curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &body) != CURLE_OK || header > 0 ||
                            body > 0;
    }
}

bool HttpClient::prepare_again(CURL *h, const Request &request, Answer &answer,
                               std::chrono::steady_clock::time_point ends, bool keep_body) const noexcept {
    if (!answer.ask_again()) return false;
    const long left_ms = static_cast<long>(
        std::chrono::floor<std::chrono::milliseconds>(ends - std::chrono::steady_clock::now()).count());
    if (left_ms <= 0) return false;
    const Answer first = answer;
    answer = Answer{};
    answer.asked_again = true;
    if (prepare(h, request, answer, keep_body) && curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, left_ms) == CURLE_OK) {
        answer.attempted = true;
        return true;
    }
    answer = first;
    return false;
}

Answer HttpClient::send(const Request &request, bool keep_body) noexcept {
    const auto ends = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
    Answer answer;
    std::unique_ptr<CURL, GiveBack> curl(take(), GiveBack{this});
    if (!curl || !prepare(curl.get(), request, answer, keep_body)) return answer;
    answer.attempted = true;
    conclude(curl.get(), curl_easy_perform(curl.get()), answer);
    if (prepare_again(curl.get(), request, answer, ends, keep_body))
        conclude(curl.get(), curl_easy_perform(curl.get()), answer);
    return answer;
}
