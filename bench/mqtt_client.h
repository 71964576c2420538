// The little of MQTT 3.1.1 the benchmarks speak: a TCP connection to the
// broker on loopback and a CONNECT packet with user name and password.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace bench {

// A connected socket (Nagle off), or -1.
inline int connect_loopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline void put_string(std::string &out, const std::string &s) {
    out += static_cast<char>(s.size() >> 8);
    out += static_cast<char>(s.size() & 0xff);
    out += s;
}

// CONNECT, MQTT 3.1.1, clean session, user name and password, keep-alive 600 s.
inline std::string connect_packet(const std::string &id, const std::string &user, const std::string &password) {
    std::string body;
    put_string(body, "MQTT");
    body += '\x04';
    body += '\xc2';
    body += '\x02';
    body += '\x58';
    put_string(body, id);
    put_string(body, user);
    put_string(body, password);
    std::string packet = "\x10";
    packet += static_cast<char>(body.size());  // short enough for one length byte
    return packet + body;
}

}  // namespace bench
