// A TCP socket on 127.0.0.1 at a port the kernel picks.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

class LoopbackListener {
public:
    // With listening off, the port only stays reserved while this lives:
    // connections to it are refused, and the kernel picks it for no other
    // socket. A process that binds it by number with SO_REUSEADDR, as the
    // broker does its listeners, can still take it over, so a reservation
    // can be handed on to a broker without a moment in which it is free.
    explicit LoopbackListener(bool listening = true) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        const int on = 1;
        if (!listening) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd_, reinterpret_cast<sockaddr *>(&addr), len);
        if (listening) listen(fd_, 16);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~LoopbackListener() { close(fd_); }
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    int fd() const { return fd_; }
    int port() const { return port_; }
    std::string url(const std::string &path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    int fd_;
    int port_ = 0;
};
