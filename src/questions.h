// The two questions as the version-5 library asks them about a client: the
// extra fields its settings name, and the rules applied before any exchange.
// The check tool asks through these too, so that it asks what the plug-in would.
#pragma once

#include "checker.h"
#include "extra_fields.h"

class LoginRules;

// A client id or user name that is a pattern ('+' or '#'): the broker
// refuses such names access for its older interfaces, without asking.
bool has_wildcard(const char *name) noexcept;

// consult_cache false: asked of the endpoint even when a kept decision could answer.
CheckResult ask_login(Checker &checker, const ClientFacts &client, const char *username, const char *password,
                      bool consult_cache = true) noexcept;
// What a client tells for the placeholders its checker's templates use
// (uses); the texts that must be made are kept in texts.
struct ClientTexts {
    std::string subject, common_name, qos;
};
void fill_client_values(Uses uses, const ClientFacts &client, const MessageFacts *message, TemplateValues &values,
                        ClientTexts &texts);
// The first CN= of an RFC 2253 subject, unescaped; empty when it has none.
std::string common_name(const std::string &subject);

// The login question with this client's extra fields and template values;
// throws when a value cannot be had.
class LoginAsked {
public:
    LoginAsked(const Checker &checker, const ClientFacts &client, const char *username, const char *password);
    LoginAsked(const LoginAsked &) = delete;  // its question points into its own fields
    LoginAsked &operator=(const LoginAsked &) = delete;
    const LoginQuestion &question() const noexcept { return question_; }

private:
    ExtraFields extra_;
    TemplateValues values_;
    ClientTexts texts_;
    LoginQuestion question_;
};

// password: the connection's, kept where an access template uses it.
CheckResult ask_access(Checker &checker, const ClientFacts &client, const char *topic, Access access,
                       const MessageFacts &message, const char *password = nullptr) noexcept;
// The same question as ask_access asks, as its request (the check tool's
// --show-request); false when none would be sent. Throws when a value cannot be had.
bool access_request(const Checker &checker, const ClientFacts &client, const char *topic, Access access,
                    const MessageFacts &message, const char *password, Request &out);

// An access question decided by the rules its connection's login answer
// carried (http_login_rules): true with v set when they decide it, false
// when the access endpoint is to be asked as without rules. Past the rules'
// expire_at nothing is granted. The plug-in and the check tool both decide
// here.
bool decide_by_rules(const LoginRules &rules, const Settings &settings, Access access, const char *topic,
                     const MessageFacts &message, const char *username, const char *clientid,
                     CheckResult &v) noexcept;
