// Endpoints that misbehave. Whatever comes back, a check refuses, or grants
// only for a real and complete 200; it ends within its time-out and writes
// nothing to standard output. Both checks, both connection modes.

#include <gtest/gtest.h>

#include "capture.h"
#include "endpoint.h"
#include "hostile_server.h"
#include "plugin_loader.h"
#include "timing.h"

namespace {

using namespace std::chrono_literals;
using Behaviour = HostileServer::Behaviour;

Behaviour answer(std::string bytes) {
    return [bytes](HostileServer &, int fd) { HostileServer::send_all(fd, bytes); };
}
Behaviour answer_and_hold(std::string bytes) {
    return [bytes](HostileServer &s, int fd) {
        if (HostileServer::send_all(fd, bytes)) s.hold(fd);
    };
}

TEST(HostileEndpoint, RefusesOrGrantsOnlyACompleteOk) {
    const Plugin &plugin = Plugin::get();
    Endpoint target;  // what a redirect points at; it would grant
    const std::string ok_empty = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        const char *what;
        std::chrono::milliseconds timeout;  // scaled where it must not cut an answer short
        Behaviour behaviour;
        bool grants;
    } cases[] = {
        {"a plain 200, for reference", scaled(2000ms), answer(ok_empty), true},
        {"never answers", 300ms, [](HostileServer &s, int fd) { s.hold(fd); }, false},
        {"headers, then a byte a second", 300ms,
         [](HostileServer &s, int fd) {
             if (!HostileServer::send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n")) return;
             for (int i = 0; i < 10; ++i)
                 if (!HostileServer::send_all(fd, "x") || !s.pause(fd, 1s)) return;
         },
         false},
        {"200 with a 100 MB body", scaled(20000ms),
         [](HostileServer &, int fd) {
             const std::size_t total = 100u << 20;
             std::string chunk(1u << 16, 'A');
             if (!HostileServer::send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n"))
                 return;
             for (std::size_t sent = 0; sent < total; sent += chunk.size())
                 if (!HostileServer::send_all(fd, chunk)) return;
         },
         true},
        {"200 without a length, never closes", 300ms, answer_and_hold("HTTP/1.1 200 OK\r\n\r\nsome"), false},
        {"closes mid-headers", scaled(2000ms), answer("HTTP/1.1 200 OK\r\nContent-Le"), false},
        {"closes mid-body", scaled(2000ms), answer("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial"), false},
        {"resets the connection", scaled(2000ms),
         [](HostileServer &, int fd) {
             linger hard{1, 0};
             setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
         },
         false},
        {"not HTTP", scaled(2000ms), answer("SSH-2.0-OpenSSH_9.2\r\n"), false},
        {"binary bytes", scaled(2000ms), answer(std::string("\x00\xff\x13\x37\r\n\r\n", 8)), false},
        {"a four-digit status", scaled(2000ms), answer("HTTP/1.1 2000 OK\r\nContent-Length: 0\r\n\r\n"), false},
        {"malformed header after 200", scaled(2000ms),
         answer("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nno colon here\r\n\r\n"), false},
        {"100 Continue, then 403", scaled(2000ms),
         answer("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"), false},
        {"100 Continue, then 200", scaled(2000ms), answer("HTTP/1.1 100 Continue\r\n\r\n" + ok_empty), true},
        {"redirect loop", scaled(2000ms),
         [](HostileServer &s, int fd) {
             HostileServer::send_all(fd, "HTTP/1.1 302 Found\r\nLocation: " + s.url() + "\r\nContent-Length: 0\r\n\r\n");
         },
         false},
        {"redirect to a target that grants", scaled(2000ms),
         answer("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + target.url("/granted") +
                "\r\nContent-Length: 0\r\n\r\n"),
         false},
    };
    for (const auto &c : cases) {
        for (const char *keepalive : {"false", "true"}) {
            SCOPED_TRACE(std::string(c.what) + ", keepalive " + keepalive);
            // One server per run: a connection the last run left behind is not counted in this one.
            HostileServer server(c.behaviour);
            Options opts(Options::Pairs{{"http_user_uri", server.url()},
                                        {"http_acl_uri", server.url()},
                                        {"http_timeout_ms", std::to_string(c.timeout.count())},
                                        {"http_keepalive", keepalive}});
            ASSERT_EQ(plugin.init(nullptr, opts.data(), opts.size()), 0);
            auto start = std::chrono::steady_clock::now();
            Capture out(STDOUT_FILENO);
            int unpwd = plugin.unpwd_check(nullptr, "alice", "secret");
            int acl = plugin.acl_check(nullptr, "dev1", "alice", "a/b", 1);
            EXPECT_EQ(out.text(), "");
            auto elapsed = std::chrono::steady_clock::now() - start;
            EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), 0);

            EXPECT_EQ(unpwd, c.grants ? 0 : 11);
            EXPECT_EQ(acl, c.grants ? 0 : 12);
            // bounded by the time-out (two checks), with room for a slow machine
            EXPECT_LT(elapsed, 2 * c.timeout + 5s);
            // one request per check, never a second one for a redirect
            EXPECT_LE(server.connections(), 2);
        }
    }
    EXPECT_TRUE(target.requests().empty());
}

}  // namespace
