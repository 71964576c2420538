// The two questions the broker asks, decided from the settings and, where
// they say so, by the endpoints.
#pragma once

#include <memory>

#include "backoff.h"
#include "decision_cache.h"
#include "http_client.h"
#include "settings.h"

// How one check was decided.
struct Verdict {
    bool granted = false;
    bool cached = false; // answered from the decision cache
    bool backed_off = false;  // refused at once: the endpoint is not answering
    Answer answer;       // the exchange, if one was attempted (answer.sent)
};

class Checker {
public:
    // Throws std::bad_alloc when it cannot be set up.
    explicit Checker(Settings settings);
    const Settings &settings() const noexcept { return settings_; }

    Verdict login(const char *username, const char *password) noexcept;
    Verdict access(const char *clientid, const char *username, const char *topic, int access) noexcept;

private:
    Verdict ask(const std::string &url, Backoff *backoff, const Field *fields, std::size_t count) noexcept;

    const Settings settings_;
    HttpClient client_;
    std::unique_ptr<DecisionCache> cache_;  // null unless http_cache_ms is set
    // One per URL setting, so that the two endpoints back off independently;
    // null unless http_backoff_ms is set.
    std::unique_ptr<Backoff> user_backoff_, acl_backoff_;
};
