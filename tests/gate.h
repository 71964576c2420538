// Holds the test endpoint's answers while closed, as an endpoint that stopped
// answering would. Every held answer goes on when it opens, or when the gate
// goes (which waits for them to leave); none is held longer than two minutes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

class Gate {
public:
    Gate() = default;
    Gate(const Gate &) = delete;
    Gate &operator=(const Gate &) = delete;
    ~Gate() {
        std::unique_lock<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return held_ == 0; });
    }

    void close() { set(false); }
    void open() { set(true); }
    // From the endpoint's decision: waits while the gate is closed.
    void pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++held_;
        changed_.wait_for(lock, std::chrono::minutes(2), [this] { return open_; });
        --held_;
        changed_.notify_all();
    }

private:
    void set(bool open) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = open;
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
    int held_ = 0;
};
