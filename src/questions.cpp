#include "questions.h"

#include <cctype>
#include <cstring>
#include <string>

#include "login_rules.h"
#include "token_login.h"

void fill_client_values(Uses uses, const ClientFacts &client, const MessageFacts *message, TemplateValues &values,
                        ClientTexts &texts) {
    // Each read only when used: a certificate's subject costs.
    if (uses & bit(Placeholder::clientid)) values[Placeholder::clientid] = client.clientid();
    if (uses & bit(Placeholder::peerhost)) values[Placeholder::peerhost] = client.address();
    if (uses & bit(Placeholder::proto_name))
        values[Placeholder::proto_name] = client.protocol_version() == 3 ? "MQIsdp" : "MQTT";
    if (uses & (bit(Placeholder::cert_subject) | bit(Placeholder::cert_common_name))) {
        texts.subject = client.certificate_subject();
        texts.common_name = common_name(texts.subject);
        values[Placeholder::cert_subject] = texts.subject.c_str();
        values[Placeholder::cert_common_name] = texts.common_name.c_str();
    }
    if (message) {
        texts.qos = std::to_string(message->qos);
        values[Placeholder::qos] = texts.qos.c_str();
        values[Placeholder::retain] = message->retain ? "true" : "false";
    }
}

std::string common_name(const std::string &subject) {
    // Attributes "TYPE=value" separated by ',' (or '+' within one name);
    // '\' escapes a character, or gives a byte as two hex digits.
    std::size_t i = 0;
    while (i < subject.size()) {
        const std::size_t eq = subject.find('=', i);
        if (eq == std::string::npos) break;
        const bool cn = eq - i == 2 && (subject[i] | 0x20) == 'c' && (subject[i + 1] | 0x20) == 'n';
        std::string value;
        std::size_t k = eq + 1;
        for (; k < subject.size() && subject[k] != ',' && subject[k] != '+'; ++k) {
            if (subject[k] != '\\' || k + 1 >= subject.size()) {
                value += subject[k];
                continue;
            }
            const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
            if (k + 2 < subject.size() && hex(subject[k + 1]) && hex(subject[k + 2])) {
                value += static_cast<char>(std::stoi(subject.substr(k + 1, 2), nullptr, 16));
                k += 2;
            } else {
                value += subject[++k];
            }
        }
        if (cn) return value;
        i = k + 1;
    }
    return {};
}

LoginAsked::LoginAsked(const Checker &checker, const ClientFacts &client, const char *username, const char *password)
    : extra_(checker.settings().http_login_fields, client, nullptr),
      question_{username, password, extra_.data(), extra_.size()} {
    // A token's claims may use what the client tells, as templates do.
    const Uses token_uses = checker.tokens() ? checker.tokens()->uses() : 0;
    if (!checker.login_plan().templated() && !token_uses) return;
    fill_client_values(checker.login_plan().uses() | token_uses, client, nullptr, values_, texts_);
    question_.values = &values_;
}

bool has_wildcard(const char *name) noexcept { return name && std::strpbrk(name, "+#"); }

CheckResult ask_login(Checker &checker, const ClientFacts &client, const char *username, const char *password,
                      bool consult_cache) noexcept {
    try {
        return checker.login(LoginAsked(checker, client, username, password).question(), consult_cache);
    } catch (...) {
        return {};  // a value that could not be had refuses
    }
}

namespace {

// The question ask_access puts, with its values filled.
struct AccessAsked {
    AccessAsked(const Checker &checker, const ClientFacts &client, const char *topic, Access access,
                const MessageFacts &message, const char *password)
        : extra(checker.settings().http_acl_fields, client, &message),
          question{client.clientid(), client.username(), topic, access, extra.data(), extra.size()} {
        if (!checker.access_plan().templated()) return;
        fill_client_values(checker.access_plan().uses(), client, &message, values, texts);
        values[Placeholder::password] = password;
        question.values = &values;
    }
    ExtraFields extra;
    TemplateValues values;
    ClientTexts texts;
    AccessQuestion question;
};

}  // namespace

bool access_request(const Checker &checker, const ClientFacts &client, const char *topic, Access access,
                    const MessageFacts &message, const char *password, Request &out) {
    const AccessAsked asked(checker, client, topic, access, message, password);
    return checker.access_request(asked.question, out);
}

CheckResult ask_access(Checker &checker, const ClientFacts &client, const char *topic, Access access,
                       const MessageFacts &message, const char *password) noexcept {
    const Settings &s = checker.settings();
    try {
        const char *clientid = client.clientid();
        const char *username = client.username();
        // The broker applies this rule for its older interfaces only: a name
        // that is a pattern must not reach an endpoint that may match on it.
        if (s.http_acl_uri && (has_wildcard(clientid) || has_wildcard(username))) return {};
        if (access == Access::subscribe && !s.http_check_subscribe) {
            CheckResult v;
            v.decision = Decision::grant;
            return v;
        }
        const AccessAsked asked(checker, client, topic, access, message, password);
        return checker.access(asked.question);
    } catch (...) {
        return {};
    }
}

bool decide_by_rules(const LoginRules &rules, const Settings &s, Access access, const char *topic,
                     const MessageFacts &message, const char *username, const char *clientid,
                     CheckResult &v) noexcept {
    v = CheckResult{};
    // Not the rules' to decide, even past their time: it takes rights away.
    if (access == Access::unsubscribe) return false;
    v.source = Source::rules;
    // Its time is up: nothing more is granted, whether or not the
    // connection has been disconnected yet.
    if (rules.expired(unix_now())) {
        v.overruled = CheckResult::Overruled::expired;
        return true;
    }
    if (rules.is_superuser()) {
        v.decision = Decision::grant;
        return true;
    }
    if (!rules.has_acl() || access == Access::none) {
        v.source = Source::none;  // decided as without rules
        return false;
    }
    std::uint32_t which = 0;
    switch (rules.decide(access, topic ? topic : "", message.qos, message.retain, username, clientid, &which)) {
    case LoginRules::Match::allow:
        v.decision = Decision::grant;
        v.rule = static_cast<int>(which);
        return true;
    case LoginRules::Match::deny: v.rule = static_cast<int>(which); return true;
    case LoginRules::Match::none: break;
    }
    // No rule decides: the access endpoint does, as without rules; without one, refused.
    if (!s.http_acl_uri) return true;
    v.source = Source::none;
    return false;
}
