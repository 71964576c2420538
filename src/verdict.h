// How one check was decided, as everything after the decision reads it.
#pragma once

#include <memory>

#include "answer.h"

class LoginRules;

struct Verdict {
    bool granted = false;
    bool cached = false;      // answered from the decision cache, within its lifetime
    bool backed_off = false;  // not asked: the endpoint is not answering
    bool stale = false;       // answered by a kept decision past its lifetime: the endpoint gave none
    Answer answer;            // the exchange, if one was attempted
    // http_login_rules: the rules a granted login's answer carried (kept ones
    // from the cache too); deferred when the answer let the broker's other
    // checks decide; by_rules when an access check was decided by rules.
    std::shared_ptr<const LoginRules> rules;
    bool deferred = false;
    bool by_rules = false;
    bool expired = false;  // refused because the rules' expire_at has passed
    bool busy = false;     // not asked: too many logins wait
    bool refused_at_once = false;   // not asked: these credentials were refused just now, or their address guesses the id's
    bool rules_unreadable = false;  // a 200 whose rules could not be read
    bool rules_lost = false;        // a will whose connection's rules had to be dropped
    bool withdrawn = false;         // a login a command settled while it waited for its answer
    bool unwritable = false;        // not asked: a value could not be written into the request
    int rule = -1;                  // by_rules: the rule that decided, from 0 in the answer's acl
    double exchange_ms = -1;        // how long its exchange took, where there was one
    // Refused because no decision could be had (no answer, no decision in
    // the answer, the back-off, too busy), not because anyone said no.
    bool unavailable() const noexcept {
        if (granted || stale || cached || deferred || expired || by_rules || refused_at_once || rules_unreadable ||
            rules_lost || withdrawn || unwritable)
            return false;
        return backed_off || busy || answer.late || (answer.attempted && !decided(answer.outcome()));
    }
};
