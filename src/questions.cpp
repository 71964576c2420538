#include "questions.h"

#include <cstring>

bool has_wildcard(const char *name) noexcept { return name && std::strpbrk(name, "+#"); }

Verdict ask_login(Checker &checker, const ClientFacts &client, const char *username, const char *password,
                  bool consult_cache) noexcept {
    try {
        const ExtraFields extra(checker.settings().http_login_fields, client, nullptr);
        return checker.login(username, password, extra.data(), extra.size(), consult_cache);
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
        return checker.access(clientid, username, topic, access, extra.data(), extra.size());
    } catch (...) {
        return {};
    }
}
