// Logins at scale through the real broker: N clients connect at once, each
// with its own user name, against an endpoint that answers every request
// after a fixed latency (many at once, keep-alive). Prints how long until all
// were answered and the worst round trip a connected client's PINGREQ saw
// meanwhile. With --reload, the N clients stay connected, one user is then
// revoked and the broker gets SIGHUP: prints how long the broker was frozen
// and how long until the revoked client was gone, and how many others stayed.
// With --hung the endpoint never answers: prints the share of a core the
// broker used over 3 s while the N logins wait. With --beside, N logins one
// at a time, each CONNECT followed at once by another client's PINGREQ:
// prints the median and worst time to CONNACK. With --control (the library's
// http_control on, and an access URL at the same endpoint), once all are in:
// a recheck of one user (the requests it cost, counting the access check of
// the command itself, and the worst ping meanwhile), a disconnect of one user
// (how long until its connection closed), a forget of one user, and one
// message of 1,000 re-checks of everyone (the requests, the worst ping).
// With --flood, the endpoint hangs while CLIENTS clients each send CONNECT
// (their own user, a wrong password) and close at once; it hangs on for
// two of the plug-in's time-outs (http_timeout_ms, given among the option
// lines; 1000 if not), then answers again (those it held too), and one real
// client logs in: prints the requests the endpoint got while it hung, per
// time-out, how many reached it for a login older than the time-out, and
// how long the real login took. --flood-lost: the flood is spread over the
// hang, and what the endpoint held is never answered (only new requests are
// once it recovers), as an endpoint that lost them.
// With --hostile=KIND:N, N hostile clients loop logins (each waiting for its
// CONNACK, a fresh client id each time) as users the endpoint refuses after
// 2 s (slow), never answers (hung) or answers 429 (limited: one user), and
// 2 s later CLIENTS normal logins arrive one every 10 ms: prints how many of
// those were refused and their p50/p90/max time to CONNACK (none:0: alone).
//
// An option line "http_user_uri URL" sends the logins to another endpoint
// (for a storm only: the other figures count our endpoint's requests).
//
// With --tokens[=ALG] (a storm only), each client logs in with its own signed
// token (ALG: RS256, the default, with a 2048-bit key; ES256; EdDSA; HS256),
// made before the storm, and the plug-in verifies them against the key set
// the endpoint serves at /jwks (http_jwt_jwks_uri; HS256: a secret in a file,
// http_jwt_secret_file), claims {"sub": "${username}"}, with no
// http_user_uri: no exchange per login.
//
// With --again (a storm only), once the storm is in, every client closes and
// the same clients connect again, as a fleet reconnecting to a broker that
// has seen it: a second line, "again:", with the same figures.
//
// Connections are opened paced to the broker's accept queue (it listens with
// a backlog of 100): more at once would measure the kernel's SYN retries.
//
// With --bare, no broker: bare libcurl makes the storm's CLIENTS exchanges
// to the same endpoint (bare_exchanges.h), keeping connections when the
// option lines say "http_keepalive true"; prints its time and CPU per request.
//
//   login_storm BROKER PLUGIN|none LATENCY_MS CLIENTS [--reload|--hung|--beside|--control|--flood|--flood-lost|
//               --hostile=KIND:N|--tokens[=ALG]] [--again] [plugin option lines...]
//   login_storm --bare LATENCY_MS CLIENTS [http_keepalive true]

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bare_exchanges.h"
#include "http_server.h"
#include "mqtt_client.h"
#include "token_signing.h"

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The endpoint: answers each complete request after latency; 403 to a user
// named "revoked" once revoked is set, 200 to everything else.
std::atomic<bool> revoked{false};
std::atomic<long> requests{0};
// --flood: while hanging, requests are held, not answered; each arrival is
// kept (when, user) to be told apart from the logins' own times.
std::atomic<bool> hanging{false};
bool held_lost = false;  // --flood-lost: what was held is never answered
std::mutex arrivals_lock;
std::vector<std::pair<Clock::time_point, std::string>> arrivals;

// --tokens: the key set the endpoint serves at GET /jwks, at once.
std::string key_set_answer;

std::string user_of(const std::string &request) {
    const auto at = request.find("username=");
    if (at == std::string::npos) return "";
    const auto end = request.find_first_of("&\r\n", at);
    return request.substr(at + 9, end == std::string::npos ? std::string::npos : end - at - 9);
}
void endpoint(int listen_fd, int latency_ms) {
    int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd, &ev);
    std::map<int, std::string> buffers;
    std::multimap<Clock::time_point, std::pair<int, int>> due;  // when, (fd, status)
    std::vector<std::pair<int, int>> held;                      // while hanging
    for (;;) {
        if (!hanging && !held.empty()) {
            if (!held_lost)
                for (const auto &h : held) due.emplace(Clock::now() + std::chrono::milliseconds(latency_ms), h);
            held.clear();  // lost: never answered, its connection left open
        }
        int timeout = hanging || !held.empty() ? 5 : -1;
        if (!due.empty() && timeout < 0)
            timeout = static_cast<int>(std::max<long>(
                0, std::chrono::ceil<std::chrono::milliseconds>(due.begin()->first - Clock::now()).count()));
        epoll_event events[64];
        const int n = epoll_wait(ep, events, 64, timeout);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listen_fd) {
                for (int c; (c = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                }
                continue;
            }
            char chunk[8192];
            ssize_t got;
            while ((got = read(fd, chunk, sizeof chunk)) > 0) buffers[fd].append(chunk, static_cast<std::size_t>(got));
            if (got == 0) {
                // Its number may come back for another socket of this process
                // (a client's): nothing owed to it may be written there.
                held.erase(std::remove_if(held.begin(), held.end(), [fd](const auto &h) { return h.first == fd; }),
                           held.end());
                for (auto it = due.begin(); it != due.end();) it = it->second.first == fd ? due.erase(it) : std::next(it);
                close(fd);
                buffers.erase(fd);
                continue;
            }
            std::string &buf = buffers[fd];
            while (std::size_t len = bench::complete_request(buf)) {
                if (buf.compare(0, 10, "GET /jwks ") == 0) {  // not a login: not counted, never held
                    if (write(fd, key_set_answer.data(), key_set_answer.size()) < 0) {
                    }
                    buf.erase(0, len);
                    continue;
                }
                ++requests;
                const bool grant = !(revoked && buf.substr(0, len).find("username=revoked") != std::string::npos);
                // The probe is answered at once: it measures the broker, not the endpoint.
                const bool probe = buf.substr(0, len).find("username=probe&") != std::string::npos;
                const std::string user = user_of(buf.substr(0, len));
                {
                    std::lock_guard<std::mutex> guard(arrivals_lock);
                    arrivals.emplace_back(Clock::now(), user);
                }
                if (hanging && !probe) {
                    held.emplace_back(fd, grant ? 200 : 403);
                    buf.erase(0, len);
                    continue;
                }
                // --hostile's users: refused after 2 s, never answered, or answered 429.
                int status = grant ? 200 : 403, after_ms = probe ? 0 : latency_ms;
                if (user.rfind("slow", 0) == 0) status = 403, after_ms = 2000;
                if (user == "limited") status = 429;
                if (user.rfind("hung", 0) != 0)
                    due.emplace(Clock::now() + std::chrono::milliseconds(after_ms), std::make_pair(fd, status));
                buf.erase(0, len);
            }
        }
        while (!due.empty() && due.begin()->first <= Clock::now()) {
            const auto [fd, status] = due.begin()->second;
            const char *answer = status == 200   ? "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
                                 : status == 403 ? "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"
                                                 : "HTTP/1.1 429 Too Many Requests\r\nContent-Length: 0\r\n\r\n";
            if (write(fd, answer, std::strlen(answer)) < 0) {
                // the broker gave up on it
            }
            due.erase(due.begin());
        }
    }
}

// A client that pings every 2 ms and keeps the worst round trip since reset.
struct Probe {
    int fd = -1;
    std::atomic<bool> stop{false};
    std::atomic<double> worst{0};
    std::atomic<long> pings{0};  // completed
    std::thread thread;
    void start() {
        thread = std::thread([this] {
            while (!stop) {
                const auto sent = Clock::now();
                const unsigned char ping[2] = {0xc0, 0x00};
                unsigned char pong[2];
                if (write(fd, ping, 2) != 2 || read(fd, pong, 2) != 2) break;
                const double ms = ms_since(sent);
                if (ms > worst) worst = ms;
                ++pings;
                std::this_thread::sleep_for(2ms);
            }
        });
    }
    ~Probe() {
        stop = true;
        if (thread.joinable()) thread.join();
        if (fd >= 0) close(fd);
    }
};

// CPU time (utime + stime, clock ticks) from a /proc stat file.
long stat_ticks(const std::string &path) {
    std::ifstream stat(path);
    std::string line;
    std::getline(stat, line);
    const auto close_paren = line.rfind(')');
    if (close_paren == std::string::npos) return 0;
    std::istringstream rest(line.substr(close_paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

// CPU time of one thread in nanoseconds (the first field of its schedstat):
// finer than the clock ticks of stat, which a storm of 2,000 spans only a few of.
double task_ns(pid_t pid, const std::string &tid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns;
}
// The broker's own thread: its main thread, whose id is the process's.
double thread_ns(pid_t pid) { return task_ns(pid, std::to_string(pid)); }
// All its threads (the plug-in's too).
double process_ns(pid_t pid) {
    double ns = 0;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') ns += task_ns(pid, e->d_name);
        closedir(d);
    }
    return ns;
}

// The broker's open descriptors: one per connection it has accepted.
long open_fds(pid_t pid) {
    long n = 0;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

// n connections to the broker, paced to its accept queue: a batch, then
// until it has accepted them (bounded), so that none waits on a SYN retry.
std::vector<int> connect_paced(pid_t pid, int port, int n) {
    std::vector<int> fds;
    const long base = open_fds(pid);
    constexpr int batch = 50;
    while (static_cast<int>(fds.size()) < n) {
        for (int i = 0; i < batch && static_cast<int>(fds.size()) < n; ++i) {
            const int fd = bench::connect_loopback(port);
            if (fd < 0) return fds;
            fds.push_back(fd);
        }
        for (int i = 0; i < 2000 && open_fds(pid) < base + static_cast<long>(fds.size()); ++i)
            std::this_thread::sleep_for(1ms);
    }
    return fds;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--bare") == 0) {
        signal(SIGPIPE, SIG_IGN);
        const int latency_ms = std::atoi(argv[2]), n = std::atoi(argv[3]);
        const bool keepalive = argc > 4 && std::strcmp(argv[4], "http_keepalive true") == 0;
        int port = 0;
        std::thread(endpoint, bench::listen_loopback(port), latency_ms).detach();
        // The plug-in's ceiling of exchanges at once (http_max_in_flight's default).
        const bench::BareRun run =
            bench::bare_exchanges("http://127.0.0.1:" + std::to_string(port) + "/user", n, 256, keepalive);
        std::printf("bare libcurl requests %d latency_ms %d keepalive %d answered %ld all_ms %.0f cpu_us_per_request %.1f\n",
                    n, latency_ms, keepalive ? 1 : 0, run.answered, run.all_ms, run.cpu_us / n);
        return run.answered == n ? 0 : 1;
    }
    if (argc < 5) {
        std::fprintf(stderr, "usage: login_storm BROKER PLUGIN LATENCY_MS CLIENTS [--reload|--hung|--beside|--control|--flood|"
                             "--flood-lost|--hostile=KIND:N|--tokens[=ALG]] [--again] [option lines...]\n");
        return 2;
    }
    const std::string broker = argv[1], plugin = argv[2];
    const int latency_ms = std::atoi(argv[3]), clients = std::atoi(argv[4]);
    bool reload = false, hung = false, beside = false, control = false, flood = false, tokens = false, again = false;
    std::string hostile;  // KIND:N
    std::string alg = "RS256";
    long timeout_ms = 1000;
    std::vector<std::string> opts;
    for (int i = 5; i < argc; ++i) {
        if (std::strcmp(argv[i], "--reload") == 0) reload = true;
        else if (std::strcmp(argv[i], "--hung") == 0) hung = true;
        else if (std::strcmp(argv[i], "--beside") == 0) beside = true;
        else if (std::strcmp(argv[i], "--control") == 0) control = true;
        else if (std::strcmp(argv[i], "--flood") == 0) flood = true;
        else if (std::strcmp(argv[i], "--flood-lost") == 0) flood = held_lost = true;
        else if (std::strncmp(argv[i], "--hostile=", 10) == 0) hostile = argv[i] + 10;
        else if (std::strcmp(argv[i], "--again") == 0) again = true;
        else if (std::strcmp(argv[i], "--tokens") == 0) tokens = true;
        else if (std::strncmp(argv[i], "--tokens=", 9) == 0) tokens = true, alg = argv[i] + 9;
        else opts.emplace_back(argv[i]);
    for (const auto &o : opts)
        if (o.rfind("http_timeout_ms ", 0) == 0) timeout_ms = std::atol(o.c_str() + 16);
    if (flood && std::none_of(opts.begin(), opts.end(), [](const std::string &o) { return o.rfind("http_timeout_ms ", 0) == 0; }))
        opts.push_back("http_timeout_ms 1000");
    }
    rlimit files{65536, 65536};
    setrlimit(RLIMIT_NOFILE, &files);
    signal(SIGPIPE, SIG_IGN);

    // --tokens: each user's password is its own token, made now (RS256 signs
    // at about a millisecond each: before the storm, not in it).
    const std::string secret = "a secret of thirty-two bytes or more, for the storm";
    std::map<std::string, std::string> token_of;
    const auto password = [&](const std::string &user) {
        const auto found = token_of.find(user);
        return found == token_of.end() ? std::string("pw") : found->second;
    };
    if (tokens) {
        if (alg != "RS256" && alg != "ES256" && alg != "EdDSA" && alg != "HS256") {
            std::fprintf(stderr, "login_storm: --tokens=ALG takes RS256, ES256, EdDSA or HS256\n");
            return 2;
        }
        const signing::Pkey key = alg == "RS256"   ? signing::rsa(2048)
                                  : alg == "ES256" ? signing::ec("P-256")
                                  : alg == "EdDSA" ? signing::ed25519()
                                                   : nullptr;
        if (key)
            key_set_answer = bench::json_answer(R"({"keys":[)" + signing::jwk(key.get(), "storm") + "]}");
        const long long exp = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch()).count() + 3600;
        for (int i = -1; i < clients; ++i) {
            const std::string user = i < 0 ? "probe" : "u" + std::to_string(i);
            token_of[user] = signing::token(alg, key.get(), R"({"alg":")" + alg + R"(","kid":"storm"})",
                                            R"({"sub":")" + user + R"(","exp":)" + std::to_string(exp) + "}", secret);
        }
    }
    int endpoint_port = 0, broker_port = 0;
    const int listen_fd = bench::listen_loopback(endpoint_port);
    std::thread(endpoint, listen_fd, latency_ms).detach();
    close(bench::listen_loopback(broker_port));  // a free port for the broker

    char dir[] = "/tmp/login_storm.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string conf = std::string(dir) + "/mosquitto.conf", log = std::string(dir) + "/broker.log",
                      secret_file = std::string(dir) + "/jwt.secret";
    // Every way out below leaves nothing in /tmp.
    struct Scratch {
        const char *dir;
        const std::string &conf, &log, &secret_file;
        ~Scratch() {
            std::remove(conf.c_str());
            std::remove(log.c_str());
            std::remove(secret_file.c_str());
            rmdir(dir);
        }
    } scratch{dir, conf, log, secret_file};
    {
        std::ofstream out(conf);
        out << "persistence false\nuser root\nlog_dest file " << log << "\nmax_keepalive 65535\n"
            << "listener " << broker_port << " 127.0.0.1\nmax_connections -1\nallow_anonymous true\n";
        if (plugin != "none") {  // "none": the broker's own floor, without the plug-in
            // An http_user_uri among the option lines names another endpoint (an
            // HTTP/2 server, say): storms only, since only ours counts requests.
            out << "plugin " << plugin << "\n";
            if (tokens && alg == "HS256") {
                std::ofstream(secret_file) << secret;
                out << "plugin_opt_http_jwt_secret_file " << secret_file << "\n";
            } else if (tokens) {
                out << "plugin_opt_http_jwt_jwks_uri http://127.0.0.1:" << endpoint_port << "/jwks\n";
            }
            if (tokens)
                out << "plugin_opt_http_jwt_claims {\"sub\": \"${username}\"}\n";
            else if (std::none_of(opts.begin(), opts.end(), [](const std::string &o) { return o.rfind("http_user_uri ", 0) == 0; }))
                out << "plugin_opt_http_user_uri http://127.0.0.1:" << endpoint_port << "/user\n";
            for (auto &o : opts) out << "plugin_opt_" << o << "\n";
            if (control)
                out << "plugin_opt_http_control true\nplugin_opt_http_acl_uri http://127.0.0.1:" << endpoint_port
                    << "/acl\n";
        }
    }
    const pid_t pid = fork();
    if (pid == 0) {
        execl(broker.c_str(), broker.c_str(), "-c", conf.c_str(), nullptr);
        _exit(127);
    }
    Probe probe;
    for (int i = 0; i < 3000 && probe.fd < 0; ++i) {  // 30 s: under valgrind too
        std::this_thread::sleep_for(10ms);
        probe.fd = bench::connect_loopback(broker_port);
    }
    const std::string hello = bench::connect_packet("probe", "probe", password("probe"));
    unsigned char connack[4];
    if (probe.fd < 0 || write(probe.fd, hello.data(), hello.size()) < 0 || read(probe.fd, connack, 4) != 4 ||
        connack[3] != 0) {
        std::fprintf(stderr, "login_storm: the broker did not start\n");
        kill(pid, SIGKILL);
        return 1;
    }
    if (beside) {
        // The probe's own pings are what comes beside each login here.
        std::vector<double> took;
        for (int i = 0; i < clients; ++i) {
            const int fd = bench::connect_loopback(broker_port);
            const std::string p = bench::connect_packet("b" + std::to_string(i), "u" + std::to_string(i), "pw");
            const unsigned char ping[2] = {0xc0, 0x00};
            const auto sent = Clock::now();
            if (fd < 0 || write(fd, p.data(), p.size()) < 0 || write(probe.fd, ping, 2) != 2) break;
            pollfd q{fd, POLLIN, 0};
            if (poll(&q, 1, 60000) == 1 && read(fd, connack, 4) == 4) took.push_back(ms_since(sent));
            unsigned char pong[2];
            if (read(probe.fd, pong, 2) != 2) break;
            close(fd);
        }
        std::sort(took.begin(), took.end());
        std::printf("logins %zu beside a packet: median_ms %.1f worst_ms %.1f\n", took.size(),
                    took.empty() ? -1 : took[took.size() / 2], took.empty() ? -1 : took.back());
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return 0;
    }
    probe.start();

    if (!hostile.empty()) {
        // N hostile clients loop logins, each as its own user (one user for
        // "limited"), a fresh client id each time, each waiting for its
        // CONNACK; 2 s later, when the slow ones have been answered once,
        // CLIENTS normal logins arrive, one every 10 ms.
        const auto colon = hostile.find(':');
        const std::string kind = hostile.substr(0, colon);
        const int n = colon == std::string::npos ? 0 : std::atoi(hostile.c_str() + colon + 1);
        const int warm_s = 2;
        std::atomic<bool> stop{false};
        std::atomic<long> hostile_logins{0};
        std::vector<std::thread> loops;
        for (int h = 0; kind != "none" && h < n; ++h)
            loops.emplace_back([&, h] {
                const std::string user = kind == "limited" ? "limited" : kind + std::to_string(h);
                for (long i = 0; !stop; ++i) {
                    const int fd = bench::connect_loopback(broker_port);
                    if (fd < 0) {
                        std::this_thread::sleep_for(10ms);
                        continue;
                    }
                    const std::string p = bench::connect_packet(user + "-" + std::to_string(i), user, "pw");
                    unsigned char ack[4];
                    if (write(fd, p.data(), p.size()) >= 0) {
                        pollfd q{fd, POLLIN, 0};
                        for (int slice = 0; slice < 300 && !stop && poll(&q, 1, 100) == 0; ++slice) {
                        }
                        if (!stop && (q.revents & POLLIN) && read(fd, ack, 4) == 4) ++hostile_logins;
                    }
                    close(fd);
                }
            });
        std::this_thread::sleep_for(std::chrono::seconds(warm_s));
        struct Normal {
            int fd;
            Clock::time_point sent;
        };
        std::vector<Normal> waiting;
        std::vector<double> took;
        int refused = 0;
        auto next = Clock::now();
        for (int sent = 0; sent < clients || !waiting.empty();) {
            if (sent < clients && Clock::now() >= next) {
                const int fd = bench::connect_loopback(broker_port);
                const std::string p = bench::connect_packet("n" + std::to_string(sent), "n" + std::to_string(sent), "pw");
                if (fd < 0 || write(fd, p.data(), p.size()) < 0) return 1;
                waiting.push_back({fd, Clock::now()});
                ++sent;
                next += 10ms;
                continue;
            }
            std::vector<pollfd> q;
            for (const auto &w : waiting) q.push_back({w.fd, POLLIN, 0});
            const int wait_ms = sent < clients ? static_cast<int>(std::max<long>(
                                                     0, std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count()))
                                               : 100;
            poll(q.data(), q.size(), wait_ms);
            for (std::size_t i = q.size(); i-- > 0;) {
                const bool ready = q[i].revents != 0;
                const bool lost = ms_since(waiting[i].sent) > 30000;
                if (!ready && !lost) continue;
                if (ready && read(waiting[i].fd, connack, 4) == 4 && connack[3] == 0) {
                    took.push_back(ms_since(waiting[i].sent));
                } else {
                    took.push_back(ms_since(waiting[i].sent));
                    ++refused;
                }
                close(waiting[i].fd);
                waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        stop = true;
        for (auto &t : loops) t.join();
        std::sort(took.begin(), took.end());
        const auto at = [&](double q) { return took.empty() ? -1.0 : took[std::min(took.size() - 1, static_cast<std::size_t>(q * static_cast<double>(took.size())))]; };
        std::printf("beside %-9s x%-2d latency_ms %-3d normal %zu refused %d p50_ms %.0f p90_ms %.0f max_ms %.0f "
                    "(hostile logins answered %ld)\n",
                    kind.c_str(), n, latency_ms, took.size(), refused, at(0.5), at(0.9), took.empty() ? -1.0 : took.back(),
                    hostile_logins.load());
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return 0;
    }

    if (flood) {
        // Each flood client: its connection, its CONNECT, gone at once.
        hanging = true;
        std::vector<int> fds = connect_paced(pid, broker_port, clients);
        std::map<std::string, Clock::time_point> sent;
        const auto began = Clock::now();
        // --flood-lost: the flood goes on through the hang, so that what
        // is asked when it ends is what it will never answer.
        const auto hang = std::chrono::milliseconds(2 * timeout_ms);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (held_lost) std::this_thread::sleep_until(began + hang * static_cast<long>(i) / static_cast<long>(fds.size()));
            const std::string user = "flood" + std::to_string(i);
            const std::string p = bench::connect_packet("f" + std::to_string(i), user, "wrong" + std::to_string(i));
            sent[user] = Clock::now();
            if (write(fds[i], p.data(), p.size()) < 0) break;
            close(fds[i]);
        }
        const double sending_ms = ms_since(began);
        if (held_lost) std::this_thread::sleep_until(began + hang);
        else std::this_thread::sleep_for(hang);
        const auto recovered = Clock::now();
        const double hung_ms = ms_since(began);
        hanging = false;
        const int real = bench::connect_loopback(broker_port);
        const std::string p = bench::connect_packet("real", "real", "right");
        double real_ms = -1;
        if (real >= 0 && write(real, p.data(), p.size()) >= 0) {
            pollfd q{real, POLLIN, 0};
            const bool answered = poll(&q, 1, 30000) == 1 && read(real, connack, 4) == 4;
            if (answered && connack[3] == 0) real_ms = ms_since(recovered);
            else std::fprintf(stderr, "login_storm: the real login: %s %d\n", answered ? "refused" : "no answer", answered ? connack[3] : -1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms + 500));  // what still comes
        long during = 0, doomed = 0, doomed_after = 0;
        double asked_ms = -1;  // when the real login reached the endpoint
        {
            std::lock_guard<std::mutex> guard(arrivals_lock);
            for (const auto &[at, user] : arrivals) {
                if (user == "real" && asked_ms < 0)
                    asked_ms = std::chrono::duration<double, std::milli>(at - recovered).count();
                const auto from = sent.find(user);
                if (from == sent.end()) continue;
                during += at < recovered;
                const bool late = at - from->second > std::chrono::milliseconds(timeout_ms);
                doomed += late;
                doomed_after += late && at >= recovered;
            }
        }
        std::printf("flood %zu (sent in %.0f ms) timeout_ms %ld: requests_while_hung %ld (%.1f per time-out) "
                    "for_logins_past_their_timeout %ld (after recovery %ld) real_login_ms %.0f (asked at %.0f)\n",
                    fds.size(), sending_ms, timeout_ms, during, static_cast<double>(during) * static_cast<double>(timeout_ms) / hung_ms,
                    doomed, doomed_after, real_ms, asked_ms);
        if (real >= 0) close(real);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return 0;
    }

    // The storm: every client has its TCP connection first (the broker
    // accepts those without the plug-in), then all send CONNECT at once and
    // every CONNACK is read.
    std::vector<int> fds;
    double thread_before = 0, process_before = 0;
    Clock::time_point start;
    const auto send_connects = [&] {
        fds = connect_paced(pid, broker_port, clients);
        std::this_thread::sleep_for(500ms);  // the broker has taken every connection in
        probe.worst = 0;
        thread_before = thread_ns(pid), process_before = process_ns(pid);
        start = Clock::now();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            const std::string user = i == 0 && reload ? "revoked" : "u" + std::to_string(i);
            const std::string p = bench::connect_packet("c" + std::to_string(i), user, password(user));
            if (write(fds[i], p.data(), p.size()) < 0) break;
        }
    };
    send_connects();
    if (hung) {
        // CPU ticks of the broker (utime + stime, /proc/PID/stat) over 3 s.
        const auto ticks = [pid] { return stat_ticks("/proc/" + std::to_string(pid) + "/stat"); };
        std::this_thread::sleep_for(500ms);
        const long before = ticks();
        std::this_thread::sleep_for(3s);
        const double share = 100.0 * static_cast<double>(ticks() - before) / static_cast<double>(sysconf(_SC_CLK_TCK)) / 3.0;
        std::printf("clients %d pending against a hung endpoint: broker_cpu_percent %.1f\n", clients, share);
        for (int fd : fds) close(fd);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return 0;
    }
    int accepted = 0;
    double all_ms = 0, worst_ms = 0, thread_us = 0, others_us = 0;
    const auto read_connacks = [&] {
        accepted = 0;
        for (int fd : fds) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 120000) == 1 && read(fd, connack, 4) == 4 && connack[3] == 0) ++accepted;
        }
        all_ms = ms_since(start);
        worst_ms = probe.worst.exchange(0);
        // What the storm cost the broker's thread, per login (the probe's pings included).
        thread_us = accepted ? (thread_ns(pid) - thread_before) / 1e3 / accepted : -1;
        // And its other threads (the plug-in's exchanges), per login.
        others_us = accepted ? (process_ns(pid) - process_before) / 1e3 / accepted - thread_us : -1;
    };
    read_connacks();
    if (control) {
        // The operator sends each command as a PUBLISH (QoS 0) of its own connection.
        const int op = bench::connect_loopback(broker_port);
        const std::string hi = bench::connect_packet("operator", "operator", "pw");
        if (op < 0 || write(op, hi.data(), hi.size()) < 0 || read(op, connack, 4) != 4) return 1;
        const auto send = [op](const std::string &json) {
            const std::string p = bench::publish_packet("$CONTROL/auth_plugin/v1", json);
            return write(op, p.data(), p.size()) == static_cast<ssize_t>(p.size());
        };
        probe.worst = 0;
        const long before = requests;
        send(R"({"commands":[{"command":"recheck","username":"u1"}]})");
        std::this_thread::sleep_for(1s);
        std::printf("clients %d connected: recheck of one user: requests %ld ping_worst_ms %.1f\n", clients,
                    requests - before, probe.worst.exchange(0));
        const auto sent = Clock::now();
        send(R"({"commands":[{"command":"disconnect","username":"u2"}]})");
        pollfd gone{fds[2], POLLIN, 0};
        char byte;
        double gone_ms = -1;
        while (poll(&gone, 1, 10000) == 1)
            if (recv(fds[2], &byte, 1, 0) <= 0) {
                gone_ms = ms_since(sent);
                break;
            }
        std::printf("clients %d connected: disconnect of one user: gone_ms %.1f\n", clients, gone_ms);
        send(R"({"commands":[{"command":"forget","username":"u3"}]})");
        std::this_thread::sleep_for(500ms);
        std::printf("clients %d connected: forget of one user: ping_worst_ms %.1f\n", clients, probe.worst.load());
        // One message of a thousand re-checks of everyone: each connection is
        // asked at most twice, and the broker stays responsive meanwhile.
        std::string many = R"({"commands":[)";
        for (int i = 0; i < 1000; ++i) many += std::string(i ? "," : "") + R"({"command":"recheck"})";
        many += "]}";
        probe.worst = 0;
        const long before_many = requests;
        send(many);
        std::this_thread::sleep_for(2s);
        std::printf("clients %d connected: 1000 rechecks of all in one message: requests %ld ping_worst_ms %.1f\n",
                    clients, requests - before_many, probe.worst.load());
        close(op);
        for (int fd : fds) close(fd);
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        return 0;
    }
    if (!reload) {
        std::printf("clients %d latency_ms %d logged_in %d all_ms %.0f ping_worst_ms %.0f broker_thread_us_per_login %.1f "
                    "other_threads_us_per_login %.1f\n",
                    clients, latency_ms, accepted, all_ms, worst_ms, thread_us, others_us);
        if (again) {
            // The same clients again, to a broker that has seen them all:
            // what a fleet's reconnect costs (tokens remembered).
            for (int fd : fds) close(fd);
            std::this_thread::sleep_for(1s);  // the broker has let the old connections go
            send_connects();
            read_connacks();
            std::printf("again: clients %d latency_ms %d logged_in %d all_ms %.0f ping_worst_ms %.0f "
                        "broker_thread_us_per_login %.1f other_threads_us_per_login %.1f\n",
                        clients, latency_ms, accepted, all_ms, worst_ms, thread_us, others_us);
        }
    } else {
        std::this_thread::sleep_for(200ms);
        probe.worst = 0;
        revoked = true;
        const auto signalled = Clock::now();
        kill(pid, SIGHUP);
        // The revoked client is the first; the others must stay.
        pollfd p{fds[0], POLLIN, 0};
        double gone_ms = -1;
        if (poll(&p, 1, 60000) == 1) gone_ms = ms_since(signalled);
        // The freeze is over once pings sent after now come back.
        std::this_thread::sleep_for(std::chrono::milliseconds(latency_ms * 2 + 500));
        const long seen = probe.pings;
        for (int i = 0; i < 120000 && probe.pings < seen + 2; ++i) std::this_thread::sleep_for(1ms);
        int stayed = 0;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            pollfd q{fds[i], POLLIN, 0};
            char byte;
            stayed += !(poll(&q, 1, 0) == 1 && recv(fds[i], &byte, 1, MSG_DONTWAIT) <= 0);
        }
        std::printf("clients %d latency_ms %d frozen_ms %.0f revoked_gone_ms %.0f others_stayed %d of %zu\n",
                    clients, latency_ms, probe.worst.load(), gone_ms, stayed, fds.size() - 1);
    }
    for (int fd : fds) close(fd);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return 0;
}
