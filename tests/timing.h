// Time in the tests. A test waits for the condition it needs, within a bound
// of seconds, never for a guess at how long something takes. A duration that
// must be short for a test to mean something (a time-out the test sits
// through) is stretched in the sanitizer builds, which run several times
// slower than a plain one.
#pragma once

#include <chrono>
#include <cstdlib>
#include <thread>

// How many times slower than a plain build this one runs; the environment's
// AUTH_PLUGIN_TEST_SLOWDOWN, when set, overrides (valgrind, a slow machine).
inline int slowdown() {
    if (const char *given = std::getenv("AUTH_PLUGIN_TEST_SLOWDOWN"))
        if (int n = std::atoi(given); n > 0) return n;
#if defined(__SANITIZE_THREAD__)
    return 8;
#elif defined(__SANITIZE_ADDRESS__)
    return 4;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
    return 8;
#elif __has_feature(address_sanitizer)
    return 4;
#else
    return 1;
#endif
#else
    return 1;
#endif
}

inline std::chrono::milliseconds scaled(std::chrono::milliseconds d) { return d * slowdown(); }

// Polls until done() holds, at most for limit; returns whether it held.
template <typename Done>
bool wait_until(Done done, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
