// The check tool's input: its flags, each value checked against what it
// accepts (a wrong one names its flag), --help and --version, and a password
// typed on standard input.
#include "check_tool_args.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iostream>

#include "certificate_subject.h"
#include "settings.h"

namespace check_tool {

const char *const usage_text =
    "usage: auth_plugin_check -c CONFIG [-l PORT] [--user NAME] [CLIENT] -u USER -P PASSWORD|-\n"
    "       auth_plugin_check -c CONFIG [-l PORT] [--user NAME] [CLIENT] -i CLIENTID -u USER -t TOPIC\n"
    "                         --read|--write|--subscribe|--unsubscribe [--qos N] [--retain true|false]\n"
    "  CLIENT: [-i CLIENTID] [--address IP] [--protocol-version 3|4|5] [--cert PEM-FILE]\n"
    "  --show-request: also print each request as it is sent (the password as ***)\n"
    "       auth_plugin_check -c CONFIG [-l PORT] [--user NAME] [--broker PATH] --validate\n"
    "       auth_plugin_check --version\n";

namespace {

void help() {
    std::printf("%s\n"
                "Asks the plug-in's endpoint one question, as the broker would, with the options of the\n"
                "plug-in line in CONFIG, and says what came of it. Exit status: 0 granted, 1 refused,\n"
                "2 configuration or usage error, 3 handed on: the answer says \"ignore\" and, with\n"
                "auth_plugin_v5.so, the broker's other checks decide (on Mosquitto 2.1 a login answered\n"
                "later is refused instead, unless http_async_logins is false; auth_plugin.so refuses: 1).\n\n"
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
                "  --show-request print each request just before it is sent (with login rules, an\n"
                "                 access question's login first): method, URL, headers, body; the\n"
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
}

bool one_of(const char *value, std::initializer_list<const char *> accepted) {
    for (const char *ok : accepted)
        if (std::strcmp(value, ok) == 0) return true;
    return false;
}

}  // namespace

std::string FlagClient::certificate_subject() const { return *cert ? subject_of_pem_file(cert) : ""; }

MessageFacts Args::message() const { return {qos ? std::atoi(qos) : 0, retain && std::strcmp(retain, "true") == 0}; }

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

const char *missing_flag(const std::vector<std::string> &fields, Uses uses, const Args &a) {
    const bool login = a.login();
    const FlagClient &client = a.client;
    // The broker asks about an unsubscription with qos 0 and retain false;
    // for a message, the flags give them.
    const bool unsubscribing = a.access == Access::unsubscribe;
    const bool qos = a.qos || unsubscribing, retain = a.retain || unsubscribing;
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

}  // namespace check_tool
