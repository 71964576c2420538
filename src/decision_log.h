// How a check was decided, in words: the one description that the broker's
// debug log and the check tool both give. Never a password, a header value
// or a URL's query: only the kind of check, the client's names, the topic
// and how the decision came about.
#pragma once

#include "check_result.h"

// What decided r, and a number that goes with it (an HTTP status, a rule's
// position in the login answer's "acl", counted from 1; -1: none).
struct HowDecided {
    const char *how;
    long number = -1;
    const char *detail = nullptr;  // a transfer's failure, for example
};
HowDecided how_decided(const CheckResult &r) noexcept;

// A user name as the lines may show it: one shaped as a signed token
// (http_jwt_from username) is a credential, shown as "(a token)"; none as "(none)".
const char *shown_username(const char *username) noexcept;

// One line at the broker's debug level (log_type debug) per decision, with
// the exchange's time where there was one; the broker formats it only when
// that level is on, so it costs a call otherwise. kind: "login", or an
// access word; topic null for a login.
void log_decision(const char *kind, const char *clientid, const char *username, const char *topic,
                  const CheckResult &r) noexcept;
