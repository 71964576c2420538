#include "backoff.h"

#include <curl/curl.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>

#include "log.h"
#include "redact_url.h"

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

// Where a URL's exchanges go, and its path, both read from its redacted form
// so that the lines show nothing redact_url() would not. An empty origin
// when that form is not a URL but a note: such a URL is an origin of its
// own, and the note stands for its path.
struct Place {
    std::string origin, path;
};

Place place_of(const std::string &redacted) {
    std::unique_ptr<CURLU, UrlFree> url(curl_url());
    if (!url) throw std::bad_alloc();
    if (curl_url_set(url.get(), CURLUPART_URL, redacted.c_str(), 0) != CURLUE_OK) return {"", redacted};
    // Host names do not depend on case; libcurl keeps them as written.
    std::string host = part(url.get(), CURLUPART_HOST);
    std::transform(host.begin(), host.end(), host.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return {part(url.get(), CURLUPART_SCHEME) + "://" + host + ":" +
                part(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT),
            part(url.get(), CURLUPART_PATH)};
}

}  // namespace

Backoff::Backoff(long first_wait_ms, const std::vector<std::string> &urls, const std::string &unix_socket,
                 long stale_ms)
    : first_wait_(std::chrono::milliseconds(first_wait_ms)),
      cap_(std::max<Clock::duration>(max_wait, std::chrono::milliseconds(first_wait_ms))),
      stale_ms_(stale_ms) {
    members_.reserve(urls.size());
    for (const std::string &url : urls) {
        const std::string redacted = redact_url(url);
        Place place = place_of(redacted);
        // Through a Unix socket every exchange goes to the same server, whatever the URL says.
        if (!unix_socket.empty()) place.origin = unix_socket;
        const auto known = place.origin.empty() ? origins_.end()
                                                : std::find(origins_.begin(), origins_.end(), place.origin);
        const std::size_t origin = known - origins_.begin();
        if (known == origins_.end()) origins_.push_back(place.origin.empty() ? redacted : place.origin);
        members_.push_back(Member{origin, redacted, place.path});
    }
}

Backoff::Turn Backoff::turn(std::size_t member, Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    if (member >= members_.size()) return Turn::ask;
    Member &m = members_[member];
    if (m.wait == Clock::duration::zero()) return Turn::ask;
    if (m.trial_running || now < m.retry_at) return Turn::refuse;
    m.trial_running = true;
    return Turn::trial;
}

void Backoff::record(std::size_t member, Turn turn, const Answer &answer, Clock::time_point now) noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    if (member >= members_.size()) return;
    Member &m = members_[member];
    if (turn == Turn::trial) m.trial_running = false;
    const Outcome outcome = answer.outcome();
    if (outcome == Outcome::not_sent) return;  // says nothing of the endpoint
    // The state changes whatever becomes of the line: without memory for
    // it, only the line is lost.
    if (answered(outcome)) {
        std::string line;
        try {
            line = answers_again(m.origin);
        } catch (const std::exception &) {  // only the line is lost
        }
        for (Member &other : members_)
            if (other.origin == m.origin) other.wait = Clock::duration::zero();
        if (!line.empty()) log_line(LogLevel::notice, line);
        return;
    }
    if (m.wait == Clock::duration::zero()) {
        m.wait = first_wait_;
        m.retry_at = now + m.wait;
        try {
            const char *why = answer.failure();
            const std::string stale = stale_ms_ > 0 ? "recent decisions (up to " + std::to_string(stale_ms_) +
                                                          " ms past their lifetime) are being served, and its other "
                                                    : "its ";
            log_line(LogLevel::warning,
                     "auth_plugin: no answer from " + m.url + " (" + (why ? why : "no answer") + "); " + stale +
                         "checks are refused without a request until it answers again");
        } catch (const std::exception &) {  // only the line is lost
        }
    } else if (turn == Turn::trial) {
        m.wait = std::min(m.wait * 2, cap_);
        m.retry_at = now + m.wait;
    }
    // Otherwise a check that was already under way when the back-off began: it changes nothing.
}

std::string Backoff::answers_again(std::size_t origin) const {
    std::vector<const std::string *> ended;
    for (const Member &m : members_)
        if (m.origin == origin && m.wait != Clock::duration::zero() &&
            std::none_of(ended.begin(), ended.end(), [&](const std::string *p) { return *p == m.path; }))
            ended.push_back(&m.path);
    if (ended.empty()) return "";
    std::string line = "auth_plugin: " + origins_[origin] + " answers again; checks to ";
    for (std::size_t i = 0; i < ended.size(); ++i) {
        if (i > 0) line += i + 1 == ended.size() ? " and " : ", ";
        line += *ended[i];
    }
    return line + " are asked again";
}

Backoff::Clock::duration Backoff::wait(std::size_t member) const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return member < members_.size() ? members_[member].wait : Clock::duration::zero();
}
