// Wakes the broker's thread from another thread. Mosquitto 2.1 sleeps in
// epoll_wait until a socket is ready, its keep-alive check is due (up to
// 5 s) or a TICK callback *called in that pass* asked for a time; a callback
// whose time has not come bounds nothing, so no TICK interval keeps answers
// from waiting seconds. Nothing in its API wakes the loop; a signal delivered
// to its thread does (epoll_wait returns EINTR and the pass goes on, TICK
// included when it asked for 0).
//
// The signal is SIGURG, whose default action is to ignore it: a wake-up that
// lands after the handler is gone does nothing. While a wake-up is wanted it
// is sent again every 2 ms, since one that lands just before epoll_wait
// starts wakes nothing, until the broker's thread says it was woken.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

class Waker {
public:
    using Clock = std::chrono::steady_clock;

    // Wakes the thread that constructs it. Throws std::system_error when its
    // thread cannot start, std::runtime_error when SIGURG has a handler of
    // someone else's.
    Waker();
    // Stops the thread and puts SIGURG back as it was.
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;

    // Any thread: wake the broker's thread now, until woken() is called.
    void wake() noexcept;
    // Wake it at this time (the earliest of those asked since it last fired).
    void wake_at(Clock::time_point when) noexcept;
    // The broker's thread: it is awake and has taken what was there.
    void woken() noexcept;

private:
    void run() noexcept;

    const pthread_t target_;
    struct sigaction previous_ {};
    std::mutex lock_;
    std::condition_variable changed_;
    bool wanted_ = false;                   // guarded by lock_
    bool resending_ = false;                // guarded by lock_: the thread waits 2 ms to send again
    std::optional<Clock::time_point> at_;  // guarded by lock_
    bool stopping_ = false;                 // guarded by lock_
    std::thread thread_;
};
