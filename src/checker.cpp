#include "checker.h"

#include <utility>

#include "auth_plugin.h"

Checker::Checker(Settings settings) : settings_(std::move(settings)), client_(settings_) {}

Verdict Checker::login(const char *username, const char *password) noexcept {
    Verdict v;
    if (!username || !password) return v;
    if (!settings_.http_user_uri) return v.granted = true, v;
    const Field fields[] = {{"username", username}, {"password", password}};
    return ask(*settings_.http_user_uri, fields, 2);
}

Verdict Checker::access(const char *clientid, const char *username, const char *topic, int access) noexcept {
    Verdict v;
    if (!settings_.http_acl_uri) return v.granted = true, v;
    if (!clientid || !username || !topic) return v;
    const char *word = access == AUTH_PLUGIN_ACL_READ    ? "read"
                       : access == AUTH_PLUGIN_ACL_WRITE ? "write"
                                                         : "none";
    const Field fields[] = {{"clientid", clientid}, {"username", username}, {"topic", topic}, {"access", word}};
    return ask(*settings_.http_acl_uri, fields, 4);
}

Verdict Checker::ask(const std::string &url, const Field *fields, std::size_t count) noexcept {
    Verdict v;
    std::size_t length = 0;
    Buffer body = form_body(fields, count, length);
    if (!body) return v;
    v.answer = client_.post(url.c_str(), body.get(), length);
    v.asked = v.answer.sent;
    v.granted = v.answer.granted();
    return v;
}
