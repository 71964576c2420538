// Many exchanges at once, on a thread of their own, through libcurl's multi
// interface: for hosts that let a check be answered later, so that a slow
// endpoint no longer makes every question wait for the one before it.
//
// How many run at once follows each origin's answers (EndpointPace), never
// above max_in_flight in all; an exchange someone waits for is started only
// with the time its origin's exchanges recently needed still left
// (DeadlineQueue: newest first once the queue is behind).
//
// A slow user costs only itself. One whose recent exchanges were slow, hung
// or refused as too many, or whose exchange runs far past the ordinary
// time, has one exchange at a time; its logins wait behind everyone else's,
// and such users' exchanges hold at most a share of the limit (and of it,
// one address's at most that share again), the rest being kept for logins
// not known to be slow. An exchange far past the ordinary time stops
// counting against the limit once the endpoint has answered others started
// after it (max_in_flight still bounds it); while it has answered none, one
// more is asked now and then beyond the limit, to see it answer again.
//
// Control runs one way: the owner submits an exchange under its own token,
// and takes back (token, answer) values on its own thread; the exchanges'
// thread only wakes it (the broker's waker, where there is one).
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "http_client.h"

class Waker;

class ConcurrentExchanges {
public:
    // What one submitted exchange came to; an answer not attempted when it
    // was never started (no longer wanted, or it failed to start).
    struct Finished {
        unsigned long token;
        Answer answer;
    };

    using Clock = std::chrono::steady_clock;
    // At most max_in_flight exchanges run at once, and at most each origin's
    // limit toward it; the rest wait, those with a deadline (someone waits
    // for them) first, except one without that has waited overdue: however
    // long a storm lasts, what has no deadline is still asked. waker (may
    // be null): woken when something finished. Throws std::bad_alloc or
    // std::system_error when it cannot start.
    ConcurrentExchanges(const HttpClient &client, long max_in_flight,
                        Clock::duration overdue = Clock::duration::max(), Waker *waker = nullptr);
    // Abandons what is waiting or running (nothing of it is handed back) and stops the thread.
    ~ConcurrentExchanges();
    ConcurrentExchanges(const ConcurrentExchanges &) = delete;
    ConcurrentExchanges &operator=(const ConcurrentExchanges &) = delete;

    // Cleared by the owner when the exchange is no longer wanted; one not yet
    // started then never is.
    using Wanted = std::shared_ptr<const std::atomic<bool>>;
    // Whom an exchange is for, as tags: the user name's and the client's
    // address's; zero (Who{}) where not known.
    struct Who {
        std::uint64_t user, address;
    };

    // Queues one exchange under the owner's token; its fixed URL, if any,
    // must outlive it. False (and nothing handed back) when it cannot be
    // queued. With a deadline, the whole exchange, waiting included, ends by
    // then: one that has less time left than its origin's exchanges need is
    // never started (its answer says late), and one started gets what time
    // is left. keep_body: the answer's body is kept (HttpClient::send).
    bool submit(unsigned long token, Request request, std::optional<Clock::time_point> deadline = std::nullopt,
                Wanted wanted = nullptr, bool keep_body = false, Who who = {}) noexcept;
    // What finished since the last call, each submitted exchange exactly
    // once; valid until the next take() or submit(). Never fails: room for every answer
    // is made as exchanges are submitted.
    const std::vector<Finished> &take() noexcept;

    std::size_t waiting() const noexcept;  // queued, not yet running
    long limit() const noexcept;           // the origins' current limits, added up

private:
    struct Exchange;
    struct Line;
    struct MultiFree {
        void operator()(CURLM *m) const noexcept { curl_multi_cleanup(m); }
    };
    void run() noexcept;
    void start_waiting() noexcept;
    // Ends what can no longer be answered in time or is no longer wanted;
    // how long until the next would be.
    std::chrono::milliseconds sweep_waiting() noexcept;
    // The next of line's exchanges to start, or (end_it) to end unasked.
    std::unique_ptr<Exchange> next_waiting(Line &line, bool &end_it, bool &late) noexcept;
    // Marks what runs far past the ordinary time, and lets go of what no
    // longer counts; how long until the next would.
    std::chrono::milliseconds review_running() noexcept;
    Line *line(std::size_t i) const noexcept;
    Line &line_for(const Request &request);  // under lock_
    void finish(CURL *handle, CURLcode result) noexcept;
    // Starts a finished exchange once more where its answer allows
    // (Answer::ask_again) and it is still wanted; true when it runs again.
    bool ask_again(Exchange &e) noexcept;
    // An easy handle for the next exchange: a finished one's, reset, or a
    // new one (null when none can be made); and one given back for the next.
    CURL *take_handle() noexcept;
    void give_back(CURL *handle) noexcept;
    // Hands an exchange's answer back to the owner (within the room made at submit).
    void hand_back(const Exchange &e, const Answer &answer) noexcept;

    const HttpClient &client_;
    const long max_in_flight_;
    const Clock::duration overdue_;
    Waker *const waker_;
    std::unique_ptr<CURLM, MultiFree> multi_;
    // Finished exchanges' easy handles, reset, for the next ones (the
    // thread's own): making one per exchange and freeing it cost about
    // 13,700 instructions, most of it zeroing libcurl's large handle;
    // resetting one costs 3,100. Never more than max_in_flight, room made
    // at start.
    std::vector<CURL *> idle_handles_;
    mutable std::mutex lock_;
    std::vector<std::unique_ptr<Line>> lines_;                  // one per origin; guarded by lock_
    std::unordered_map<const std::string *, Line *> by_url_;   // guarded by lock_
    bool stopping_ = false;                                     // guarded by lock_
    // A wake-up is on its way, or the thread has yet to look at what waits:
    // a storm's submissions wake it once per pass, not once each.
    std::atomic<bool> woken_{false};
    std::unordered_map<CURL *, std::unique_ptr<Exchange>> running_;  // the thread's own
    // Answers handed back. Both lists hold room for every exchange submitted
    // and not yet taken, so that an answer is never lost to a failed allocation.
    std::mutex finished_lock_;
    std::vector<Finished> finished_;  // guarded by finished_lock_
    std::size_t outstanding_ = 0;     // guarded by finished_lock_: submitted, not yet taken
    std::vector<Finished> taken_;     // the owner's
    std::thread thread_;
};
