// What the optional features cost and save, through the loaded plug-in:
// a decision-cache hit against an exchange over a kept connection, the
// memory one cache entry takes (with and without a login's rules), and a check over a Unix domain socket
// against one over TCP loopback, in both connection modes; and one access
// check decided by 100 login rules against one decision-cache hit; and a
// cache hit with the broker's debug level off and on (one line per decision);
// and each check with a JSON body template against the same with the form,
// side by side, over a kept connection and from the cache (where building
// the request is most of the plug-in's work).
//
//   feature_bench [--rounds R] [--count N] [--entries E] [--rules-only | --memory-only]

#include <malloc.h>
#include <stdarg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "decision_cache.h"
#include "json_answer.h"
#include "login_rules.h"
#include "http_server.h"
#include "loaded_plugin.h"

// The broker's log function, as the library finds it in a broker: a line of
// a level that log_type leaves out is dropped before it is formatted.
bool debug_on = false;
extern "C" __attribute__((visibility("default"))) void mosquitto_log_printf(int level, const char *fmt, ...) {
    if (level == 0x10 && !debug_on) return;
    char line[1000];
    va_list va;
    va_start(va, fmt);
    std::vsnprintf(line, sizeof line, fmt, va);
    va_end(va);
}

namespace {

using Clock = std::chrono::steady_clock;

using Plugin = LoadedPlugin;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// What the heap holds: in use from its arenas, and mapped on its own.
std::size_t heap_in_use() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// An answer's acl of n rules, as a fleet's may have them (about 80 bytes of
// JSON each), told apart by tag.
std::string acl_of(int n, std::size_t tag) {
    std::string acl = R"({"is_superuser":false,"acl":[)";
    for (int i = 0; i < n; ++i)
        acl += std::string(i ? "," : "") + R"({"permission":"allow","action":"publish","topic":"site/${clientid}/room)" +
               std::to_string(i) + "/" + std::to_string(tag % 1000) + R"(/+"})";
    return acl + "]}";
}

// Bytes per entry of a cache of n entries, stored as the plug-in stores a
// login (with a user tag), each with its own rules of this many (0: none):
// what the heap holds, and what the cache counts against its budget.
struct Held {
    double heap, counted;
};
Held bytes_per_entry(std::size_t n, int rules) {
    Answer a;
    a.attempted = a.headers_ended = true;
    a.transfer = CURLE_OK;
    a.status = 200;
    const std::size_t before = heap_in_use();
    Held held{};
    {
        DecisionCache cache(60000, n, 0, SIZE_MAX);  // bounded by the count only, to be filled
        const auto now = DecisionCache::Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            const std::string body = "username=user" + std::to_string(i) + "&password=secret&clientid=c" + std::to_string(i);
            DecisionCache::Digest key;
            if (!cache.digest("http://127.0.0.1/user", body.c_str(), body.size(), key)) std::abort();
            std::optional<DecisionCache::Decision> said;
            if (rules > 0) {
                said.emplace();
                said->granted = true;
                said->rules = read_json_body(acl_of(rules, i)).rules;
                if (!said->rules || said->rules->rule_count() != static_cast<std::size_t>(rules)) std::abort();
            }
            cache.store(key, a, now, std::nullopt, i + 1, said);  // the cache holds the rules alone
        }
        if (cache.size() != n) std::abort();
        held.heap = static_cast<double>(heap_in_use() - before) / static_cast<double>(n);
        held.counted = static_cast<double>(cache.bytes()) / static_cast<double>(n);
    }
    return held;
}

// Heap and counted bytes per entry, without rules and with 100 and 700 (an
// answer of about 60 KB).
void cache_memory(std::size_t entries) {
    std::printf("%-42s %12s %9s\n", "decision cache, per entry", "heap bytes", "counted");
    const struct {
        const char *name;
        std::size_t n;
        int rules;
    } kinds[] = {{"no rules", entries, 0}, {"100 rules", 1000, 100}, {"700 rules", 200, 700}};
    for (const auto &k : kinds) {
        const Held held = bytes_per_entry(k.n, k.rules);
        std::printf("%-42s %12.0f %9.0f  (%zu entries: %.1f MiB held, %.1f MiB counted)\n", k.name, held.heap,
                    held.counted, k.n, held.heap * static_cast<double>(k.n) / 1048576.0,
                    held.counted * static_cast<double>(k.n) / 1048576.0);
    }
    std::printf("%-42s %12.1f MiB\n", "budget when http_cache_bytes is unset",
                static_cast<double>(DecisionCache::default_budget(entries)) / 1048576.0);
}

// One access check decided by 100 rules against one decision-cache hit
// (the digest of URL and form, and the look-up). The last rule matches, so
// that all are tried, with placeholders and wildcards as a fleet's rules
// have them: once with first levels that differ from the topic's, once with
// the first two levels the topic's own, so that each rule is followed into
// its third level; and, as the worst case, rules alike in their first four
// levels (text, placeholder, wildcard, text) and as deep as the topic,
// which neither the index nor the depth tells apart. Median ns of rounds,
// alternated.
void rules_against_cache(int rounds, int count) {
    auto rules_with = [](const char *prefix, const char *suffix = "/+") {
        std::string acl;
        for (int i = 0; i < 99; ++i)
            acl += std::string(R"({"permission":"allow","action":"publish","topic":")") + prefix + "room" +
                   std::to_string(i) + suffix + R"("},)";
        acl += R"({"permission":"allow","action":"publish","topic":"home/${username}/#","qos":[0,1]})";
        RulesRead read = read_json_body(R"({"acl":[)" + acl + "]}");
        if (!read.rules || read.rules->rule_count() != 100) throw std::runtime_error(read.error);
        return read.rules;
    };
    const auto apart = rules_with("site/${clientid}/"), alike = rules_with("home/${username}/"),
               worst = rules_with("home/${username}/+/x/", "");

    DecisionCache cache(60000, 1000);
    const std::string url = "http://127.0.0.1:8080/acl";
    const std::string body = "clientid=dev1&username=alice&topic=home%2Falice%2Fkitchen%2Flight&access=write";
    Answer granted;
    granted.attempted = granted.headers_ended = true;
    granted.transfer = CURLE_OK;
    granted.status = 200;
    DecisionCache::Digest key;
    if (!cache.digest(url, body.c_str(), body.size(), key)) std::abort();
    cache.store(key, granted, DecisionCache::Clock::now());

    std::vector<double> apart_ns, alike_ns, worst_ns, cache_ns;
    auto time_rules = [&](const LoginRules &rules, std::vector<double> &ns,
                          const char *topic = "home/alice/kitchen/light") {
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i)
            if (rules.decide(Access::write, topic, 1, false, "alice", "dev1") !=
                LoginRules::Match::allow)
                throw std::runtime_error("rules: not allowed");
        ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count);
    };
    for (int r = 0; r < rounds; ++r) {
        time_rules(*apart, apart_ns);
        time_rules(*alike, alike_ns);
        time_rules(*worst, worst_ns, "home/alice/kitchen/x/light");
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            DecisionCache::Digest k;
            const auto kept = cache.digest(url, body.c_str(), body.size(), k)
                                  ? cache.find(k, DecisionCache::Clock::now())
                                  : std::nullopt;
            if (!kept || !kept->granted) throw std::runtime_error("cache: no hit");
        }
        cache_ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count);
    }
    std::printf("%-42s %12.0f\n", "access, 100 rules, first levels differ", median(apart_ns));
    std::printf("%-42s %12.0f\n", "access, 100 rules, first two levels alike", median(alike_ns));
    std::printf("%-42s %12.0f\n", "access, 100 rules, alike but the fifth", median(worst_ns));
    std::printf("%-42s %12.0f\n", "access, decision cache hit (look-up)", median(cache_ns));
    std::printf("%-42s %11.2fx\n", "100 rules (differ) / cache hit", median(apart_ns) / median(cache_ns));
    std::printf("%-42s %11.2fx\n", "100 rules (alike) / cache hit", median(alike_ns) / median(cache_ns));
    std::printf("%-42s %11.2fx\n", "100 rules (but the fifth) / cache hit", median(worst_ns) / median(cache_ns));
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 15, count = 2000;
    std::size_t entries = 100000;
    bool rules_only = false, memory_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rules-only" || a == "--memory-only") {
            (a == "--rules-only" ? rules_only : memory_only) = true;
            continue;
        }
        if (i + 1 >= argc) break;
        ++i;
        if (a == "--rounds") rounds = std::atoi(argv[i]);
        else if (a == "--count") count = std::atoi(argv[i]);
        else if (a == "--entries") entries = static_cast<std::size_t>(std::atol(argv[i]));
    }
    if (memory_only) {
        cache_memory(entries);
        return 0;
    }
    if (rules_only) {
        std::printf("%-42s %12s\n", "median of rounds", "ns/check");
        rules_against_cache(rounds, count * 50);
        return 0;
    }
    bench::ServerProcess tcp;
    const std::string socket_path = "/tmp/auth_plugin_bench." + std::to_string(getpid()) + ".sock";
    bench::ServerProcess unix_socket(socket_path);
    const std::string tcp_base = "http://127.0.0.1:" + std::to_string(tcp.port());
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    auto tcp_options = [&](const char *keepalive, const char *cache_ms) {
        return Pairs{{"http_user_uri", tcp_base + "/user"}, {"http_acl_uri", tcp_base + "/acl"},
                     {"http_keepalive", keepalive}, {"http_cache_ms", cache_ms}};
    };
    // The form's own fields, sent as a JSON template instead.
    auto json_options = [&](const char *cache_ms) {
        Pairs p = tcp_options("true", cache_ms);
        p.emplace_back("http_user_body", R"({"username": "${username}", "password": "${password}"})");
        p.emplace_back("http_acl_body",
                       R"({"clientid": "${clientid}", "username": "${username}", "topic": "${topic}", "action": "${action}"})");
        return p;
    };
    auto unix_options = [&](const char *keepalive) {
        return Pairs{{"http_user_uri", "http://localhost/user"}, {"http_acl_uri", "http://localhost/acl"},
                     {"http_keepalive", keepalive}, {"http_unix_socket", socket_path}};
    };
    Plugin plugin;
    struct Variant {
        const char *name;
        Pairs options;
        bool acl;
        std::vector<double> ns;
    } variants[] = {
        {"credential check, exchange (keepalive)", tcp_options("true", "0"), false, {}},
        {"credential check, cache hit", tcp_options("true", "60000"), false, {}},
        {"access check, exchange (keepalive)", tcp_options("true", "0"), true, {}},
        {"access check, cache hit", tcp_options("true", "60000"), true, {}},
        {"TCP loopback, new connection", tcp_options("false", "0"), false, {}},
        {"Unix socket, new connection", unix_options("false"), false, {}},
        {"TCP loopback, keepalive", tcp_options("true", "0"), false, {}},
        {"Unix socket, keepalive", unix_options("true"), false, {}},
        {"access check, cache hit, debug level on", tcp_options("true", "60000"), true, {}},
        {"credential check, exchange, JSON template", json_options("0"), false, {}},
        {"credential check, cache hit, JSON template", json_options("60000"), false, {}},
        {"access check, exchange, JSON template", json_options("0"), true, {}},
        {"access check, cache hit, JSON template", json_options("60000"), true, {}},
    };
    for (int r = 0; r < rounds; ++r) {
        for (auto &v : variants) {  // alternated, so that drift hits all alike
            plugin.configure(v.options);
            debug_on = &v == &variants[8];
            auto check = [&] {
                return v.acl ? plugin.acl(nullptr, "dev1", "alice", "home/kitchen/light", 1)
                             : plugin.unpwd(nullptr, "alice", "secret");
            };
            if (check() != 0) throw std::runtime_error(std::string("warm-up refused: ") + v.name);
            const auto start = Clock::now();
            for (int i = 0; i < count; ++i)
                if (check() != 0) throw std::runtime_error("refused");
            v.ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() / count);
        }
    }
    plugin.cleanup(nullptr, nullptr, 0);
    auto m = [&](int i) { return median(variants[i].ns); };
    std::printf("%-42s %12s\n", "median of rounds", "ns/check");
    for (int i = 0; i < 13; ++i) std::printf("%-42s %12.0f\n", variants[i].name, m(i));
    std::printf("%-42s %11.1fx\n", "credential: exchange / hit", m(0) / m(1));
    std::printf("%-42s %11.1fx\n", "access: exchange / hit", m(2) / m(3));
    std::printf("%-42s %11.2fx\n", "new connection: Unix socket / TCP", m(5) / m(4));
    std::printf("%-42s %11.2fx\n", "keepalive: Unix socket / TCP", m(7) / m(6));
    std::printf("%-42s %11.2fx\n", "cache hit: debug level on / off", m(8) / m(3));
    std::printf("%-42s %11.2fx\n", "credential exchange: JSON / form", m(9) / m(0));
    std::printf("%-42s %11.2fx\n", "credential cache hit: JSON / form", m(10) / m(1));
    std::printf("%-42s %11.2fx\n", "access exchange: JSON / form", m(11) / m(2));
    std::printf("%-42s %11.2fx\n", "access cache hit: JSON / form", m(12) / m(3));
    cache_memory(entries);
    rules_against_cache(rounds, count * 50);
    return 0;
}
