// auth_plugin_check: asks one question the way the broker's plug-in would,
// with the plug-in's options read from a broker configuration file, and says
// what came of it. For operators wondering why everyone is refused.
//
//   auth_plugin_check -c /etc/mosquitto/mosquitto.conf -u USER -P -
//   auth_plugin_check -c FILE -i CLIENTID -u USER -t TOPIC --read|--write|--subscribe|--unsubscribe
//
// Exit status: 0 granted, 1 refused, 2 configuration or usage error, 3 handed
// on to the broker's other checks (an "ignore" answer, auth_plugin_v5.so).
//
// This file's one job is the question: asked through the libraries' own
// code (src/questions.*, src/checker.*), with what the broker decides itself
// before asking auth_plugin.so. The flags are read in check_tool_args.*,
// the user changed in check_tool_privileges.*, a line started in
// check_tool_start.*, --validate in check_tool_validate.*, --show-request in
// check_tool_show.*.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "broker_config.h"
#include "certificate_subject.h"
#include "check_tool_args.h"
#include "check_tool_privileges.h"
#include "check_tool_show.h"
#include "check_tool_start.h"
#include "check_tool_validate.h"
#include "checker.h"
#include "decision_log.h"
#include "login_rules.h"
#include "questions.h"
#include "token_login.h"
#include "token_verifier.h"

namespace {

using namespace check_tool;

// How it was decided, in the words of the broker's debug log.
std::string describe(const CheckResult &v) {
    const HowDecided h = how_decided(v);
    std::string text = h.how;
    if (h.number >= 0) text += " " + std::to_string(h.number);
    if (h.detail) text += std::string(" ") + h.detail;
    return text;
}

// The broker's own rules for auth_plugin.so, before any access check of a
// client, subscriptions included: why it decides without asking (v holds
// what it decides), or null when it asks. This tool does not know which
// broker reads the configuration, so a '/' is read as 2.1 reads it: a
// "granted" the broker never gives would mislead, and the line says what
// 2.0 does.
const char *decided_by_broker_v2(const ClientFacts &client, Access access, CheckResult &v) {
    if (has_wildcard(client.clientid()) || has_wildcard(client.username()))
        return "the broker refuses access for client ids and user names with + or # without asking";
    const auto slash = [](const char *name) { return name && std::strchr(name, '/'); };
    if (slash(client.clientid()) || slash(client.username()))
        return "Mosquitto 2.1 refuses access for client ids and user names with / without asking; "
               "2.0 asks auth_plugin.so";
    if (access == Access::subscribe || access == Access::unsubscribe) {
        v.decision = Decision::grant;
        return "the broker grants subscriptions itself and asks auth_plugin.so only about each message";
    }
    return nullptr;
}

// What came of the question, and why it was not asked when it was not.
struct Decided {
    CheckResult v;
    const char *why_not_asked = nullptr;
};

// What the broker does with an "ignore" answer, in the words of its
// start-up lines (login_route.cpp).
std::string when_ignored(const Settings &settings, bool v5, bool login) {
    const std::string what = login ? "login" : "access";
    if (!v5) return "auth_plugin.so cannot hand a check on: the broker refuses this " + what;
    std::string text = "the broker's other checks decide this " + what +
                       (login ? " (other plugin lines, then its password_file); refused if none admits it"
                              : " (other plugin lines, then its acl_file); refused if none grants it");
    if (login && settings.http_async_logins)
        text += ". On Mosquitto 2.1 a login answered later whose answer says \"ignore\" is refused: that broker "
                "takes no other answer for it; with http_async_logins false the broker's next check decides it";
    return text;
}

// Asks as the broker would ask the library the line loads, each request
// shown (--show-request) just before it is sent.
Decided ask(Checker &checker, bool v5, const Args &args) {
    const FlagClient &client = args.client;
    const char *password = args.password;
    const Settings &settings = checker.settings();
    const auto show = [&](bool login) {
        if (!args.show_request) return;
        const TokenLogins *tokens = checker.tokens();
        const char *credential = tokens ? tokens->credential(client.user, password) : nullptr;
        if (login && credential && TokenVerifier::shaped_as_token(credential))
            std::printf("no request: a token is verified at the broker, never sent\n");
        else
            show_request(settings, v5, args, login);
    };
    Decided out;
    CheckResult &v = out.v;
    if (args.login()) {
        show(true);
        v = v5 ? ask_login(checker, client, client.user, password) : checker.login({client.user, password});
        return out;
    }
    if (!v5) {
        out.why_not_asked = decided_by_broker_v2(client, args.access, v);
        if (!out.why_not_asked) {
            show(false);
            v = checker.access({client.id, client.user, args.topic, args.access});
        }
        return out;
    }
    const MessageFacts message = args.message();
    // A token's claims are rules too, whatever http_login_rules says.
    if (!password || !(settings.http_login_rules || checker.tokens())) {
        show(false);
        v = ask_access(checker, client, args.topic, args.access, message, password);
        return out;
    }
    // As the broker does with login rules: the login first; its answer's
    // rules decide, and only where none does is the access endpoint asked.
    show(true);
    const CheckResult admitted = ask_login(checker, client, client.user, password);
    std::printf("login of user \"%s\": %s (%s)\n", shown_username(client.user),
                admitted.granted() ? "granted" : admitted.deferred() ? "handed on" : "refused", describe(admitted).c_str());
    if (admitted.deferred()) {
        // Admitted by another check, the client has no rules: the endpoint decides its access.
        std::printf("the login's answer says \"ignore\": %s\n", when_ignored(settings, v5, true).c_str());
        std::printf("a client another check admits has no rules from this answer: the access endpoint is asked\n");
    } else if (!admitted.granted()) {
        out.why_not_asked = "the login is refused, so the broker would never ask";
        return out;
    } else if (admitted.rules && decide_by_rules(*admitted.rules, settings, args.access, args.topic, message,
                                                 client.user, client.id, v)) {
        return out;
    } else {
        std::printf("no rule of the login's answer decides: the access endpoint is asked\n");
    }
    show(false);
    v = ask_access(checker, client, args.topic, args.access, message, password);
    return out;
}

// What came of it, in the words of the broker's debug log, and what the
// answer carries for the session.
void report(const Args &args, const Settings &settings, bool v5, const Decided &out, double ms) {
    const FlagClient &client = args.client;
    const CheckResult &v = out.v;
    const bool login = args.login();
    if (login)
        std::printf("login of user \"%s\"", shown_username(client.user));
    else
        std::printf("%s of topic \"%s\" by client \"%s\", user \"%s\"", access_word(args.access), args.topic,
                    client.id, shown_username(client.user));
    std::printf(": %s (%s) in %.1f ms\n", v.granted() ? "granted" : v.deferred() && v5 ? "handed on" : "refused",
                out.why_not_asked ? out.why_not_asked : describe(v).c_str(), ms);
    if (v.deferred()) std::printf("the answer says \"ignore\": %s\n", when_ignored(settings, v5, login).c_str());
    if (v.rules) {
        const LoginRules &r = *v.rules;
        std::printf("the answer carries rules for the session: %s", r.is_superuser() ? "superuser" : "not superuser");
        if (r.has_acl()) std::printf(", %zu access rules", r.rule_count());
        if (const auto at = r.expire_at()) std::printf(", expire_at %lld", static_cast<long long>(*at));
        std::printf("\n");
    }
}

// A question these flags and this line cannot ask soundly: why, on
// standard error; false when it can be asked.
bool cannot_ask(const Args &args, const Started &started) {
    const Checker &checker = *started.checker;
    const Settings &settings = checker.settings();
    const bool login = args.login();
    if (started.v5) {
        const RequestPlan &plan = login ? checker.login_plan() : checker.access_plan();
        if (const char *flag =
                missing_flag(login ? settings.http_login_fields : settings.http_acl_fields, plan.uses(), args)) {
            std::fprintf(stderr, "auth_plugin_check: %s names a field or placeholder this question needs %s for\n",
                         login ? "http_login_fields or a login template" : "http_acl_fields or an access template",
                         flag);
            return true;
        }
    }
    if (args.client.cert && *args.client.cert) {
        try {
            subject_of_pem_file(args.client.cert);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "auth_plugin_check: --cert: %s\n", e.what());
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    Args args;
    bool done = false;
    const std::string wrong = parse(argc, argv, args, done);
    if (done) return 0;
    if (!wrong.empty()) {
        std::fprintf(stderr, "auth_plugin_check: %s\n%s", wrong.c_str(), usage_text);
        return 2;
    }
    if (args.validate) return validate(args);

    std::string typed;
    if (args.password && std::strcmp(args.password, "-") == 0) {  // a login's, or one an access question uses
        if (!read_password(typed)) {
            std::fprintf(stderr, "auth_plugin_check: no password on standard input\n");
            return 2;
        }
        args.password = typed.c_str();
    }

    BrokerConfig broker;
    PluginLine line;
    std::string error;
    if (!read_broker_config(args.config, broker, error) || !pick_plugin_line(broker, args.port, line, error)) {
        std::fprintf(stderr, "auth_plugin_check: %s\n", error.c_str());
        return 2;
    }
    // The broker reads its configuration as root, then drops privileges
    // before the plug-in reads its files.
    if (args.run_as && !become(args.run_as, error)) {
        std::fprintf(stderr, "auth_plugin_check: %s\n", error.c_str());
        return 2;
    }
    note_if_root();

    Started started;
    if (!start_line(line, started)) {
        std::fprintf(stderr, "%s\n", started.lines.error.c_str());
        return 2;
    }
    for (const auto &text : started.lines.lines) std::printf("%s\n", text.c_str());
    if (cannot_ask(args, started)) return 2;
    Checker &checker = *started.checker;
    const bool v5 = started.v5;

    if (args.password && !args.login() && !(v5 && (checker.settings().http_login_rules || checker.tokens())) &&
        !(checker.access_plan().uses() & bit(Placeholder::password)))
        std::printf("a login's answer decides no access here (http_login_rules is off): -P is not used\n");
    const auto start = std::chrono::steady_clock::now();
    const Decided out = ask(checker, v5, args);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    report(args, checker.settings(), v5, out, ms);
    return out.v.granted() ? 0 : out.v.deferred() && v5 ? 3 : 1;
}
