// The one reader of the endpoint's JSON answers, a login's and an access
// question's alike: what the answer's status, Content-Type and body allow,
// then its members read into LoginRules (src/login_rules.h), or the reason
// it is refused.
#pragma once

#include <memory>
#include <string_view>

#include "login_rules.h"

struct Answer;

// What a JSON answer came to: rules, or why the answer is refused, or
// neither when it carries none.
struct RulesRead {
    std::shared_ptr<const LoginRules> rules;
    // Names what was wrong (the member, the rule's number), never a value:
    // the body may hold secrets.
    char error[128] = "";
    bool refused() const noexcept { return !rules && error[0] != '\0'; }
};

// A JSON answer body: an object whose members are read as LoginRules
// describes them, unknown ones ignored. More than 64 KiB or
// LoginRules::max_rules rules is refused.
RulesRead read_json_body(std::string_view body) noexcept;
// An endpoint's answer: neither rules nor error unless it is a 200 with a
// Content-Type of application/json; then its body, which must have been
// kept (HttpClient::send's keep_body) and not cut. need_result (http_answers
// json, for access answers too): a 200 without a body, or without "result",
// is refused.
RulesRead read_json_answer(const Answer &answer, bool need_result = false) noexcept;
