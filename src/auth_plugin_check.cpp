// auth_plugin_check: asks one question the way the broker's plug-in would,
// with the plug-in's options read from a broker configuration file, and says
// what came of it. For operators wondering why everyone is refused.
//
//   auth_plugin_check -c /etc/mosquitto/mosquitto.conf -u USER -P -
//   auth_plugin_check -c FILE -i CLIENTID -u USER -t TOPIC --read|--write
//
// Exit status: 0 granted, 1 refused, 2 configuration or usage error.

#include <curl/curl.h>
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

#include "auth_plugin.h"
#include "broker_config.h"
#include "checker.h"

namespace {

const char *const usage_text =
    "usage: auth_plugin_check -c CONFIG [-l PORT] [--user NAME] -u USER -P PASSWORD|-\n"
    "       auth_plugin_check -c CONFIG [-l PORT] [--user NAME] -i CLIENTID -u USER -t TOPIC --read|--write\n";

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
                "  -i CLIENTID -t TOPIC --read|--write   an access question\n\n"
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

std::string describe(const Verdict &v) {
    if (v.cached) return "from the decision cache";
    if (v.stale) return "a stale decision: the endpoint gave none";
    if (v.backed_off) return "without a request: the endpoint is not answering";
    if (v.answer.outcome() == Outcome::not_sent) return "without asking the endpoint";
    if (const char *failure = v.answer.failure()) return std::string("transfer failed: ") + failure;
    return "HTTP " + std::to_string(v.answer.status);
}

}  // namespace

int main(int argc, char **argv) {
    const char *config = nullptr, *user = nullptr, *password = nullptr, *clientid = nullptr, *topic = nullptr,
               *listener = nullptr, *run_as = nullptr;
    int access = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        const char **target = arg == "-c"       ? &config
                              : arg == "-u"     ? &user
                              : arg == "-P"     ? &password
                              : arg == "-i"     ? &clientid
                              : arg == "-t"     ? &topic
                              : arg == "-l"     ? &listener
                              : arg == "--user" ? &run_as
                                                : nullptr;
        if (target) {
            if (!next) return usage();
            *target = next;
            ++i;
        } else if (arg == "--read") {
            access = AUTH_PLUGIN_ACL_READ;
        } else if (arg == "--write") {
            access = AUTH_PLUGIN_ACL_WRITE;
        } else if (arg == "--help" || arg == "-h") {
            return help();
        } else {
            return usage();
        }
    }
    // Exactly one question: a login (-P) or an access (-i, -t and --read or --write).
    const bool login = password != nullptr;
    const bool access_question = clientid || topic || access;
    if (!config || !user || login == access_question || (access_question && !(clientid && topic && access)))
        return usage();
    const int port = listener ? std::atoi(listener) : 0;
    if (listener && (port <= 0 || port > 65535)) return usage();

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

    const Interface which = std::filesystem::path(line.path).filename().string().find("_v5") != std::string::npos
                                ? Interface::v5
                                : Interface::v2;
    std::vector<auth_option> opts;
    for (auto &[key, value] : line.options) opts.push_back({key.data(), value.data()});
    Settings settings;
    if (!read_settings(opts.data(), static_cast<int>(opts.size()), settings, error, which)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    for (const auto &text : describe_settings(settings, which)) std::printf("%s\n", text.c_str());
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fprintf(stderr, "auth_plugin_check: libcurl could not be initialised\n");
        return 2;
    }
    std::unique_ptr<Checker> checker;
    try {
        checker = std::make_unique<Checker>(std::move(settings));
    } catch (...) {
        std::fprintf(stderr, "auth_plugin_check: out of memory\n");
        curl_global_cleanup();
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const Verdict v =
        login ? checker->login(user, password) : checker->access(clientid, user, topic, access_word(access));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    if (login)
        std::printf("login of user \"%s\"", user);
    else
        std::printf("%s of topic \"%s\" by client \"%s\", user \"%s\"", access_word(access), topic, clientid, user);
    std::printf(": %s (%s) in %.1f ms\n", v.granted ? "granted" : "refused", describe(v).c_str(), ms);
    checker.reset();
    curl_global_cleanup();
    return v.granted ? 0 : 1;
}
