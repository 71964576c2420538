#include "log.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

// The broker's logging function; it exports it for plug-ins. Looked up at
// run time so that the library neither needs the broker's headers nor fails
// to load in a host without it.
using BrokerLog = void (*)(int level, const char *format, ...);

// The broker's level bits.
int broker_level(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::info: return 0x01;
        case LogLevel::notice: return 0x02;
        case LogLevel::warning: return 0x04;
        case LogLevel::error: return 0x08;
    }
    return 0x08;
}

}  // namespace

void log_line(LogLevel level, const char *line) noexcept {
    if (auto log = reinterpret_cast<BrokerLog>(dlsym(RTLD_DEFAULT, "mosquitto_log_printf"))) {
        log(broker_level(level), "%s", line);
        return;
    }
    std::fprintf(stderr, "%s\n", line);
}
