#include "answer.h"

#include <cctype>
#include <cstring>

Outcome Answer::outcome() const noexcept {
    if (!attempted) return Outcome::not_sent;
    if (transfer != CURLE_OK || !headers_ended) return Outcome::no_answer;
    if (status == 200 || (status == 204 && no_content_grants)) return Outcome::granted;
    // Time-out and rate limit answers are about load, not about the question.
    if (status >= 400 && status < 500 && status != 408 && status != 429) return Outcome::refused;
    return Outcome::undecided;
}

// A server that sends GOAWAY has processed no stream above the last one it
// names, and one that refuses a stream has not processed it (RFC 9113 §6.8,
// §8.7): either may be asked again elsewhere. libcurl 7.88 asks again itself
// after REFUSED_STREAM, and on a reused connection that ended before any
// byte of an answer; a stream that a GOAWAY naming an earlier one closed (or
// kept from starting), on a connection left with nothing else to do, it ends
// as a framing error, CURLE_HTTP2: the case taken here, with no byte of an
// answer. Anything else may have been processed and is not asked again: a
// reset stream (CURLE_HTTP2_STREAM), a connection closed after the request
// went out, GOAWAY or not (CURLE_PARTIAL_FILE, _RECV_ERROR, _GOT_NOTHING,
// _SEND_ERROR), a time-out, any byte of an answer.
bool Answer::ask_again() const noexcept {
    return attempted && !asked_again && transfer == CURLE_HTTP2 && !bytes_came;
}

const char *Answer::failure() const noexcept {
    if (transfer != CURLE_OK) return curl_easy_strerror(transfer);
    return headers_ended ? nullptr : "the answer ended inside its headers";
}

namespace {

bool iequal_prefix(const char *text, std::size_t n, const char *prefix) {
    const std::size_t len = std::strlen(prefix);
    if (n < len) return false;
    for (std::size_t i = 0; i < len; ++i)
        if (static_cast<char>(std::tolower(static_cast<unsigned char>(text[i]))) != prefix[i]) return false;
    return true;
}

// The seconds after "name=", capped; false when they are not plain digits.
bool read_seconds(const char *d, std::size_t len, std::size_t from, long &seconds) {
    if (len <= from) return false;
    seconds = 0;
    for (std::size_t k = from; k < len; ++k) {
        if (d[k] < '0' || d[k] > '9') return false;
        if (seconds < 100000000) seconds = seconds * 10 + (d[k] - '0');
    }
    return true;
}

// The smaller of two bounds, -1 meaning none yet.
void keep_smaller_bound(long &bound, long seconds) {
    if (bound < 0 || seconds < bound) bound = seconds;
}

bool is(const char *d, std::size_t len, const char *name) {
    return len == std::strlen(name) && iequal_prefix(d, len, name);
}

bool space(char c) { return c == ' ' || c == '\t'; }

// A Content-Type value: only its media type counts.
bool is_json(const char *text, std::size_t n) {
    std::size_t i = 0;
    while (i < n && space(text[i])) ++i;
    static const char type[] = "application/json";
    const std::size_t len = sizeof type - 1;
    if (!iequal_prefix(text + i, n - i, type)) return false;
    i += len;
    while (i < n && space(text[i])) ++i;
    return i == n || text[i] == ';' || text[i] == '\r' || text[i] == '\n';
}

// The media type alone, as it may go into a log line: untrusted bytes, so
// only printable ones, and no more than fits.
void show_media_type(const char *text, std::size_t n, char (&out)[41]) {
    std::size_t i = 0, k = 0;
    while (i < n && space(text[i])) ++i;
    for (; i < n && k + 1 < sizeof out && text[i] != ';' && text[i] != '\r' && text[i] != '\n'; ++i)
        out[k++] = text[i] > ' ' && text[i] < 127 && text[i] != '"' ? text[i] : '?';
    out[k] = '\0';
}

// One Cache-Control header line's directives, folded into the answer. What we
// cannot read, we do not keep.
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
        long seconds = 0;
        if (is(d, len, "no-store") || is(d, len, "no-cache")) {
            a.reuse_forbidden = true;
        } else if (is(d, len, "must-revalidate") || is(d, len, "proxy-revalidate")) {
            a.stale_forbidden = true;
        } else if (iequal_prefix(d, len, "max-age=")) {
            if (!read_seconds(d, len, 8, seconds) || seconds == 0) a.reuse_forbidden = true;
            else keep_smaller_bound(a.max_age_s, seconds);
        } else if (iequal_prefix(d, len, "stale-if-error=")) {
            if (!read_seconds(d, len, 15, seconds)) a.reuse_forbidden = true;
            else keep_smaller_bound(a.stale_if_error_s, seconds);
        }
        i = end;
        while (i < n && text[i] != ',') ++i;
    }
}

}  // namespace

// libcurl reports a response cut off inside its header block as complete, so
// we watch for the blank line that ends the final header block; we also read
// Cache-Control and Content-Type there.
void read_header_line(Answer &a, const char *line, std::size_t n) noexcept {
    if (n >= 5 && std::memcmp(line, "HTTP/", 5) == 0) {  // a new block (after a 1xx)
        a.headers_ended = false;
        a.reuse_forbidden = false;
        a.max_age_s = -1;
        a.stale_if_error_s = -1;
        a.stale_forbidden = false;
        a.json = false;
        a.content_types = 0;
        a.media_type[0] = '\0';
    } else if ((n == 2 && line[0] == '\r' && line[1] == '\n') || (n == 1 && line[0] == '\n')) {
        a.headers_ended = true;
    } else if (iequal_prefix(line, n, "cache-control:")) {
        read_cache_control(line + 14, n - 14, a);
    } else if (iequal_prefix(line, n, "content-type:")) {
        a.json = is_json(line + 13, n - 13);  // the last one counts, as for libcurl
        if (a.content_types < 255) ++a.content_types;
        show_media_type(line + 13, n - 13, a.media_type);
    }
}

void keep_body(Body &body, const char *data, std::size_t n) noexcept {
    if (body.too_large || body.lost) return;
    if (n > Body::limit - body.bytes.size()) {
        body.too_large = true;
        std::string().swap(body.bytes);  // what was kept is of no use any more
        return;
    }
    try {
        body.bytes.append(data, n);
    } catch (...) {
        body.lost = true;
        std::string().swap(body.bytes);
    }
}
