// One HTTP exchange: a form POSTed to an endpoint, and what came back.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
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

// The form body: each value escaped, "name=value" pairs joined by '&', in
// one buffer of exactly its size, NUL included. Null if anything failed.
// count is at most max_fields.
Buffer form_body(const Field *fields, std::size_t count, std::size_t &length) noexcept;

struct SlistFree {
    void operator()(curl_slist *l) const noexcept { curl_slist_free_all(l); }
};

class HttpClient {
public:
    // Throws std::bad_alloc when the extra headers cannot be listed.
    explicit HttpClient(const Settings &settings);
    ~HttpClient();  // closes every kept connection; no exchange may be running
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    // Posts body to url; attempted is false when no transfer could be started.
    // With keep_body, the answer's body is kept too (Answer::body), within
    // Body::limit; otherwise it is dropped.
    Answer post(const char *url, const char *body, std::size_t length, bool keep_body = false) noexcept;

    bool keepalive() const noexcept { return keepalive_; }
    // Where every exchange goes instead of the URL's host, when set.
    const std::string &unix_socket() const noexcept { return unix_socket_; }
    // Sets a handle up to post body to url, its answer read into answer
    // (both must outlive the transfer); false when an option did not take.
    // keep_body as for post().
    bool prepare(CURL *handle, const char *url, const char *body, std::size_t length, Answer &answer,
                 bool keep_body = false) const noexcept;
    // Reads a finished transfer's result into its answer.
    static void conclude(CURL *handle, CURLcode result, Answer &answer) noexcept;

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
    const std::string cafile_, certfile_, keyfile_, unix_socket_;
    std::unique_ptr<curl_slist, SlistFree> headers_;
    // Connection reuse (http_keepalive): a finished exchange's handle waits
    // here with its open connection instead of being cleaned up. A handle,
    // and so its connections, belongs to one exchange at a time.
    static constexpr int max_idle = 8;
    std::mutex lock_;
    CURL *idle_[max_idle] = {};
    int idle_count_ = 0;
};
