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

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "broker_config.h"
#include "certificate_subject.h"
#include "checker.h"
#include "decision_log.h"
#include "login_rules.h"
#include "questions.h"
#include "startup.h"

namespace {

const char *const usage_text =
    "usage: auth_plugin_check -c CONFIG [-l PORT] [--user NAME] [CLIENT] -u USER -P PASSWORD|-\n"
    "       auth_plugin_check -c CONFIG [-l PORT] [--user NAME] [CLIENT] -i CLIENTID -u USER -t TOPIC\n"
    "                         --read|--write|--subscribe|--unsubscribe [--qos N] [--retain true|false]\n"
    "  CLIENT: [-i CLIENTID] [--address IP] [--protocol-version 3|4|5] [--cert PEM-FILE]\n";

int usage() {
    std::fputs(usage_text, stderr);
    return 2;
}

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
                "                 (a subscription's TOPIC is its filter)\n"
                "  What the broker knows of the client, for the fields the options name\n"
                "  (http_login_fields, http_acl_fields); a field named without its flag is an error:\n"
                "  -i CLIENTID, --address IP, --protocol-version 3|4|5,\n"
                "  --cert PEM-FILE (its subject; '' for a client without a certificate),\n"
                "  --qos N and --retain true|false (the message's)\n\n"
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

// The flag each field is filled from; null when all are there.
const char *missing_flag(const std::vector<std::string> &fields, const FlagClient &client, const char *qos,
                         const char *retain) {
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

}  // namespace

int main(int argc, char **argv) {
    const char *config = nullptr, *password = nullptr, *topic = nullptr, *listener = nullptr, *run_as = nullptr,
               *qos = nullptr, *retain = nullptr;
    FlagClient client;
    Access access = Access::none;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        const char **target = arg == "-c"                   ? &config
                              : arg == "-u"                 ? &client.user
                              : arg == "-P"                 ? &password
                              : arg == "-i"                 ? &client.id
                              : arg == "-t"                 ? &topic
                              : arg == "-l"                 ? &listener
                              : arg == "--user"             ? &run_as
                              : arg == "--address"          ? &client.ip
                              : arg == "--protocol-version" ? &client.protocol
                              : arg == "--cert"             ? &client.cert
                              : arg == "--qos"              ? &qos
                              : arg == "--retain"           ? &retain
                                                            : nullptr;
        const Access named = arg == "--read"          ? Access::read
                             : arg == "--write"       ? Access::write
                             : arg == "--subscribe"   ? Access::subscribe
                             : arg == "--unsubscribe" ? Access::unsubscribe
                                                      : Access::none;
        if (target) {
            if (!next) return usage();
            *target = next;
            ++i;
        } else if (named != Access::none) {
            if (access != Access::none) return usage();
            access = named;
        } else if (arg == "--help" || arg == "-h") {
            return help();
        } else {
            return usage();
        }
    }
    // Exactly one question: a login (-P) or an access (-i, -t and what is done).
    const bool login = password != nullptr;
    const bool access_question = topic || access != Access::none || qos || retain;
    if (!config || !client.user || login == access_question ||
        (access_question && !(client.id && topic && access != Access::none)))
        return usage();
    const int port = listener ? std::atoi(listener) : 0;
    if (listener && (port <= 0 || port > 65535)) return usage();
    if (client.protocol && std::strcmp(client.protocol, "3") != 0 && std::strcmp(client.protocol, "4") != 0 &&
        std::strcmp(client.protocol, "5") != 0)
        return usage();
    if (qos && std::strcmp(qos, "0") != 0 && std::strcmp(qos, "1") != 0 && std::strcmp(qos, "2") != 0) return usage();
    if (retain && std::strcmp(retain, "true") != 0 && std::strcmp(retain, "false") != 0) return usage();

    std::string typed;
    if (login && std::strcmp(password, "-") == 0) {
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

    const bool v5 = std::filesystem::path(line.path).filename().string().find("_v5") != std::string::npos;
    std::vector<auth_option> opts;
    for (auto &[key, value] : line.options) opts.push_back({key.data(), value.data()});
    std::unique_ptr<CurlGlobal> curl;
    std::unique_ptr<Checker> checker;
    StartUp started;
    const auto build = [&](Settings settings) {
        curl = std::make_unique<CurlGlobal>();
        checker = std::make_unique<Checker>(std::move(settings));
    };
    if (!start_up(opts.data(), static_cast<int>(opts.size()), v5 ? Interface::v5 : Interface::v2, build, nullptr,
                  started)) {
        std::fprintf(stderr, "%s\n", started.error.empty() ? "auth_plugin: out of memory" : started.error.c_str());
        return 2;
    }
    for (const auto &text : started.lines) std::printf("%s\n", text.c_str());
    const Settings &settings = checker->settings();
    if (v5) {
        if (const char *flag = missing_flag(login ? settings.http_login_fields : settings.http_acl_fields, client,
                                            qos, retain)) {
            std::fprintf(stderr, "auth_plugin_check: %s names a field this question needs %s for\n",
                         login ? "http_login_fields" : "http_acl_fields", flag);
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

    const auto start = std::chrono::steady_clock::now();
    Verdict v;
    const char *why_not_asked = nullptr;  // the broker's own rules for the older interface
    if (login) {
        v = v5 ? ask_login(*checker, client, client.user, password) : checker->login({client.user, password});
    } else if (v5) {
        const MessageFacts message{qos ? std::atoi(qos) : 0, retain && std::strcmp(retain, "true") == 0};
        if (!password || !settings.http_login_rules) {
            v = ask_access(*checker, client, topic, access, message);
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
                v = ask_access(*checker, client, topic, access, message);
            }
        }
    } else if (access == Access::subscribe || access == Access::unsubscribe) {
        why_not_asked = "the broker grants subscriptions itself and asks auth_plugin.so only about each message";
        v.granted = true;
    } else if (has_wildcard(client.id) || has_wildcard(client.user)) {
        why_not_asked = "the broker refuses access for client ids and user names with + or # without asking";
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
    if (v.deferred) std::printf("the answer says \"ignore\": the broker's next check decides this login\n");
    if (v.rules) {
        const LoginRules &r = *v.rules;
        std::printf("the answer carries rules for the session: %s", r.is_superuser() ? "superuser" : "not superuser");
        if (r.has_acl()) std::printf(", %zu access rules", r.rule_count());
        if (const auto at = r.expire_at()) std::printf(", expire_at %lld", static_cast<long long>(*at));
        std::printf("\n");
    }
    return v.granted ? 0 : 1;
}
