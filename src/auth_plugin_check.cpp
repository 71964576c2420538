// auth_plugin_check: asks one question the way the broker's plug-in would,
// with the plug-in's options read from a broker configuration file, and says
// what came of it. For operators wondering why everyone is refused.
//
//   auth_plugin_check -c /etc/mosquitto/mosquitto.conf -u USER -P -
//   auth_plugin_check -c FILE -i CLIENTID -u USER -t TOPIC --read|--write|--subscribe|--unsubscribe
//
// Exit status: 0 granted, 1 refused, 2 configuration or usage error.

#include <grp.h>
#include <pwd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "broker_config.h"
#include "certificate_subject.h"
#include "checker.h"
#include "decision_log.h"
#include "login_route.h"
#include "login_rules.h"
#include "questions.h"
#include "startup.h"

namespace {

const char *const usage_text =
    "usage: auth_plugin_check -c CONFIG [-l PORT] [--user NAME] [CLIENT] -u USER -P PASSWORD|-\n"
    "       auth_plugin_check -c CONFIG [-l PORT] [--user NAME] [CLIENT] -i CLIENTID -u USER -t TOPIC\n"
    "                         --read|--write|--subscribe|--unsubscribe [--qos N] [--retain true|false]\n"
    "  CLIENT: [-i CLIENTID] [--address IP] [--protocol-version 3|4|5] [--cert PEM-FILE]\n"
    "  --show-request: also print the request as it is sent (the password as ***)\n"
    "       auth_plugin_check -c CONFIG [-l PORT] [--user NAME] [--broker PATH] --validate\n"
    "       auth_plugin_check --version\n";

int help() {
    std::printf("%s\n"
                "Asks the plug-in's endpoint one question, as the broker would, with the options of the\n"
                "plug-in line in CONFIG, and says what came of it. Exit status: 0 granted, 1 refused,\n"
                "2 configuration or usage error.\n\n"
                "  -c CONFIG      the broker's configuration (include_dir is followed)\n"
                "  -l PORT        the listener whose plug-in line to use (with per_listener_settings)\n"
                "  --user NAME    read the plug-in's files and ask as this user, as the broker does\n"
                "                 after dropping privileges (Debian: mosquitto)\n"
                "  -u USER        the user name\n"
                "  -P PASSWORD    a login question; - reads the password from standard input,\n"
                "                 so that it stays out of ps and the shell's history\n"
                "  -t TOPIC --read|--write|--subscribe|--unsubscribe   an access question\n"
                "                 (a subscription's TOPIC is its filter); with -P as well and\n"
                "                 http_login_rules, the login is asked first and its rules decide\n"
                "  --show-request print the request before asking: method, URL, headers, body; the\n"
                "                 password, fixed header values and the URL's fixed query values and\n"
                "                 user information as ***\n"
                "  --validate     start each plug-in line as the broker would (per listener), print\n"
                "                 its start-up lines and ask nothing; exit 1 naming the first problem\n"
                "  --broker PATH  the broker whose version --validate describes (default: mosquitto)\n"
                "  --version      this tool's and the plug-in's version\n"
                "  What the broker knows of the client, for the fields the options name\n"
                "  (http_login_fields, http_acl_fields); a field named without its flag is an error:\n"
                "  -i CLIENTID, --address IP, --protocol-version 3|4|5,\n"
                "  --cert PEM-FILE (its subject; '' for a client without a certificate),\n"
                "  --qos N and --retain true|false (the message's; an unsubscription has qos 0 and\n"
                "  retain false)\n\n"
                "The plug-in's options:\n%s",
                usage_text, options_help(Interface::v5).c_str());
    return 0;
}

// One line from standard input, not echoed when it is a terminal.
bool read_password(std::string &out) {
    termios saved{};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fputs("Password: ", stderr);
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = static_cast<bool>(std::getline(std::cin, out));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return read;
}

// Becomes the named user, as the broker does before the plug-in reads its files.
bool become(const char *name, std::string &error) {
    const passwd *user = getpwnam(name);
    if (!user) {
        error = std::string("no user ") + name;
        return false;
    }
    if (initgroups(user->pw_name, user->pw_gid) != 0 || setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0) {
        error = std::string("cannot become user ") + name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// How it was decided, in the words of the broker's debug log.
std::string describe(const Verdict &v) {
    const HowDecided h = how_decided(v);
    std::string text = h.how;
    if (h.number >= 0) text += " " + std::to_string(h.number);
    if (h.detail) text += std::string(" ") + h.detail;
    return text;
}

// The broker's own rule for auth_plugin.so, before any access check of a
// client, subscriptions included: why it refuses without asking, or null.
// This tool does not know which broker reads the configuration, so a '/'
// is read as 2.1 reads it: a "granted" the broker never gives would mislead,
// and the line says what 2.0 does.
const char *refused_by_broker(const ClientFacts &client) {
    if (has_wildcard(client.clientid()) || has_wildcard(client.username()))
        return "the broker refuses access for client ids and user names with + or # without asking";
    const auto slash = [](const char *name) { return name && std::strchr(name, '/'); };
    if (slash(client.clientid()) || slash(client.username()))
        return "Mosquitto 2.1 refuses access for client ids and user names with / without asking; "
               "2.0 asks auth_plugin.so";
    return nullptr;
}

// The client as the flags describe it; a value asked for without its flag is
// a question the broker would fill but this tool cannot.
struct FlagClient final : ClientFacts {
    const char *id = nullptr, *user = nullptr, *ip = nullptr, *protocol = nullptr, *cert = nullptr;
    const char *clientid() const override { return id; }
    const char *username() const override { return user; }
    const char *address() const override { return ip; }
    int protocol_version() const override { return std::atoi(protocol); }
    std::string certificate_subject() const override { return *cert ? subject_of_pem_file(cert) : ""; }
};

// The flag each field or placeholder is filled from; null when all are there.
const char *missing_flag(const std::vector<std::string> &fields, Uses uses, bool login, const FlagClient &client,
                         bool qos, bool retain) {
    const auto used = [uses](Placeholder p) { return (uses & bit(p)) != 0; };
    if (login && used(Placeholder::clientid) && !client.id) return "-i CLIENTID";
    if (used(Placeholder::peerhost) && !client.ip) return "--address IP";
    if (used(Placeholder::proto_name) && !client.protocol) return "--protocol-version 3|4|5";
    if ((used(Placeholder::cert_subject) || used(Placeholder::cert_common_name)) && !client.cert) return "--cert PEM-FILE";
    if (!login && used(Placeholder::qos) && !qos) return "--qos N";
    if (!login && used(Placeholder::retain) && !retain) return "--retain true|false";
    for (const auto &f : fields) {
        if (f == "clientid" && !client.id) return "-i CLIENTID";
        if (f == "address" && !client.ip) return "--address IP";
        if (f == "protocol_version" && !client.protocol) return "--protocol-version 3|4|5";
        if (f == "certificate_subject" && !client.cert) return "--cert PEM-FILE";
        if (f == "qos" && !qos) return "--qos N";
        if (f == "retain" && !retain) return "--retain true|false";
    }
    return nullptr;
}

// The flags, each value checked against what it accepts.
struct Args {
    const char *config = nullptr, *password = nullptr, *topic = nullptr, *run_as = nullptr, *qos = nullptr,
               *retain = nullptr, *broker = nullptr;
    int port = 0;
    bool validate = false;
    bool show_request = false;
    FlagClient client;
    Access access = Access::none;
};

// Nothing, or why the flags ask no sound question (naming the flag).
std::string parse(int argc, char **argv, Args &a, bool &done) {
    const char *listener = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        const char **target = arg == "-c"                   ? &a.config
                              : arg == "-u"                 ? &a.client.user
                              : arg == "-P"                 ? &a.password
                              : arg == "-i"                 ? &a.client.id
                              : arg == "-t"                 ? &a.topic
                              : arg == "-l"                 ? &listener
                              : arg == "--user"             ? &a.run_as
                              : arg == "--address"          ? &a.client.ip
                              : arg == "--protocol-version" ? &a.client.protocol
                              : arg == "--cert"             ? &a.client.cert
                              : arg == "--qos"              ? &a.qos
                              : arg == "--retain"           ? &a.retain
                              : arg == "--broker"           ? &a.broker
                                                            : nullptr;
        const Access named = arg == "--read"          ? Access::read
                             : arg == "--write"       ? Access::write
                             : arg == "--subscribe"   ? Access::subscribe
                             : arg == "--unsubscribe" ? Access::unsubscribe
                                                      : Access::none;
        if (target) {
            if (!next) return arg + " needs a value";
            *target = next;
            ++i;
        } else if (named != Access::none) {
            if (a.access != Access::none) return arg + ": one of --read, --write, --subscribe, --unsubscribe only";
            a.access = named;
        } else if (arg == "--validate") {
            a.validate = true;
        } else if (arg == "--show-request") {
            a.show_request = true;
        } else if (arg == "--help" || arg == "-h") {
            done = true;
            help();
            return {};
        } else if (arg == "--version") {
            done = true;
            std::printf("auth_plugin_check %s\n", AUTH_PLUGIN_VERSION);
            return {};
        } else {
            return "unknown argument " + arg;
        }
    }
    const auto one_of = [](const char *value, std::initializer_list<const char *> accepted) {
        for (const char *ok : accepted)
            if (std::strcmp(value, ok) == 0) return true;
        return false;
    };
    if (listener) {
        char *end = nullptr;
        const long port = std::strtol(listener, &end, 10);
        if (*listener == '\0' || *end != '\0' || port < 1 || port > 65535)
            return std::string("-l ") + listener + ": expected a listener's port, 1 to 65535";
        a.port = static_cast<int>(port);
    }
    if (a.client.protocol && !one_of(a.client.protocol, {"3", "4", "5"}))
        return std::string("--protocol-version ") + a.client.protocol + ": expected 3, 4 or 5";
    if (a.qos && !one_of(a.qos, {"0", "1", "2"})) return std::string("--qos ") + a.qos + ": expected 0, 1 or 2";
    if (a.retain && !one_of(a.retain, {"true", "false"}))
        return std::string("--retain ") + a.retain + ": expected true or false";
    if (!a.config) return "-c CONFIG is needed";
    if (a.validate) {
        if (a.client.user || a.password || a.topic || a.access != Access::none || a.client.id || a.qos || a.retain)
            return "--validate asks no question: leave out -u, -P, -i, -t, the action, --qos and --retain";
        return {};
    }
    if (a.broker) return "--broker goes with --validate";
    if (!a.client.user) return "-u USER is needed (or --validate, to check the configuration alone)";
    const bool access = a.topic || a.access != Access::none;
    if (!access && (a.qos || a.retain)) return "--qos and --retain go with an access question (-t TOPIC)";
    if (!access && !a.password)
        return "a question is needed: -P PASSWORD for a login, or -t TOPIC with "
               "--read|--write|--subscribe|--unsubscribe";
    if (access && !a.topic) return "the action needs -t TOPIC";
    if (access && a.access == Access::none) return "-t TOPIC needs --read, --write, --subscribe or --unsubscribe";
    if (access && !a.client.id) return "an access question needs -i CLIENTID";
    // The broker asks about an unsubscription with qos 0 and retain false.
    if (a.access == Access::unsubscribe && (a.qos || a.retain))
        return std::string(a.qos ? "--qos" : "--retain") + ": an unsubscription carries neither (the broker asks "
                                                             "with qos 0 and retain false)";
    return {};
}

// One plug-in line started as the broker would start it, short of the
// broker: what runs its checks, and the lines it would log.
struct Started {
    bool v5 = false;
    std::unique_ptr<CurlGlobal> curl;
    std::unique_ptr<Checker> checker;
    StartUp lines;  // or, when it would not start, why
};

bool start_line(PluginLine line, Started &out) {  // a copy: the pairs point into it
    out.v5 = std::filesystem::path(line.path).filename().string().find("_v5") != std::string::npos;
    std::vector<auth_option> opts;
    for (auto &[key, value] : line.options) opts.push_back({key.data(), value.data()});
    const auto build = [&](Configuration configuration) {
        out.curl = std::make_unique<CurlGlobal>();
        out.checker = std::make_unique<Checker>(std::move(configuration));
    };
    if (start_up(opts.data(), static_cast<int>(opts.size()), out.v5 ? Interface::v5 : Interface::v2, build, nullptr,
                 out.lines))
        return true;
    if (out.lines.error.empty()) out.lines.error = "auth_plugin: out of memory";
    return false;
}

// Whether the broker at path answers logins later (2.1 and newer), from
// what it says of its version; nothing when it cannot be run.
std::optional<bool> broker_answers_later(const std::string &path) {
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    const std::string command = quoted + "' -h 2>&1";
    std::unique_ptr<FILE, int (*)(FILE *)> out(popen(command.c_str(), "r"), pclose);
    if (!out) return std::nullopt;
    char text[256];
    while (std::fgets(text, sizeof text, out.get())) {
        int major = 0, minor = 0;
        if (const char *at = std::strstr(text, "mosquitto version ");
            at && std::sscanf(at, "mosquitto version %d.%d", &major, &minor) == 2)
            return major > 2 || (major == 2 && minor >= 1);
    }
    return std::nullopt;
}

// --validate: each line the broker would start, started; 1 naming the first
// that would stop the broker.
int validate(const Args &args) {
    BrokerConfig broker;
    std::string error;
    if (!read_broker_config(args.config, broker, error)) {
        std::printf("auth_plugin_check: %s\n", error.c_str());
        return 1;
    }
    if (args.run_as && !become(args.run_as, error)) {
        std::printf("auth_plugin_check: %s\n", error.c_str());
        return 1;
    }
    std::optional<bool> later;
    for (const char *path : {args.broker, "/usr/sbin/mosquitto", "mosquitto"}) {
        if (path && (later = broker_answers_later(path))) break;
        if (args.broker) break;  // the one named, or none
    }
    const auto named = [](const PluginLine &p, const char *part) {
        return std::filesystem::path(p.path).filename().string().find(part) != std::string::npos;
    };
    const bool any_ours = std::any_of(broker.plugins.begin(), broker.plugins.end(),
                                      [&](const PluginLine &p) { return named(p, "auth_plugin"); });
    std::vector<const PluginLine *> lines, v2, v5;
    for (const auto &p : broker.plugins) {
        if ((any_ours && !named(p, "auth_plugin")) || (args.port && p.listener != args.port)) continue;
        lines.push_back(&p);
        (named(p, "_v5") ? v5 : v2).push_back(&p);
    }
    if (lines.empty()) {
        std::printf("auth_plugin_check: no plug-in line%s\n",
                    args.port ? (" for listener " + std::to_string(args.port)).c_str() : "");
        return 1;
    }
    // The version-2 library keeps one set of options however often it is
    // loaded: its lines must agree.
    for (const auto *p : v2)
        if (p->options != v2.front()->options || p->path != v2.front()->path) {
            std::printf("auth_plugin: the plug-in lines of listeners %d and %d give different options, and "
                        "auth_plugin.so keeps one set\nthe broker would not start\n",
                        v2.front()->listener, p->listener);
            return 1;
        }
    // Mosquitto 2.0 runs one policy per version-5 library without
    // per_listener_settings: a second line of it stops the start.
    if (later && !*later && !broker.per_listener_settings && v5.size() > 1) {
        std::printf("auth_plugin: this library is already loaded by another plugin line, and this broker runs one "
                    "policy per library unless per_listener_settings is true\nthe broker would not start\n");
        return 1;
    }
    if (!later)
        std::printf("(no broker found to run with -h: what depends on its version is left out; name it with "
                    "--broker PATH)\n");
    for (const auto *line : lines) {
        std::printf("%s, %s:\n",
                    broker.per_listener_settings && line->listener ? ("listener " + std::to_string(line->listener)).c_str()
                                                                   : "every listener",
                    line->path.c_str());
        Started started;
        if (!start_line(*line, started)) {
            std::printf("%s\nthe broker would not start\n", started.lines.error.c_str());
            return 1;
        }
        for (const auto &text : started.lines.lines) std::printf("%s\n", text.c_str());
        if (!started.v5 || !later) continue;
        const Settings &settings = started.checker->settings();
        const LoginRoute route = decide_login_route(settings, *later);
        for (const auto &text : describe_login_route(route, settings)) std::printf("%s\n", text.c_str());
        // What the plug-in can only learn by waiting, the configuration says here.
        if (!*later && broker.per_listener_settings && route.ticks())
            std::printf("auth_plugin: Mosquitto 2.0.11 sends no TICK with per_listener_settings true (2.0.15 and "
                        "later do): %s\n",
                        without_tick(route).c_str());
    }
    std::printf("the configuration's plug-in lines would start\n");
    return 0;
}

// What a shown request must not reveal: each fixed header value, and each
// fixed query value and user information of the URLs, become ***.
std::string masked_url(std::string url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) return url;
    const std::size_t authority_end = std::min(url.find_first_of("/?#", scheme + 3), url.size());
    if (const std::size_t at = url.rfind('@', authority_end); at != std::string::npos && at > scheme)
        url = url.substr(0, scheme + 3) + "***" + url.substr(at);
    const std::size_t query = url.find('?');
    if (query == std::string::npos) return url;
    const std::size_t end = std::min(url.find('#', query), url.size());
    std::string out = url.substr(0, query + 1);
    for (std::size_t at = query + 1; at < end;) {
        const std::size_t stop = std::min(url.find('&', at), end);
        const std::string part = url.substr(at, stop - at);
        const std::size_t eq = part.find('=');
        if (part.find("${") != std::string::npos) out += part;
        else out += eq == std::string::npos ? "***" : part.substr(0, eq + 1) + "***";
        if (stop < end) out += '&';
        at = stop + 1;
    }
    return out + url.substr(end);
}

Settings masked(Settings s) {
    for (auto &line : s.http_header)
        if (line.find("${") == std::string::npos) line = line.substr(0, line.find(':')) + ": ***";
    for (auto *url : {&s.http_user_uri, &s.http_acl_uri})
        if (*url) **url = masked_url(**url);
    return s;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// --show-request: the request this question sends, built by the plug-in's
// own code from settings whose secrets are masked, with a stand-in for the
// password that is then shown as ***.
void show_request(const Settings &settings, bool v5, bool login, const FlagClient &client, const char *password,
                  const char *topic, Access access, const MessageFacts &message) {
    static const std::string stand_in = "PasswordShownAsStars7q";
    const char *pw = password ? stand_in.c_str() : nullptr;
    Request r;
    bool built = false;
    try {
        const Settings shown_settings = masked(settings);
        const Checker shown(configuration_of(shown_settings));  // the masked templates: its own plans
        if (login && v5)
            built = shown.login_request(LoginAsked(shown, client, client.user, pw).question(), r);
        else if (login)
            built = shown.login_request({client.user, pw}, r);
        else if (v5)
            built = access_request(shown, client, topic, access, message, pw, r);
        else
            built = shown.access_request({client.id, client.user, topic, access}, r);
        if (!built) {
            std::printf("request: none would be sent (%s)\n",
                        (login ? shown_settings.http_user_uri : shown_settings.http_acl_uri)
                            ? "a value it needs is missing or cannot be written there: a control character, "
                              "a path segment left empty, \".\" or \"..\", a header value empty or with blanks "
                              "around it; or it is too large"
                            : "no endpoint is configured for it");
            return;
        }
        std::string url = r.url(), body = r.body ? std::string(r.body.get(), r.length) : "", headers;
        if (r.headers) {
            headers = r.header_text;
        } else {
            for (const auto &line : shown_settings.http_header) headers += line + "\n";
            if (!r.get) headers += r.json ? "Content-Type: application/json\n" : "Content-Type: application/x-www-form-urlencoded\n";
        }
        for (auto *text : {&url, &body, &headers}) replace_all(*text, stand_in, "***");
        std::printf("request: %s %s\n", r.get ? "GET" : "POST", url.c_str());
        std::istringstream lines(headers);
        for (std::string line; std::getline(lines, line);) std::printf("  %s\n", line.c_str());
        if (!r.get) std::printf("  body: %s\n", body.c_str());
    } catch (const std::exception &e) {
        std::printf("request: cannot be shown: %s\n", e.what());
    }
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
    const char *config = args.config, *password = args.password, *topic = args.topic, *run_as = args.run_as,
               *qos = args.qos, *retain = args.retain;
    FlagClient &client = args.client;
    const Access access = args.access;
    const bool login = password && !topic;
    const int port = args.port;
    // The broker asks about an unsubscription with these; for a message, the flags give them.
    const bool unsubscribing = access == Access::unsubscribe;

    std::string typed;
    if (password && std::strcmp(password, "-") == 0) {  // a login's, or one an access question uses
        if (!read_password(typed)) {
            std::fprintf(stderr, "auth_plugin_check: no password on standard input\n");
            return 2;
        }
        password = typed.c_str();
    }

    BrokerConfig broker;
    PluginLine line;
    std::string error;
    if (!read_broker_config(config, broker, error) || !pick_plugin_line(broker, port, line, error)) {
        std::fprintf(stderr, "auth_plugin_check: %s\n", error.c_str());
        return 2;
    }
    // The broker reads its configuration as root, then drops privileges
    // before the plug-in reads its files.
    if (run_as && !become(run_as, error)) {
        std::fprintf(stderr, "auth_plugin_check: %s\n", error.c_str());
        return 2;
    }
    if (geteuid() == 0)
        std::fprintf(stderr, "auth_plugin_check: note: running as root, but the broker reads the plug-in's files "
                             "as the user it drops to; run as that user or pass --user mosquitto\n");

    Started started;
    if (!start_line(line, started)) {
        std::fprintf(stderr, "%s\n", started.lines.error.c_str());
        return 2;
    }
    for (const auto &text : started.lines.lines) std::printf("%s\n", text.c_str());
    const bool v5 = started.v5;
    Checker *checker = started.checker.get();
    const Settings &settings = checker->settings();
    if (v5) {
        const RequestPlan &plan = login ? checker->login_plan() : checker->access_plan();
        if (const char *flag = missing_flag(login ? settings.http_login_fields : settings.http_acl_fields,
                                            plan.uses(), login, client, qos || unsubscribing, retain || unsubscribing)) {
            std::fprintf(stderr, "auth_plugin_check: %s names a field or placeholder this question needs %s for\n",
                         login ? "http_login_fields or a login template" : "http_acl_fields or an access template",
                         flag);
            return 2;
        }
    }

    if (client.cert && *client.cert) {
        try {
            subject_of_pem_file(client.cert);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "auth_plugin_check: --cert: %s\n", e.what());
            return 2;
        }
    }

    if (args.show_request) {
        const MessageFacts message{qos ? std::atoi(qos) : 0, retain && std::strcmp(retain, "true") == 0};
        show_request(settings, v5, login, client, password, topic, access, message);
    }
    if (password && !login && !(v5 && settings.http_login_rules) &&
        !(checker->access_plan().uses() & bit(Placeholder::password)))
        std::printf("a login's answer decides no access here (http_login_rules is off): -P is not used\n");
    const auto start = std::chrono::steady_clock::now();
    Verdict v;
    const char *why_not_asked = nullptr;  // the broker's own rules for the older interface
    if (login) {
        v = v5 ? ask_login(*checker, client, client.user, password) : checker->login({client.user, password});
    } else if (v5) {
        const MessageFacts message{qos ? std::atoi(qos) : 0, retain && std::strcmp(retain, "true") == 0};
        if (!password || !settings.http_login_rules) {
            v = ask_access(*checker, client, topic, access, message, password);
        } else {
            // As the broker does with login rules: the login first; its
            // answer's rules decide, and only where none does is the access
            // endpoint asked.
            const Verdict admitted = ask_login(*checker, client, client.user, password);
            std::printf("login of user \"%s\": %s (%s)\n", client.user, admitted.granted ? "granted" : "refused",
                        describe(admitted).c_str());
            if (!admitted.granted) {
                why_not_asked = "the login is refused, so the broker would never ask";
            } else if (!admitted.rules || !decide_by_rules(*admitted.rules, settings, access, topic, message,
                                                            client.user, client.id, v)) {
                std::printf("no rule of the login's answer decides: the access endpoint is asked\n");
                v = ask_access(*checker, client, topic, access, message, password);
            }
        }
    } else if (const char *why = refused_by_broker(client)) {
        why_not_asked = why;
    } else if (access == Access::subscribe || access == Access::unsubscribe) {
        why_not_asked = "the broker grants subscriptions itself and asks auth_plugin.so only about each message";
        v.granted = true;
    } else {
        v = checker->access({client.id, client.user, topic, access});
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    if (login)
        std::printf("login of user \"%s\"", client.user);
    else
        std::printf("%s of topic \"%s\" by client \"%s\", user \"%s\"", access_word(access), topic, client.id,
                    client.user);
    std::printf(": %s (%s) in %.1f ms\n", v.granted ? "granted" : "refused",
                why_not_asked ? why_not_asked : describe(v).c_str(), ms);
    if (v.deferred)
        std::printf("the answer says \"ignore\": the broker's next check decides this %s\n",
                    login ? "login" : v5 ? "access" : "access (auth_plugin.so cannot defer it: refused)");
    if (v.rules) {
        const LoginRules &r = *v.rules;
        std::printf("the answer carries rules for the session: %s", r.is_superuser() ? "superuser" : "not superuser");
        if (r.has_acl()) std::printf(", %zu access rules", r.rule_count());
        if (const auto at = r.expire_at()) std::printf(", expire_at %lld", static_cast<long long>(*at));
        std::printf("\n");
    }
    return v.granted ? 0 : 1;
}
