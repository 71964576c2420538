#include "decision_log.h"

#include <dlfcn.h>

#include "token_verifier.h"

HowDecided how_decided(const CheckResult &r) noexcept {
    using Overruled = CheckResult::Overruled;
    switch (r.source) {
    case Source::rules:
        if (r.overruled == Overruled::expired) return {"the rules of its login, whose expire_at has passed"};
        if (r.rule >= 0) return {"rule", r.rule + 1, "of its login's answer"};
        if (r.granted()) return {"its login's answer (superuser)"};
        return {"its login's rules: none matched and there is no access endpoint"};
    case Source::rules_lost: return {"its connection's rules, dropped since (too many ended sessions kept)"};
    case Source::withdrawn: return {"a command about it while it waited for its answer"};
    case Source::token:
        if (r.granted()) return {"its signed token, verified at the broker", -1, r.why};
        return {"its signed token:", -1, r.why ? r.why : "not valid"};
    case Source::cache: return {"the decision cache"};
    case Source::stale: return {"a stale decision (the endpoint gave none)"};
    case Source::backoff: return {"the back-off, without a request (the endpoint is not answering)"};
    case Source::busy: return {"too many logins waiting, without a request"};
    case Source::too_late: return {"too little time left for the endpoint to answer, without a request"};
    case Source::guard:
        return {"refused at once: these credentials were refused from this address just now, or it is guessing this "
                "client id's"};
    case Source::unwritable:
        return {"no request: a value could not be written into it (a control character; a path segment empty, "
                "\".\" or \"..\"; a header value empty or with blanks around it)"};
    case Source::none:
    case Source::endpoint: break;
    }
    if (!r.answer.attempted) return {"no request (nothing to ask, or nothing configured to ask)"};
    if (const char *failure = r.answer.failure()) return {"no answer:", -1, failure};
    switch (r.overruled) {
    case Overruled::expired: return {"HTTP", r.answer.status, "but the answer's expire_at has passed"};
    case Overruled::rules_unreadable: return {"HTTP", r.answer.status, "but its rules could not be read"};
    case Overruled::no: break;
    }
    if (r.deferred()) return {"HTTP", r.answer.status, "\"ignore\": the broker's other checks decide"};
    // A grant by its status refused by its body: only http_answers json's "deny".
    if (!r.granted() && r.answer.outcome() == Outcome::granted) return {"HTTP", r.answer.status, "\"deny\""};
    return {"HTTP", r.answer.status};
}

namespace {

using BrokerLog = void (*)(int level, const char *format, ...);
constexpr int broker_debug = 0x10;

// Looked up at the first decision, not at load.
BrokerLog broker_log() noexcept {
    static const BrokerLog log = reinterpret_cast<BrokerLog>(dlsym(RTLD_DEFAULT, "mosquitto_log_printf"));
    return log;
}

const char *or_none(const char *s) noexcept { return s ? s : "(none)"; }

}  // namespace

const char *shown_username(const char *username) noexcept {
    return username && TokenVerifier::shaped_as_token(username) ? "(a token)" : or_none(username);
}

void log_decision(const char *kind, const char *clientid, const char *username, const char *topic,
                  const CheckResult &r) noexcept {
    const BrokerLog log = broker_log();
    if (!log) return;  // not in a broker: nothing to write to
    // The broker drops it unformatted unless its debug level is on: what is
    // worked out here is only the choice of words.
    const HowDecided h = how_decided(r);
    const char *result = r.granted() ? "granted" : r.deferred() ? "deferred" : "refused";
    const char *quote = topic ? " \"" : "", *topic_text = topic ? topic : "", *end_quote = topic ? "\"" : "";
    const char *space = h.detail ? " " : "", *detail = h.detail ? h.detail : "";
    const double ms = r.exchange_ms;
    if (h.number >= 0 && ms >= 0)
        log(broker_debug, "auth_plugin: %s%s%s%s by client \"%s\", user \"%s\": %s by %s %ld%s%s in %.1f ms", kind,
            quote, topic_text, end_quote, or_none(clientid), shown_username(username), result, h.how, h.number, space,
            detail, ms);
    else if (h.number >= 0)
        log(broker_debug, "auth_plugin: %s%s%s%s by client \"%s\", user \"%s\": %s by %s %ld%s%s", kind, quote,
            topic_text, end_quote, or_none(clientid), shown_username(username), result, h.how, h.number, space, detail);
    else if (ms >= 0)
        log(broker_debug, "auth_plugin: %s%s%s%s by client \"%s\", user \"%s\": %s by %s%s%s in %.1f ms", kind,
            quote, topic_text, end_quote, or_none(clientid), shown_username(username), result, h.how, space, detail, ms);
    else
        log(broker_debug, "auth_plugin: %s%s%s%s by client \"%s\", user \"%s\": %s by %s%s%s", kind, quote,
            topic_text, end_quote, or_none(clientid), shown_username(username), result, h.how, space, detail);
}
