// What one exchange came to, and the one classification of it that every
// part of the plug-in reads.
#pragma once

#include <curl/curl.h>

#include <cstddef>

// From nothing learnt to a decision.
enum class Outcome {
    not_sent,   // failed before any request: says nothing of the endpoint
    no_answer,  // no complete HTTP answer: refused, time-out, cut off
    undecided,  // an HTTP answer that is no decision (5xx, 408, 429, 3xx, other 2xx): refused
    refused,    // the endpoint's refusal (4xx)
    granted,    // exactly 200
};

inline bool answered(Outcome o) noexcept { return o >= Outcome::undecided; }
inline bool decided(Outcome o) noexcept { return o >= Outcome::refused; }

struct Answer {
    bool attempted = false;                 // a transfer was started
    CURLcode transfer = CURLE_FAILED_INIT;  // its result
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

    Outcome outcome() const noexcept;
    // Why an attempted exchange got no answer, for messages; null when it got one.
    const char *failure() const noexcept;
};

// Folds one response header line, as libcurl hands it over (untrusted
// bytes, CRLF included), into the answer.
void read_header_line(Answer &answer, const char *line, std::size_t n) noexcept;
