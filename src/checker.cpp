#include "checker.h"

#include <chrono>
#include <utility>

#include "auth_plugin.h"

Checker::Checker(Settings settings) : settings_(std::move(settings)), client_(settings_) {
    if (settings_.http_cache_ms > 0)
        cache_ = std::make_unique<DecisionCache>(settings_.http_cache_ms,
                                                 static_cast<std::size_t>(settings_.http_cache_entries));
    if (settings_.http_backoff_ms > 0) {
        if (settings_.http_user_uri)
            user_backoff_ = std::make_unique<Backoff>(settings_.http_backoff_ms, *settings_.http_user_uri);
        if (settings_.http_acl_uri)
            acl_backoff_ = std::make_unique<Backoff>(settings_.http_backoff_ms, *settings_.http_acl_uri);
    }
}

Verdict Checker::login(const char *username, const char *password) noexcept {
    Verdict v;
    if (!username || !password) return v;
    if (!settings_.http_user_uri) return v.granted = true, v;
    const Field fields[] = {{"username", username}, {"password", password}};
    return ask(*settings_.http_user_uri, user_backoff_.get(), fields, 2);
}

Verdict Checker::access(const char *clientid, const char *username, const char *topic, int access) noexcept {
    Verdict v;
    if (!settings_.http_acl_uri) return v.granted = true, v;
    if (!clientid || !username || !topic) return v;
    const char *word = access == AUTH_PLUGIN_ACL_READ    ? "read"
                       : access == AUTH_PLUGIN_ACL_WRITE ? "write"
                                                         : "none";
    const Field fields[] = {{"clientid", clientid}, {"username", username}, {"topic", topic}, {"access", word}};
    return ask(*settings_.http_acl_uri, acl_backoff_.get(), fields, 4);
}

Verdict Checker::ask(const std::string &url, Backoff *backoff, const Field *fields, std::size_t count) noexcept {
    Verdict v;
    std::size_t length = 0;
    Buffer body = form_body(fields, count, length);
    if (!body) return v;
    const auto now = std::chrono::steady_clock::now();
    DecisionCache::Digest key;
    const bool keyed = cache_ && cache_->digest(url, body.get(), length, key);
    if (keyed) {
        if (auto kept = cache_->find(key, now)) {
            v.cached = true;
            v.granted = *kept;
            return v;
        }
    }
    // Kept answers go on answering while the endpoint is down.
    const Backoff::Turn turn = backoff ? backoff->turn(now) : Backoff::Turn::ask;
    if (turn == Backoff::Turn::refuse) {
        v.backed_off = true;
        return v;
    }
    v.answer = client_.post(url.c_str(), body.get(), length);
    v.granted = v.answer.granted();
    if (!backoff && !keyed) return v;
    const auto arrived = std::chrono::steady_clock::now();
    if (backoff) backoff->record(turn, v.answer, arrived);
    if (keyed) cache_->store(key, v.answer, arrived);
    return v;
}
