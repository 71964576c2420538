// One HTTP exchange: a form POSTed to an endpoint, and what came back.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "settings.h"

struct Field {
    const char *name;
    const char *value;
};
constexpr std::size_t max_fields = 4;

struct HeapFree {
    void operator()(char *p) const noexcept { std::free(p); }
};
using Buffer = std::unique_ptr<char, HeapFree>;

// The form body: each value escaped, "name=value" pairs joined by '&', in
// one buffer of exactly its size, NUL included. Null if anything failed.
Buffer form_body(const Field *fields, std::size_t count, std::size_t &length) noexcept;

// What one exchange came to.
struct Answer {
    bool sent = false;                      // a transfer was attempted
    CURLcode transfer = CURLE_FAILED_INIT;  // its result
    bool complete = false;                  // the final header block ended
    long status = 0;
    bool no_store = false;  // Cache-Control: no-store, no-cache, max-age=0 or unreadable
    long max_age_s = -1;    // Cache-Control: max-age, -1 when not given

    // Any HTTP answer, whatever its status.
    bool answered() const noexcept { return transfer == CURLE_OK && complete; }
    // The whole decision: a completed answer whose status is exactly 200.
    bool granted() const noexcept { return answered() && status == 200; }
    // Why a sent request got no answer, for messages; null when it got one.
    const char *failure() const noexcept {
        if (transfer != CURLE_OK) return curl_easy_strerror(transfer);
        return complete ? nullptr : "the answer ended inside its headers";
    }
};

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

    // Posts body to url; sent is false when no transfer could be started.
    Answer post(const char *url, const char *body, std::size_t length) noexcept;

private:
    CURL *take() noexcept;
    void give_back(CURL *handle) noexcept;
    struct GiveBack {
        HttpClient *client;
        void operator()(CURL *h) const noexcept { client->give_back(h); }
    };

    const Settings &settings_;
    std::unique_ptr<curl_slist, SlistFree> headers_;
    // Connection reuse (http_keepalive): a finished exchange's handle waits
    // here with its open connection instead of being cleaned up. A handle,
    // and so its connections, belongs to one exchange at a time.
    static constexpr int max_idle = 8;
    std::mutex lock_;
    CURL *idle_[max_idle] = {};
    int idle_count_ = 0;
};
