#include "key_set_source.h"

#include <algorithm>
#include <new>
#include <utility>

#include "log.h"
#include "token_keys.h"

KeySetSource::KeySetSource(HttpClient &client, const Settings &settings, std::string url, std::string shown,
                           std::function<Clock::time_point()> now)
    : client_(client), shown_(std::move(shown)), now_(std::move(now)) {
    request_.built_url = std::move(url);
    request_.get = true;
    // The fixed headers (an API key, say) go along; one with a placeholder
    // belongs to a question, and a key set answers none.
    if (!append_header(request_.headers, "Accept: application/jwk-set+json, application/json"))
        throw std::bad_alloc();
    for (const auto &line : settings.http_header)
        if (line.find("${") == std::string::npos && !append_header(request_.headers, line.c_str()))
            throw std::bad_alloc();
}

std::shared_ptr<const TokenKeys> KeySetSource::keys() noexcept {
    const auto now = now_();
    const bool due = !keys_ || now >= fresh_until_;
    if (due && (!ever_failed_ || now - failed_at_ >= retry)) fetch();
    return keys_;
}

std::shared_ptr<const TokenKeys> KeySetSource::unknown_kid() noexcept {
    const auto now = now_();
    if ((!ever_unknown_ || now - unknown_at_ >= retry) && (!ever_failed_ || now - failed_at_ >= retry)) {
        ever_unknown_ = true;
        unknown_at_ = fetch();
    }
    return keys_;
}

KeySetSource::Clock::time_point KeySetSource::fetch() noexcept {
    const Answer answer = client_.send(request_, true);
    // Paced from its end: a service that hangs holds the broker's thread for
    // one time-out per pace, however long the time-out is.
    const auto now = now_();
    const Outcome outcome = answer.outcome();
    std::string why;
    std::shared_ptr<const TokenKeys> got;
    try {
        if (outcome == Outcome::no_answer || outcome == Outcome::not_sent)
            why = answer.failure() ? answer.failure() : "no request could be sent";
        else if (answer.status != 200)
            why = "HTTP " + std::to_string(answer.status);
        else if (!answer.body || answer.body->too_large || answer.body->lost)
            why = "its body was larger than 64 KiB or could not be kept";
        else if (!(got = TokenKeys::from_jwks(answer.body->bytes, why)) && why.empty())
            why = "not a key set";
    } catch (...) {
        got.reset();
        why = "out of memory";
    }
    if (!got) {
        ++failed_;
        ever_failed_ = true;
        failed_at_ = now;
        tell_failed(why, now);
        return now;
    }
    ++fetched_;
    ever_failed_ = false;
    // no-store, no-cache: kept as briefly as the bound lets it be.
    const Clock::duration age = answer.reuse_forbidden ? min_age
                                : answer.max_age_s >= 0 ? std::chrono::seconds(answer.max_age_s)
                                                        : default_age;
    fresh_until_ = now + std::clamp(age, min_age, max_age);
    keys_ = std::move(got);
    ++generation_;
    try {
        // Said when what is in force changes, not at every refresh.
        std::string described = keys_->describe();
        if (described != last_described_) {
            if (generation_ > 1)
                log_line(LogLevel::notice, "auth_plugin: the key set from " + shown_ + " now in force: " + described);
            last_described_ = std::move(described);
        }
    } catch (...) {
    }
    return now;
}

void KeySetSource::tell_failed(const std::string &why, Clock::time_point now) noexcept {
    std::size_t unsaid = 0;
    if (!failed_line_.due(now, unsaid)) return;
    try {
        std::string line = "auth_plugin: the key set could not be fetched from " + shown_ + " (" + why + "): " +
                           (keys_ ? "tokens are verified with the last set had, tried again in 10 s"
                                  : "logins with tokens are refused until a set is had, tried again in 10 s");
        if (unsaid) line += " (" + std::to_string(unsaid) + " more failed fetches since the last line)";
        log_line(LogLevel::warning, line);
    } catch (...) {
        log_line(LogLevel::warning, "auth_plugin: the key set could not be fetched");
    }
}

std::string KeySetSource::describe() const {
    if (!keys_) return "no key set had yet from " + shown_ + ": logins with tokens are refused until one is";
    return "verified with the key set from " + shown_ + ": " + keys_->describe();
}
