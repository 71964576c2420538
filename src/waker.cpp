#include "waker.h"

#include <stdexcept>

#include "signal_free_thread.h"

namespace {

// Only its arrival matters: it ends the broker's epoll_wait.
void on_wake(int) {}

}  // namespace

Waker::Waker() : target_(pthread_self()) {
    struct sigaction wake {};
    wake.sa_handler = on_wake;
    sigemptyset(&wake.sa_mask);
    wake.sa_flags = SA_RESTART;  // other system calls of the broker's go on
    if (sigaction(SIGURG, nullptr, &previous_) != 0 ||
        (previous_.sa_handler != SIG_DFL && previous_.sa_handler != SIG_IGN &&
         previous_.sa_handler != on_wake) ||
        sigaction(SIGURG, &wake, nullptr) != 0)
        throw std::runtime_error("SIGURG has a handler of another's, and Mosquitto 2.1 needs it to wake for answers");
    try {
        thread_ = signal_free_thread([this] { run(); });
    } catch (...) {
        sigaction(SIGURG, &previous_, nullptr);
        throw;
    }
}

Waker::~Waker() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_one();
    thread_.join();
    // A wake-up still pending is discarded with the default disposition.
    sigaction(SIGURG, &previous_, nullptr);
}

void Waker::wake() noexcept {
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Already wanted: the thread sends until woken() whatever else
        // finishes meanwhile; waking it for each answer of a storm cost a
        // hand-over and a signal each.
        if (wanted_) return;
        wanted_ = true;
        // Its thread is between two sends (the last wake-up was taken
        // moments ago, as in a storm): it sends again within 2 ms, and this
        // one goes now without handing over to it.
        if (resending_) {
            pthread_kill(target_, SIGURG);
            return;
        }
    }
    changed_.notify_one();
}

void Waker::wake_at(Clock::time_point when) noexcept {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (at_ && *at_ <= when) return;
        at_ = when;
    }
    changed_.notify_one();
}

void Waker::woken() noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    wanted_ = false;
}

void Waker::run() noexcept {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_) {
        if (at_ && Clock::now() >= *at_) {
            at_.reset();
            wanted_ = true;
        }
        resending_ = wanted_;
        if (wanted_) {
            pthread_kill(target_, SIGURG);
            changed_.wait_for(guard, std::chrono::milliseconds(2));
        } else if (at_) {
            changed_.wait_until(guard, *at_);
        } else {
            changed_.wait(guard);
        }
    }
}
