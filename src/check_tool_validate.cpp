// --validate: each plug-in line the broker would start, started through the
// libraries' own start-up (check_tool_start.h), with the broker's own rules
// about loading a library more than once and, for the version-5 library, how
// logins would be answered by the broker found; asks nothing.
#include "check_tool_validate.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "broker_config.h"
#include "check_tool_privileges.h"
#include "check_tool_start.h"
#include "login_route.h"

namespace check_tool {

namespace {

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

}  // namespace

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
    const bool any_ours = std::any_of(broker.plugins.begin(), broker.plugins.end(), loads_auth_plugin);
    std::vector<const PluginLine *> lines, v2, v5;
    for (const auto &p : broker.plugins) {
        if ((any_ours && !loads_auth_plugin(p)) || (args.port && p.listener != args.port)) continue;
        lines.push_back(&p);
        (loads_v5(p) ? v5 : v2).push_back(&p);
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

}  // namespace check_tool
