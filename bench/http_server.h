// A minimal HTTP/1.1 endpoint for benchmarks: one epoll thread, keep-alive,
// answers every complete request with an empty 200. Run in a child process so
// that it never shares the measured process's threads.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

namespace bench {

// Listens on 127.0.0.1:port, or on a port the kernel picks when port is 0.
inline int listen_loopback(int &port, int backlog = 1024) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd, backlog) != 0) std::abort();
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// Length of the first complete request in buf, or 0 if it is not all there.
inline std::size_t complete_request(const std::string &buf) {
    std::size_t end = buf.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    std::size_t length = 0;
    for (std::size_t at = 0; at < end;) {
        std::size_t eol = buf.find("\r\n", at);
        if (strncasecmp(buf.c_str() + at, "Content-Length:", 15) == 0)
            length = std::strtoul(buf.c_str() + at + 15, nullptr, 10);
        at = eol + 2;
    }
    return buf.size() >= end + 4 + length ? end + 4 + length : 0;
}

// Set by SIGUSR1: the server then prints to its standard error how many
// requests it has answered, and how many of them were to /user (logins).
// SIGUSR2 turns hanging on and off: while it hangs, the server reads
// requests and answers none.
inline volatile sig_atomic_t report_requested = 0, hanging = 0;

// A 200 with a JSON body, as an endpoint answers a login with rules.
inline std::string json_answer(const std::string &body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// login_answer, when given, answers every POST to /user; the rest get an empty 200.
[[noreturn]] inline void serve(int listen_fd, const std::string &login_answer = {}) {
    static const std::string empty = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    struct sigaction on_usr1 {};
    on_usr1.sa_handler = [](int) { report_requested = 1; };
    sigaction(SIGUSR1, &on_usr1, nullptr);
    struct sigaction on_usr2 {};
    on_usr2.sa_handler = [](int) { hanging = !hanging; };
    sigaction(SIGUSR2, &on_usr2, nullptr);
    long answered = 0, logins = 0;
    int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, listen_fd, &ev);
    std::unordered_map<int, std::string> pending;
    epoll_event events[256];
    char chunk[16384];
    for (;;) {
        int n = epoll_wait(ep, events, 256, -1);
        if (report_requested) {
            report_requested = 0;
            std::fprintf(stderr, "%ld %ld\n", answered, logins);
        }
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == listen_fd) {
                for (int c; (c = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                }
                continue;
            }
            ssize_t got;
            std::string &buf = pending[fd];
            while ((got = read(fd, chunk, sizeof chunk)) > 0) buf.append(chunk, static_cast<std::size_t>(got));
            for (std::size_t len; !hanging && (len = complete_request(buf)) > 0;) {
                const bool login = buf.compare(0, 11, "POST /user ") == 0;
                buf.erase(0, len);
                const std::string &answer = login && !login_answer.empty() ? login_answer : empty;
                if (write(fd, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) break;
                ++answered;
                logins += login;
            }
            if (got == 0 || (got < 0 && errno != EAGAIN)) {
                pending.erase(fd);
                close(fd);
            }
        }
    }
}

inline int listen_unix(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) std::abort();
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 1024) != 0) std::abort();
    return fd;
}

// The endpoint in a child process, on loopback or on a Unix socket at path;
// stopped when this goes.
class ServerProcess {
public:
    ServerProcess() {
        start(listen_loopback(port_));
    }
    explicit ServerProcess(const std::string &path) : path_(path) { start(listen_unix(path)); }
    ~ServerProcess() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        if (!path_.empty()) unlink(path_.c_str());
    }
    int port() const { return port_; }

private:
    void start(int fd) {
        pid_ = fork();
        if (pid_ == 0) serve(fd);
        close(fd);
    }
    int port_ = 0;
    pid_t pid_ = -1;
    std::string path_;
};

// A blackholed endpoint: a listener whose accept queue is full and never
// drained, so that the kernel drops every further connection attempt and
// connect never completes.
[[noreturn]] inline void blackhole(int port) {
    int fd = listen_loopback(port, 0);
    int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(filler, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) std::abort();
    std::printf("%d\n", port);
    std::fflush(stdout);
    (void)fd;  // held open, never accepted from
    for (;;) pause();
}

}  // namespace bench
