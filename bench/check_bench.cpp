// What one check costs, next to the floor of the same exchange.
//
//   check_bench [--rounds R] [--count N] [--svg FILE]
//       alternates every variant R times, N requests each, against its own
//       epoll endpoint in a child process, and prints medians and ratios.
//   check_bench [--port P] [--rules N] --server
//       only the endpoint: prints its port, serves until killed (SIGUSR1:
//       print the requests answered, and the logins among them; SIGUSR2:
//       stop or start answering). --rules answers each login with N JSON
//       login rules, those for the topic `bench` last.
//   check_bench --port P --blackhole
//       a listener on P at which connections never complete.
//   check_bench --instructions VARIANT --port P [--count N]
//       N requests of one variant with callgrind's collection on around them
//       (run under valgrind --tool=callgrind --collect-atstart=no).

#include <arpa/inet.h>
#include <curl/curl.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "http_server.h"
#include "loaded_plugin.h"

namespace {

using Clock = std::chrono::steady_clock;
const char *const user_body = "username=alice&password=secret";

struct Plugin : LoadedPlugin {
    std::string user_url, acl_url;

    explicit Plugin(int port)
        : user_url("http://127.0.0.1:" + std::to_string(port) + "/user"),
          acl_url("http://127.0.0.1:" + std::to_string(port) + "/acl") {}
    void configure(bool keepalive) {
        LoadedPlugin::configure(
            {{"http_user_uri", user_url}, {"http_acl_uri", acl_url}, {"http_keepalive", keepalive ? "true" : "false"}});
    }
};

// The floor: a new TCP connection per request, the same bytes libcurl sends.
bool plain_socket(int port, bool keep, int &fd) {
    static thread_local std::string request;
    if (request.empty()) {
        std::ostringstream r;
        r << "POST /user HTTP/1.1\r\nHost: 127.0.0.1:" << port
          << "\r\nAccept: */*\r\nContent-Length: " << std::strlen(user_body)
          << "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" << user_body;
        request = r.str();
    }
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return close(fd), fd = -1, false;
    }
    bool ok = write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size());
    char buf[512];
    std::string got;
    while (ok && got.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) ok = false;
        else got.append(buf, static_cast<std::size_t>(n));
    }
    ok = ok && got.compare(0, 12, "HTTP/1.1 200") == 0;
    if (!keep || !ok) close(fd), fd = -1;
    return ok;
}

size_t discard(char *, size_t size, size_t nmemb, void *) { return size * nmemb; }

// A bare libcurl loop: a fresh handle per request, the plug-in's options.
bool bare_curl(const std::string &url) {
    CURL *h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, user_body);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(std::strlen(user_body)));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
    long status = 0;
    CURLcode rc = curl_easy_perform(h);
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(h);
    return rc == CURLE_OK && status == 200;
}

struct Variant {
    std::string name;
    bool keepalive;  // the plug-in mode it needs, for the plug-in's variants
    std::function<bool()> once;
};

std::vector<Variant> variants(Plugin &plugin, int port) {
    return {
        {"floor: socket, new connection", false, [port] { int fd = -1; return plain_socket(port, false, fd); }},
        {"bare libcurl, new handle", false, [&plugin] { return bare_curl(plugin.user_url); }},
        {"plug-in credential check", false, [&plugin] { return plugin.unpwd(nullptr, "alice", "secret") == 0; }},
        {"plug-in access check", false, [&plugin] { return plugin.acl(nullptr, "dev-1", "alice", "home/kitchen/light", 2) == 0; }},
        {"plug-in credential, keepalive", true, [&plugin] { return plugin.unpwd(nullptr, "alice", "secret") == 0; }},
        {"plug-in access, keepalive", true, [&plugin] { return plugin.acl(nullptr, "dev-1", "alice", "home/kitchen/light", 2) == 0; }},
        {"endpoint capacity: one open socket", false, [port] {
             static thread_local int fd = -1;
             return plain_socket(port, true, fd);
         }},
    };
}

// n access rules as a login's answer: n - 2 on other topics, in the shapes
// deployments use (text per site, placeholders, a first-level '+' that every
// check must try), then publish and subscribe on `bench`, so that each check
// of the broker benchmark is decided by the last rules of the list.
std::string login_rules(int n) {
    std::string acl;
    for (int i = 0; i < n - 2; ++i) {
        struct Shape {
            const char *action, *before, *after;  // the topic: before, a site's number, after
        };
        static const Shape shapes[] = {
            {"publish", "site/", "/+/telemetry"},
            {"subscribe", "site/", "/cmd/#"},
            {"all", "users/${username}/", "/#"},
            {"publish", "+/status/", ""},
        };
        const Shape &shape = shapes[i % 4];
        acl += std::string(R"({"permission":"allow","action":")") + shape.action + R"(","topic":")" + shape.before +
               std::to_string(i / 4) + shape.after + R"("},)";
    }
    acl += R"({"permission":"allow","action":"publish","topic":"bench"},)"
           R"({"permission":"allow","action":"subscribe","topic":"bench"})";
    return R"({"result":"allow","is_superuser":false,"acl":[)" + acl + "]}";
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Client-side sockets toward the endpoint now in TIME_WAIT.
int time_wait_sockets(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char want[8];
    std::snprintf(want, sizeof want, "%04X", port);
    int count = 0;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, state;
        f >> sl >> local >> remote >> state;
        if (state == "06" && remote.substr(remote.find(':') + 1) == want) ++count;
    }
    return count;
}

struct Result {
    std::vector<double> round_us;  // mean µs per check, one per round
    std::vector<double> latency_us;
    int failures = 0;
};

void run_round(const Variant &v, int count, int threads, Result &r) {
    std::vector<std::vector<double>> lat(static_cast<std::size_t>(threads));
    std::vector<int> failed(static_cast<std::size_t>(threads), 0);
    auto start = Clock::now();
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < count / threads; ++i) {
                auto a = Clock::now();
                if (!v.once()) ++failed[static_cast<std::size_t>(t)];
                lat[static_cast<std::size_t>(t)].push_back(
                    std::chrono::duration<double, std::micro>(Clock::now() - a).count());
            }
        });
    for (auto &t : pool) t.join();
    double total = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    r.round_us.push_back(total / count);
    for (auto &l : lat) r.latency_us.insert(r.latency_us.end(), l.begin(), l.end());
    for (int f : failed) r.failures += f;
}

void write_svg(const std::string &path, const std::vector<std::pair<std::string, double>> &bars, double floor) {
    double top = 0;
    for (auto &b : bars) top = std::max(top, b.second);
    const int w = 760, left = 260, bar_h = 26, h = 60 + bar_h * static_cast<int>(bars.size());
    std::ofstream svg(path);
    svg << "<svg xmlns='http://www.w3.org/2000/svg' width='" << w << "' height='" << h
        << "' font-family='sans-serif' font-size='13'>\n<rect width='100%' height='100%' fill='white'/>\n"
        << "<text x='10' y='22' font-size='15'>Cost per check, one thread (median \xc2\xb5s; lower is better)</text>\n";
    auto x = [&](double v) { return left + (w - left - 80) * v / top; };
    int y = 40;
    for (auto &b : bars) {
        svg << "<text x='" << left - 8 << "' y='" << y + 17 << "' text-anchor='end'>" << b.first << "</text>\n"
            << "<rect x='" << left << "' y='" << y + 4 << "' width='" << x(b.second) - left << "' height='"
            << bar_h - 8 << "' fill='#4a78b0'/>\n<text x='" << x(b.second) + 6 << "' y='" << y + 17 << "'>"
            << static_cast<int>(b.second) << " \xc2\xb5s</text>\n";
        y += bar_h;
    }
    svg << "<line x1='" << x(floor) << "' y1='36' x2='" << x(floor) << "' y2='" << y + 4
        << "' stroke='#c03030' stroke-dasharray='4 3'/>\n<text x='" << x(floor) + 4 << "' y='" << y + 18
        << "' fill='#c03030'>floor</text>\n</svg>\n";
}

int benchmark(int rounds, int count, const std::string &svg) {
    bench::ServerProcess server;
    Plugin plugin(server.port());
    auto all = variants(plugin, server.port());

    std::printf("Each figure: median over %d alternated rounds of %d requests; endpoint in a child process.\n\n",
                rounds, count);
    for (int threads : {1, 2}) {
        std::map<std::string, Result> results;
        for (auto &v : all) v.once();  // warm up: libcurl, the endpoint, the page cache
        for (int r = 0; r < rounds; ++r)
            for (auto &v : all) {
                plugin.configure(v.keepalive);
                run_round(v, count, threads, results[v.name]);
            }
        double floor = median(results[all[0].name].round_us), curl = median(results[all[1].name].round_us);
        std::printf("%d thread%s                        checks/s   median \xc2\xb5s   p99 \xc2\xb5s   vs floor   vs libcurl  failed\n",
                    threads, threads > 1 ? "s" : " ");
        std::vector<std::pair<std::string, double>> bars;
        for (auto &v : all) {
            auto &r = results[v.name];
            double per = median(r.round_us);
            std::printf("  %-36s %8.0f %10.1f %8.1f %9.2fx %10.2fx %6d\n", v.name.c_str(), 1e6 / per,
                        median(r.latency_us), percentile(r.latency_us, 0.99), per / floor, per / curl, r.failures);
            bars.emplace_back(v.name, median(r.latency_us));
        }
        std::printf("\n");
        if (threads == 1 && !svg.empty()) write_svg(svg, bars, median(results[all[0].name].latency_us));
    }

    // Sockets left in TIME_WAIT by a sustained run in each mode, each toward
    // an endpoint of its own so that earlier runs do not count.
    for (bool keepalive : {false, true}) {
        bench::ServerProcess own;
        Plugin p(own.port());
        p.configure(keepalive);
        for (int i = 0; i < 2000; ++i) p.unpwd(nullptr, "alice", "secret");
        std::printf("TIME_WAIT sockets toward the endpoint after 2000 checks, %-16s %d\n",
                    keepalive ? "keepalive:" : "new connection:", time_wait_sockets(own.port()));
    }
    plugin.configure(false);

    // The first check after initialisation against the next one.
    std::vector<double> first, second;
    for (int i = 0; i < 21; ++i) {
        plugin.configure(false);
        for (auto *samples : {&first, &second}) {
            auto a = Clock::now();
            plugin.unpwd(nullptr, "alice", "secret");
            samples->push_back(std::chrono::duration<double, std::micro>(Clock::now() - a).count());
        }
    }
    std::printf("first check after init: median %.1f \xc2\xb5s; the check after it: %.1f \xc2\xb5s (ratio %.2f)\n",
                median(first), median(second), median(first) / median(second));
    plugin.cleanup(nullptr, nullptr, 0);
    return 0;
}

int instructions(const std::string &name, int port, int count) {
    Plugin plugin(port);
    for (auto &v : variants(plugin, port)) {
        if (v.name.find(name) == std::string::npos) continue;
        plugin.configure(v.keepalive);
        v.once();  // warm up outside the measurement
        CALLGRIND_TOGGLE_COLLECT;
        for (int i = 0; i < count; ++i) v.once();
        CALLGRIND_TOGGLE_COLLECT;
        plugin.cleanup(nullptr, nullptr, 0);
        std::printf("%s: %d requests\n", v.name.c_str(), count);
        return 0;
    }
    std::fprintf(stderr, "no variant named like '%s'\n", name.c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = 7, count = 400, port = 0, rules = 0;
    std::string svg, measure;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (a == "--rounds") rounds = std::atoi(next().c_str());
        else if (a == "--count") count = std::atoi(next().c_str());
        else if (a == "--svg") svg = next();
        else if (a == "--port") port = std::atoi(next().c_str());
        else if (a == "--rules") rules = std::atoi(next().c_str());
        else if (a == "--instructions") measure = next();
        else if (a == "--blackhole") bench::blackhole(port);
        else if (a == "--server") {
            if (rules == 1 || rules < 0 || rules > 1000) return 2;  // room for the two on `bench`; the reader's limit
            int fd = bench::listen_loopback(port);
            std::printf("%d\n", port);
            std::fflush(stdout);
            bench::serve(fd, rules >= 2 ? bench::json_answer(login_rules(rules)) : std::string());
        } else {
            std::fprintf(stderr, "usage: see the comment at the top of check_bench.cpp\n");
            return 2;
        }
    }
    if (rounds < 1 || count < 2) return 2;
    return measure.empty() ? benchmark(rounds, count, svg) : instructions(measure, port, count);
}
