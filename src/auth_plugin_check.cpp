// auth_plugin_check: asks one question the way the broker's plug-in would,
// with the plug-in's options read from a broker configuration file, and says
// what came of it. For operators wondering why everyone is refused.
//
//   auth_plugin_check -c /etc/mosquitto/mosquitto.conf -u USER -P PASSWORD
//   auth_plugin_check -c FILE -i CLIENTID -u USER -t TOPIC --read|--write
//
// Exit status: 0 granted, 1 refused, 2 configuration or usage error.

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "auth_plugin.h"
#include "broker_config.h"
#include "checker.h"
#include "redact_url.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: auth_plugin_check -c CONFIG -u USER -P PASSWORD\n"
                 "       auth_plugin_check -c CONFIG -i CLIENTID -u USER -t TOPIC --read|--write\n");
    return 2;
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
    const char *config = nullptr, *user = nullptr, *password = nullptr, *clientid = nullptr, *topic = nullptr;
    int access = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char *next = i + 1 < argc ? argv[i + 1] : nullptr;
        const char **target = arg == "-c"   ? &config
                              : arg == "-u" ? &user
                              : arg == "-P" ? &password
                              : arg == "-i" ? &clientid
                              : arg == "-t" ? &topic
                                            : nullptr;
        if (target) {
            if (!next) return usage();
            *target = next;
            ++i;
        } else if (arg == "--read") {
            access = AUTH_PLUGIN_ACL_READ;
        } else if (arg == "--write") {
            access = AUTH_PLUGIN_ACL_WRITE;
        } else {
            return usage();
        }
    }
    // Exactly one question: a login (-P) or an access (-i, -t and --read or --write).
    const bool login = password != nullptr;
    const bool access_question = clientid || topic || access;
    if (!config || !user || login == access_question || (access_question && !(clientid && topic && access)))
        return usage();

    OptionList pairs;
    std::string error;
    if (!read_broker_config(config, pairs, error)) {
        std::fprintf(stderr, "auth_plugin_check: %s\n", error.c_str());
        return 2;
    }
    std::vector<auth_option> opts;
    for (auto &[key, value] : pairs) opts.push_back({key.data(), value.data()});
    Settings settings;
    if (!read_settings(opts.data(), static_cast<int>(opts.size()), settings, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        std::fprintf(stderr, "auth_plugin_check: libcurl could not be initialised\n");
        return 2;
    }
    std::unique_ptr<Checker> checker;
    try {
        checker = std::make_unique<Checker>(std::move(settings));
    } catch (...) {
        std::fprintf(stderr, "auth_plugin_check: out of memory\n");
        return 2;
    }
    const auto &url = login ? checker->settings().http_user_uri : checker->settings().http_acl_uri;
    const auto start = std::chrono::steady_clock::now();
    const Verdict v = login ? checker->login(user, password) : checker->access(clientid, user, topic, access_word(access));
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    if (login)
        std::printf("login of user \"%s\"", user);
    else
        std::printf("%s of topic \"%s\" by client \"%s\", user \"%s\"", access_word(access),
                    topic, clientid, user);
    std::printf(": %s (%s) in %.1f ms\n", v.granted ? "granted" : "refused", describe(v).c_str(), ms);
    std::printf("endpoint: %s\n", url ? (url->empty() ? "(empty: every such check refuses)" : redact_url(*url).c_str())
                                      : "(not set: decided without asking)");
    checker.reset();
    curl_global_cleanup();
    return v.granted ? 0 : 1;
}
