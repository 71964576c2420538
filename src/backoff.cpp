#include "backoff.h"

#include <curl/curl.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>

#include "log.h"
#include "endpoint_url.h"



Backoff::Backoff(long first_wait_ms, const std::vector<std::string> &urls, const std::string &unix_socket,
                 long stale_ms)
    : first_wait_(std::chrono::milliseconds(first_wait_ms)),
      cap_(std::max<Clock::duration>(max_wait, std::chrono::milliseconds(first_wait_ms))),
      stale_ms_(stale_ms) {
    members_.reserve(urls.size());
    for (const std::string &url : urls) {
        // Read once: what may be shown, where its exchanges go, and its path.
        EndpointUrl place = parse_endpoint_url(url);
        // Through a Unix socket every exchange goes to the same server, whatever the URL says.
        if (!unix_socket.empty()) place.origin = unix_socket;
        const auto known = place.origin.empty() ? origins_.end()
                                                : std::find(origins_.begin(), origins_.end(), place.origin);
        const std::size_t origin = known - origins_.begin();
        // A URL that is only a note is an origin of its own.
        if (known == origins_.end()) origins_.push_back(place.origin.empty() ? place.shown : place.origin);
        members_.push_back(Member{origin, place.shown, place.path});
    }
}

Backoff::Turn Backoff::turn(std::size_t member, Clock::time_point now) noexcept {
    if (first_wait_ == Clock::duration::zero()) return Turn::ask;  // only tells
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
            if (other.origin == m.origin) other.wait = Clock::duration::zero(), other.failing = other.told = false;
        if (!line.empty()) log_line(LogLevel::notice, line);
        return;
    }
    if (!m.failing) {
        m.failing = true;
        if (first_wait_ != Clock::duration::zero()) {
            m.wait = first_wait_;
            m.retry_at = now + m.wait;
        }
        ++m.untold;
        // A flapping endpoint is told at most once an interval.
        if (m.told_at != Clock::time_point{} && now - m.told_at < told_every) return;
        try {
            const char *why = answer.failure();
            const std::string stale = stale_ms_ > 0 ? "recent decisions (up to " + std::to_string(stale_ms_) +
                                                          " ms past their lifetime) are being served, and its other "
                                                    : "its ";
            std::string line = "auth_plugin: no answer from " + m.url + " (" + (why ? why : "no answer") + "); " +
                               stale + "checks are refused" +
                               (first_wait_ != Clock::duration::zero() ? " without a request" : "") +
                               " until it answers again";
            if (m.untold > 1) line += " (" + std::to_string(m.untold - 1) + " more since the last line)";
            log_line(LogLevel::warning, line);
        } catch (const std::exception &) {  // only the line is lost
        }
        m.told = true;
        m.told_at = now;
        m.untold = 0;
    } else if (turn == Turn::trial) {
        m.wait = std::min(m.wait * 2, cap_);
        m.retry_at = now + m.wait;
    }
    // Otherwise a check that was already under way when the back-off began: it changes nothing.
}

std::string Backoff::answers_again(std::size_t origin) const {
    std::vector<const std::string *> ended;
    for (const Member &m : members_)
        if (m.origin == origin && m.told &&
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
