// What the optional features cost and save, through the loaded plug-in:
// a decision-cache hit against an exchange over a kept connection, the
// memory one cache entry takes, and a check over a Unix domain socket
// against one over TCP loopback, in both connection modes.
//
//   feature_bench [--rounds R] [--count N] [--entries E]

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "decision_cache.h"
#include "http_server.h"
#include "loaded_plugin.h"

namespace {

using Clock = std::chrono::steady_clock;

using Plugin = LoadedPlugin;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Bytes the heap holds per entry, for a full cache of n entries.
double bytes_per_entry(std::size_t n) {
    const std::size_t before = mallinfo2().uordblks;
    double per = 0;
    {
        DecisionCache cache(60000, n);
        Answer a;
        a.attempted = a.headers_ended = true;
        a.transfer = CURLE_OK;
        a.status = 200;
        const auto now = DecisionCache::Clock::now();
        for (std::size_t i = 0; i < n; ++i) {
            const std::string body = "username=user" + std::to_string(i) + "&password=secret";
            DecisionCache::Digest key;
            if (!cache.digest("http://127.0.0.1/user", body.c_str(), body.size(), key)) std::abort();
            cache.store(key, a, now);
        }
        per = static_cast<double>(mallinfo2().uordblks - before) / static_cast<double>(cache.size());
    }
    return per;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 15, count = 2000;
    std::size_t entries = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--rounds") rounds = std::atoi(argv[i + 1]);
        else if (a == "--count") count = std::atoi(argv[i + 1]);
        else if (a == "--entries") entries = static_cast<std::size_t>(std::atol(argv[i + 1]));
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
    };
    for (int r = 0; r < rounds; ++r) {
        for (auto &v : variants) {  // alternated, so that drift hits all alike
            plugin.configure(v.options);
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
    for (int i = 0; i < 8; ++i) std::printf("%-42s %12.0f\n", variants[i].name, m(i));
    std::printf("%-42s %11.1fx\n", "credential: exchange / hit", m(0) / m(1));
    std::printf("%-42s %11.1fx\n", "access: exchange / hit", m(2) / m(3));
    std::printf("%-42s %11.2fx\n", "new connection: Unix socket / TCP", m(5) / m(4));
    std::printf("%-42s %11.2fx\n", "keepalive: Unix socket / TCP", m(7) / m(6));
    std::printf("%-42s %12.0f  (%zu entries: %.1f MiB)\n", "heap bytes per cache entry", bytes_per_entry(entries),
                entries, bytes_per_entry(entries) * static_cast<double>(entries) / 1048576.0);
    return 0;
}
