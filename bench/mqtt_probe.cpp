// How long the broker's loop stalls: a client that logs in, then sends
// PINGREQ every few milliseconds (the broker answers those without asking
// the plug-in) and times each PINGRESP. Prints "ready" once logged in; on
// SIGTERM prints the worst and the median round trip in ms.
//
//   mqtt_probe PORT USER PASSWORD [INTERVAL_MS]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mqtt_client.h"

namespace {

volatile sig_atomic_t stop = 0;

bool read_exactly(int fd, unsigned char *buf, std::size_t n) {
    for (std::size_t got = 0; got < n;) {
        ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) return false;  // closed, or interrupted by SIGTERM
        got += static_cast<std::size_t>(r);
    }
    return true;
}


}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: mqtt_probe PORT USER PASSWORD [INTERVAL_MS]\n");
        return 2;
    }
    const int interval_ms = argc > 4 ? std::atoi(argv[4]) : 5;
    struct sigaction on_term {};
    on_term.sa_handler = [](int) { stop = 1; };
    sigaction(SIGTERM, &on_term, nullptr);  // no SA_RESTART: a blocked read ends

    const int fd = bench::connect_loopback(std::atoi(argv[1]));
    if (fd < 0) return perror("connect"), 1;
    const std::string packet = bench::connect_packet("mqtt-probe", argv[2], argv[3]);
    if (write(fd, packet.data(), packet.size()) != static_cast<ssize_t>(packet.size())) return 1;
    unsigned char connack[4];
    if (!read_exactly(fd, connack, 4) || connack[0] != 0x20 || connack[3] != 0) {
        std::fprintf(stderr, "mqtt_probe: not logged in\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    std::vector<double> rtt_ms;
    double worst = 0;
    while (!stop) {
        const auto sent = std::chrono::steady_clock::now();
        const unsigned char ping[2] = {0xc0, 0x00};
        if (write(fd, ping, 2) != 2) break;
        unsigned char pong[2];
        const bool answered = read_exactly(fd, pong, 2);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
        worst = std::max(worst, ms);  // a ping cut short by SIGTERM still counts as stalled so far
        if (!answered) break;
        rtt_ms.push_back(ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
    }
    std::sort(rtt_ms.begin(), rtt_ms.end());
    std::printf("worst_ms %.0f median_ms %.2f pings %zu\n", worst, rtt_ms.empty() ? 0.0 : rtt_ms[rtt_ms.size() / 2],
                rtt_ms.size());
    close(fd);
    return 0;
}
