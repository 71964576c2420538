// A TCP endpoint on 127.0.0.1 that reads each request and then misbehaves as
// told: raw bytes, stalls, resets. One connection at a time; every wait is
// bounded and the thread stops with the object.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "loopback.h"

class HostileServer {
public:
    // Gets the connection after its request has been read; returns when done.
    using Behaviour = std::function<void(HostileServer &, int fd)>;

    explicit HostileServer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
        thread_ = std::thread([this] { run(); });
    }
    ~HostileServer() {
        stop_ = true;
        thread_.join();
    }
    std::string url() const { return listener_.url("/check"); }
    int connections() const { return connections_; }
    // The last request read, as it arrived.
    std::string last_request() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }

    // Sends all of text unless the peer goes away; false if it did.
    static bool send_all(int fd, const std::string &text) {
        for (std::size_t at = 0; at < text.size();) {
            ssize_t n = ::send(fd, text.data() + at, text.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Waits until the peer closes or the server stops, at most ten seconds.
    void hold(int fd) const {
        char buf[256];
        for (int i = 0; i < 200 && !stop_; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) > 0 && recv(fd, buf, sizeof buf, 0) <= 0) return;
        }
    }

    // Waits `d` between misdeeds, less when the peer closes or the server
    // stops; whether the whole of it passed.
    bool pause(int fd, std::chrono::milliseconds d) const {
        const auto until = std::chrono::steady_clock::now() + d;
        char buf[256];
        while (!stop_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (left.count() <= 0) return true;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50))) > 0 && recv(fd, buf, sizeof buf, 0) <= 0)
                return false;
        }
        return false;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{listener_.fd(), POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int c = accept(listener_.fd(), nullptr, nullptr);
            if (c < 0) continue;
            ++connections_;
            if (read_request(c)) behaviour_(*this, c);
            close(c);
        }
    }
    // Reads headers and a Content-Length body, within two seconds.
    bool read_request(int fd) {
        std::string got;
        char buf[4096];
        for (int i = 0; i < 40; ++i) {
            std::size_t head = got.find("\r\n\r\n");
            if (head != std::string::npos) {
                std::size_t at = got.find("Content-Length: ");
                std::size_t length = at < head ? std::stoul(got.substr(at + 16)) : 0;
                if (got.size() >= head + 4 + length) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    request_ = got;
                    return true;
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return false;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return false;
    }

    Behaviour behaviour_;
    LoopbackListener listener_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::string request_;
    std::thread thread_;
};
