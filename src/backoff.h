// Fail fast while an endpoint does not answer (http_backoff_ms). After an
// exchange ends without an HTTP answer, checks toward that URL are refused at
// once, without a request, for the back-off wait; then one check at a time
// tries again. Each failed try doubles the wait, up to a cap.
//
// With or without a wait, an outage is never silent: the first exchange
// that gets no answer after one that did is told in one line (at most one
// per URL every ten seconds), and the answer that ends it in another.
//
// Any HTTP answer, whatever its status, ends the back-off of every URL at the
// same origin (scheme, host and port, or the one Unix socket when
// http_unix_socket is set): a host that answers one URL is back for the
// others too, and they should not sit out waits of their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "answer.h"

class Backoff {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds max_wait{60000};
    static constexpr std::chrono::seconds told_every{10};  // the most often an outage of one URL is told

    // first_wait_ms 0: never backs off, only tells. urls are the members, each asked about by its index
    // in the list; they are used only to group them by origin and, redacted,
    // in the lines this prints. stale_ms (http_cache_stale_ms) only says in
    // them that recent decisions still answer. Throws std::bad_alloc.
    Backoff(long first_wait_ms, const std::vector<std::string> &urls, const std::string &unix_socket = {},
            long stale_ms = 0);

    enum class Turn { ask, trial, refuse };
    // Whether a check toward member may ask now; a trial must be followed by record().
    Turn turn(std::size_t member, Clock::time_point now) noexcept;
    // What the exchange of a check toward member that was let through came to.
    void record(std::size_t member, Turn turn, const Answer &answer, Clock::time_point now) noexcept;

    // member's current wait; zero when it is not backing off.
    Clock::duration wait(std::size_t member) const noexcept;

private:
    struct Member {
        std::size_t origin;  // index in origins_
        std::string url;     // redacted, for the line a back-off begins with
        std::string path;    // redacted, for the line that ends it
        Clock::duration wait{};  // zero while the endpoint answers
        bool trial_running = false;
        Clock::time_point retry_at{};
        bool failing = false;  // its last exchange got no answer
        bool told = false;     // and that outage was told: its end is too
        Clock::time_point told_at{};
        std::size_t untold = 0;  // outages since the last line
    };

    // The line for an answer at origin: which members' back-offs it ends.
    std::string answers_again(std::size_t origin) const;

    const Clock::duration first_wait_, cap_;
    const long stale_ms_;
    std::vector<std::string> origins_;  // as the lines name them
    mutable std::mutex lock_;
    std::vector<Member> members_;
};
