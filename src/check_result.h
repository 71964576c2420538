// What came of one check, as everything after it reads it: a decision, the
// one place it came from, and why a grant was overruled, if it was.
#pragma once

#include <cstdint>
#include <memory>

#include "answer.h"

class LoginRules;

// defer: the broker's other checks decide (an answer's "ignore").
enum class Decision : std::uint8_t { refuse, grant, defer };

inline Decision decision_of(bool granted) noexcept { return granted ? Decision::grant : Decision::refuse; }

// Where the decision came from: exactly one.
enum class Source : std::uint8_t {
    none,        // no request: nothing to ask, or nothing configured to ask
    endpoint,    // an exchange was attempted (its answer says how it went)
    cache,       // a kept decision within its lifetime
    stale,       // a kept decision past its lifetime: the endpoint gave none (asked, or backing off)
    backoff,     // not asked: the endpoint is not answering, and nothing kept answers
    busy,        // not asked: too many logins pending
    too_late,    // not asked: too little time was left for the endpoint to answer in
    guard,       // not asked: these credentials were refused just now, or their address guesses the id's
    unwritable,  // not asked: a value could not be written into the request
    rules,       // an access decided by its login's rules
    rules_lost,  // a will whose connection's rules had to be dropped
    withdrawn,   // a pending login a command settled before its answer came
    token,       // a signed token verified at the broker (token_login.h), without a request
};

struct CheckResult {
    Decision decision = Decision::refuse;
    Source source = Source::none;
    // Why a grant became a refusal, if one did: its rules' expire_at has
    // passed, or a 200 whose rules could not be read.
    enum class Overruled : std::uint8_t { no, expired, rules_unreadable } overruled = Overruled::no;
    Answer answer;  // the exchange, if one was attempted
    // http_login_rules: the rules a granted login's answer carried (kept
    // ones from the cache too).
    std::shared_ptr<const LoginRules> rules;
    int rule = -1;           // source rules: the rule that decided, from 0 in the answer's acl
    double exchange_ms = -1;  // how long its exchange took, where there was one
    // Source token: why it was refused (or "(remembered)" for a grant), in
    // fixed words, never the token nor a claim's value.
    const char *why = nullptr;

    bool granted() const noexcept { return decision == Decision::grant; }
    bool deferred() const noexcept { return decision == Decision::defer; }
    // Refused because no decision could be had (no answer, no decision in
    // the answer, the back-off, too busy, too late), not because anyone said no.
    bool unavailable() const noexcept {
        if (decision != Decision::refuse || overruled != Overruled::no) return false;
        switch (source) {
        case Source::backoff:
        case Source::busy:
        case Source::too_late: return true;
        case Source::none:
        case Source::endpoint: return answer.attempted && !decided(answer.outcome());
        case Source::cache:
        case Source::stale:
        case Source::guard:
        case Source::unwritable:
        case Source::rules:
        case Source::rules_lost:
        case Source::withdrawn:
        case Source::token: break;
        }
        return false;
    }
};
