// The little of MQTT the tests and benchmarks speak over a raw socket, for
// what the broker's own clients cannot do: many connections at once, a
// CONNECT followed at once by another packet, a connection watched until the
// broker closes it. Loopback only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace bench {

// A connected socket (Nagle off), or -1; from another loopback address
// (127.0.0.2, say) where source is given.
inline int connect_loopback(int port, const char *source = nullptr) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (source) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source, &from.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0) {
            close(fd);
            return -1;
        }
    }
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

// A packet of this type byte and body (its remaining length, 7 bits a byte).
inline std::string packet(unsigned char type, const std::string &body) {
    std::string out(1, static_cast<char>(type));
    for (std::size_t n = body.size();;) {
        out += static_cast<char>((n & 0x7f) | (n > 0x7f ? 0x80 : 0));
        n >>= 7;
        if (n == 0) break;
    }
    return out + body;
}

// CONNECT with user name and password, keep-alive 600 s; version 4 (3.1.1)
// or 5. A session that is not clean persists (for a day, in version 5).
inline std::string connect_packet(const std::string &id, const std::string &user, const std::string &password,
                                  int version = 4, bool clean = true) {
    std::string body;
    put_string(body, "MQTT");
    body += static_cast<char>(version);
    body += static_cast<char>(clean ? 0xc2 : 0xc0);
    body += '\x02';
    body += '\x58';
    if (version == 5) body += clean ? std::string(1, '\0') : std::string("\x05\x11\x00\x01\x51\x80", 6);
    put_string(body, id);
    put_string(body, user);
    put_string(body, password);
    return packet(0x10, body);
}

// CONNECT (keep-alive 600 s) carrying a will at QoS 0, retained; version 4
// (3.1.1) or 5. delay_s: version 5's will delay interval, with a session
// that persists for an hour so that the delay can run.
// MQTT 5 with a will delay: a session expiry of an hour, unless said (0:
// the session ends with the connection, its will still delayed).
inline std::string connect_with_will(const std::string &id, const std::string &user, const std::string &password,
                                     int version, const std::string &will_topic, const std::string &will_payload,
                                     unsigned delay_s = 0, unsigned session_expiry_s = 3600) {
    std::string body;
    put_string(body, "MQTT");
    body += static_cast<char>(version);
    body += static_cast<char>(0xc0 | 0x20 | 0x04 | (delay_s ? 0 : 0x02));  // user, password, will retained, will
    body += '\x02';
    body += '\x58';
    const auto four = [](unsigned v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                           static_cast<char>(v)};
    };
    if (version == 5) body += delay_s ? "\x05\x11" + four(session_expiry_s) : std::string(1, '\0');
    put_string(body, id);
    if (version == 5) body += delay_s ? "\x05\x18" + four(delay_s) : std::string(1, '\0');
    put_string(body, will_topic);
    put_string(body, will_payload);
    put_string(body, user);
    put_string(body, password);
    return packet(0x10, body);
}

// PUBLISH at QoS 0.
inline std::string publish_packet(const std::string &topic, const std::string &payload) {
    std::string body;
    put_string(body, topic);
    return packet(0x30, body + payload);
}

// SUBSCRIBE to one topic filter (MQTT 3.1.1), packet id 1.
inline std::string subscribe_packet(const std::string &filter, int qos) {
    std::string body("\x00\x01", 2);
    put_string(body, filter);
    body += static_cast<char>(qos);
    return packet(0x82, body);
}

// One connection to the broker, closed with it.
class Client {
public:
    explicit Client(int port, const char *source = nullptr) : fd_(connect_loopback(port, source)) {}
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool send(const std::string &bytes) const {
        return fd_ >= 0 && ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool ping() const { return send(std::string("\xc0\x00", 2)); }
    // The CONNACK's return code (3.1.1) or reason code (5); -1 if the
    // connection closed or nothing came within limit.
    int connack(std::chrono::milliseconds limit) {
        if (!read_at_least(4, limit) || static_cast<unsigned char>(in_[0]) != 0x20) return -1;
        return static_cast<unsigned char>(in_[3]);
    }
    // Whether the broker closed the connection within limit (what it sent
    // meanwhile is read and dropped).
    bool closed_within(std::chrono::milliseconds limit) {
        return !read_at_least(in_.size() + 1 + (1 << 20), limit) && eof_;
    }

private:
    bool read_at_least(std::size_t n, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (in_.size() < n && fd_ >= 0 && !eof_) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char buf[4096];
            const ssize_t got = recv(fd_, buf, sizeof buf, 0);
            if (got <= 0) eof_ = true;
            else in_.append(buf, static_cast<std::size_t>(got));
        }
        return in_.size() >= n;
    }

    int fd_;
    std::string in_;
    bool eof_ = false;
};

}  // namespace bench
