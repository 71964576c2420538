// Threads of ours take none of the process's signals. The broker handles
// SIGHUP, SIGINT, SIGTERM and others by setting a flag that its loop reads
// when a signal has woken it; a signal the kernel handed to one of our
// threads instead would wake nothing, and a reload or a stop could wait for
// the loop's next wake-up (seconds, or a day on an idle 2.1 broker).
#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

// Starts f on a thread that blocks every signal (it inherits the mask it is
// started with). Throws as std::thread does.
template <class F>
std::thread signal_free_thread(F &&f) {
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    try {
        std::thread t(std::forward<F>(f));
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return t;
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        throw;
    }
}
