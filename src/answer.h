// What one exchange came to, and the one classification of it that every
// part of the plug-in reads.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// From nothing learnt to a decision.
enum class Outcome {
    not_sent,   // failed before any request: says nothing of the endpoint
    no_answer,  // no complete HTTP answer: refused, time-out, cut off
    undecided,  // an HTTP answer that is no decision (5xx, 408, 429, 3xx, other 2xx): refused
    refused,    // the endpoint's refusal (4xx)
    granted,    // exactly 200; with http_answers json, 204 too (a 200's body then decides)
};

inline bool answered(Outcome o) noexcept { return o >= Outcome::undecided; }
inline bool decided(Outcome o) noexcept { return o >= Outcome::refused; }

// A response body, kept only for an exchange that asked for it (a login
// whose answer may carry rules). Bounded: what goes past the limit is not
// kept, and the reader refuses it.
struct Body {
    static constexpr std::size_t limit = 64 * 1024;
    std::string bytes;       // at most limit
    bool too_large = false;  // more than limit came: bytes dropped
    bool lost = false;       // could not be kept (out of memory): bytes dropped
};

struct Answer {
    bool attempted = false;                 // a transfer was started
    bool no_content_grants = false;         // http_answers json: 204 grants
    // Not started: too little time was left for the endpoint to answer in.
    bool late = false;
    CURLcode transfer = CURLE_FAILED_INIT;  // its result
    bool bytes_came = false;                // a failed transfer got some of an answer (headers or body)
    bool asked_again = false;               // this is the one second attempt (ask_again())
    bool headers_ended = false;             // the final header block ended
    long status = 0;
    // Cache-Control said no-store, no-cache or max-age=0, or could not be read.
    bool reuse_forbidden = false;
    long max_age_s = -1;  // Cache-Control: max-age, -1 when not given
    // How long past its lifetime the decision may answer while the endpoint
    // gives none: Cache-Control stale-if-error (-1 when not given), and
    // must-revalidate or proxy-revalidate, which forbid it.
    long stale_if_error_s = -1;
    bool stale_forbidden = false;
    // The final Content-Type's media type is application/json (any case,
    // parameters such as charset allowed).
    bool json = false;
    // How many Content-Type lines the final block had, and the last one's
    // media type as it may be shown (printable, cut short), for saying why
    // a body was not read.
    std::uint8_t content_types = 0;
    char media_type[41] = "";
    // Null unless the exchange asked for its body. Shared, so that copying an
    // answer (into a check's result, across threads) never allocates.
    std::shared_ptr<Body> body;

    Outcome outcome() const noexcept;
    // The endpoint cannot have processed the request, and it was not asked
    // again yet: it may be, once, on a fresh connection.
    bool ask_again() const noexcept;
    // Why an attempted exchange got no answer, for messages; null when it got one.
    const char *failure() const noexcept;
};

// Folds one response header line, as libcurl hands it over (untrusted
// bytes, CRLF included), into the answer.
void read_header_line(Answer &answer, const char *line, std::size_t n) noexcept;
// Appends a piece of the response body, as libcurl hands it over, within
// the limit; never throws (out of memory marks the body lost).
void keep_body(Body &body, const char *data, std::size_t n) noexcept;
