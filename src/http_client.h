// One HTTP exchange: a request (a form POSTed, or one built from templates)
// sent to an endpoint, and what came back; and the one percent-encoder that
// both kinds of request use.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "answer.h"
#include "settings.h"

struct Field {
    const char *name;
    const char *value;
};
// The extra fields a question may carry (http_login_fields, http_acl_fields),
// and so the longest form: four fields of a check and the extra ones.
constexpr std::size_t max_extra_fields = 4;
constexpr std::size_t max_fields = 4 + max_extra_fields;

struct HeapFree {
    void operator()(char *p) const noexcept { std::free(p); }
};
using Buffer = std::unique_ptr<char, HeapFree>;

struct SlistFree {
    void operator()(curl_slist *l) const noexcept { curl_slist_free_all(l); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;
// Appends a copy of line; false (the list unchanged) when there is no memory.
bool append_header(HeaderList &list, const char *line) noexcept;

struct CurlFree {
    void operator()(char *s) const noexcept { curl_free(s); }
};
using Escaped = std::unique_ptr<char, CurlFree>;
// value percent-encoded by libcurl: all but A-Z a-z 0-9 - . _ ~ as %XX, in
// upper case. The one encoder, of the form body and of the templates' URLs
// and query strings. Null when there is no memory (or past libcurl's bound
// of 24 MB encoded, which no value here comes near: a broker's strings stop
// at 64 KiB).
Escaped percent_encoded(std::string_view value) noexcept;

// One request as it is sent: today's form POST, or one built from templates
// (request_template.h).
struct Request {
    const std::string *fixed_url = nullptr;  // the settings' own, when nothing is added to it
    std::string built_url;                   // otherwise
    bool get = false;                        // no body: the parameters are in the URL's query
    bool json = false;                       // the body is application/json
    Buffer body;                             // NUL-terminated; null for a get
    std::size_t length = 0;
    HeaderList headers;       // null: the client's own list
    std::string header_text;  // those headers' lines, for the decision cache's key
    const std::string &url_text() const noexcept { return fixed_url ? *fixed_url : built_url; }
    const char *url() const noexcept { return url_text().c_str(); }
    std::size_t bytes() const noexcept {
        return (fixed_url ? fixed_url->size() : built_url.size()) + length + header_text.size();
    }
};

// The form body: each value escaped, "name=value" pairs joined by '&', in
// one buffer of exactly its size, NUL included. Null if anything failed.
// count is at most max_fields.
Buffer form_body(const Field *fields, std::size_t count, std::size_t &length) noexcept;


class HttpClient {
public:
    // Throws std::bad_alloc when the extra headers cannot be listed.
    explicit HttpClient(const Settings &settings);
    ~HttpClient();  // closes every kept connection; no exchange may be running
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    // Sends the request; attempted is false when no transfer could be started.
    // With keep_body, the answer's body is kept too (Answer::body), within
    // Body::limit; otherwise it is dropped.
    Answer send(const Request &request, bool keep_body = false) noexcept;

    bool keepalive() const noexcept { return keepalive_; }
    // HTTP/2 was asked for: exchanges run at once share its connections.
    bool multiplexed() const noexcept { return version_ == 2; }
    // Where every exchange goes instead of the URL's host, when set.
    const std::string &unix_socket() const noexcept { return unix_socket_; }
    // Sets a handle up to send the request, its answer read into answer
    // (both must outlive the transfer); false when an option did not take.
    // keep_body as for send().
    bool prepare(CURL *handle, const Request &request, Answer &answer, bool keep_body = false) const noexcept;
    // Reads a finished transfer's result into its answer.
    static void conclude(CURL *handle, CURLcode result, Answer &answer) noexcept;
    // Sets a finished handle up to ask once more where its answer allows
    // (Answer::ask_again), on a fresh connection, ending by ends (when its
    // first attempt's time ran out: never more time); its answer starts
    // over. False, the answer as it was, when not allowed, no time is left
    // or an option did not take.
    bool prepare_again(CURL *handle, const Request &request, Answer &answer,
                       std::chrono::steady_clock::time_point ends, bool keep_body = false) const noexcept;
    long timeout_ms() const noexcept { return timeout_ms_; }

private:
    CURL *take() noexcept;
    void give_back(CURL *handle) noexcept;
    struct GiveBack {
        HttpClient *client;
        void operator()(CURL *h) const noexcept { client->give_back(h); }
    };

    // What every exchange is set up with, copied from the settings.
    const long timeout_ms_;
    const bool keepalive_;
    const long version_;  // Settings::http_version
    const std::string cafile_, certfile_, keyfile_, unix_socket_;
    HeaderList headers_;
    HeaderList json_headers_;  // the same, and the JSON body's Content-Type
    const bool no_content_grants_;  // http_answers json: a 204 grants
    // Connection reuse (http_keepalive): a finished exchange's handle waits
    // here with its open connection instead of being cleaned up. A handle,
    // and so its connections, belongs to one exchange at a time.
    static constexpr int max_idle = 8;
    std::mutex lock_;
    CURL *idle_[max_idle] = {};
    int idle_count_ = 0;
};
