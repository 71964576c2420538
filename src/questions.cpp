#include "questions.h"

#include <cstring>

#include "login_rules.h"

LoginAsked::LoginAsked(const Settings &settings, const ClientFacts &client, const char *username,
                       const char *password)
    : extra_(settings.http_login_fields, client, nullptr),
      question_{username, password, extra_.data(), extra_.size()} {}

bool has_wildcard(const char *name) noexcept { return name && std::strpbrk(name, "+#"); }

Verdict ask_login(Checker &checker, const ClientFacts &client, const char *username, const char *password,
                  bool consult_cache) noexcept {
    try {
        return checker.login(LoginAsked(checker.settings(), client, username, password).question(), consult_cache);
    } catch (...) {
        return {};  // a value that could not be had refuses
    }
}

Verdict ask_access(Checker &checker, const ClientFacts &client, const char *topic, Access access,
                   const MessageFacts &message) noexcept {
    const Settings &s = checker.settings();
    try {
        const char *clientid = client.clientid();
        const char *username = client.username();
        // The broker applies this rule for its older interfaces only: a name
        // that is a pattern must not reach an endpoint that may match on it.
        if (s.http_acl_uri && (has_wildcard(clientid) || has_wildcard(username))) return {};
        if ((access == Access::subscribe || access == Access::unsubscribe) && !s.http_check_subscribe) {
            Verdict v;
            v.granted = true;
            return v;
        }
        const ExtraFields extra(s.http_acl_fields, client, &message);
        return checker.access({clientid, username, topic, access, extra.data(), extra.size()});
    } catch (...) {
        return {};
    }
}

bool decide_by_rules(const LoginRules &rules, const Settings &s, Access access, const char *topic,
                     const MessageFacts &message, const char *username, const char *clientid, Verdict &v) noexcept {
    v = Verdict{};
    v.by_rules = true;
    // Its time is up: nothing more is granted, whether or not the
    // connection has been disconnected yet.
    if (rules.expired(unix_now())) {
        v.expired = true;
        return true;
    }
    if (rules.is_superuser()) {
        v.granted = true;
        return true;
    }
    if (!rules.has_acl() || access == Access::unsubscribe || access == Access::none) {
        v.by_rules = false;  // decided as without rules
        return false;
    }
    std::uint32_t which = 0;
    switch (rules.decide(access, topic ? topic : "", message.qos, message.retain, username, clientid, &which)) {
    case LoginRules::Decision::allow:
        v.granted = true;
        v.rule = static_cast<int>(which);
        return true;
    case LoginRules::Decision::deny: v.rule = static_cast<int>(which); return true;
    case LoginRules::Decision::no_match: break;
    }
    // No rule decides: the access endpoint does, as without rules; without one, refused.
    if (!s.http_acl_uri) return true;
    v.by_rules = false;
    return false;
}
