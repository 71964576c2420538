#include "concurrent_exchanges.h"

#include <algorithm>
#include <new>

#include "deadline_queue.h"
#include "endpoint_pace.h"
#include "endpoint_url.h"
#include "signal_free_thread.h"
#include "waker.h"

struct ConcurrentExchanges::Exchange {
    struct GiveBack {
        ConcurrentExchanges *to;
        void operator()(CURL *h) const noexcept { to->give_back(h); }
    };
    unsigned long token;
    Request request;
    std::optional<Clock::time_point> deadline;
    Wanted wanted;
    bool keep_body;
    Line *line = nullptr;
    Answer answer;
    std::unique_ptr<CURL, GiveBack> handle{nullptr, GiveBack{nullptr}};  // out of the multi before it goes
    // For its origin's pace, once it ends.
    Clock::time_point queued{}, started{};
    Clock::duration given{}, needed{};
    Who who{};
    bool slow_user = false;  // its user was marked slow when it started
    bool overtime = false;   // it ran far past the ordinary time
    bool released = false;   // and no longer counts against its origin's limit
    Exchange *older = nullptr, *newer = nullptr;  // its line's counted ones, by start

    bool gone() const noexcept { return wanted && !wanted->load(); }
};

// One origin: its pace and what waits for it.
struct ConcurrentExchanges::Line {
    using Queue = DeadlineQueue<std::unique_ptr<Exchange>>;
    explicit Line(long ceiling) : pace(ceiling), shown_limit(pace.limit()) {
        slow_running.reserve(static_cast<std::size_t>(ceiling));  // never more run: never grown
    }
    EndpointPace pace;  // the thread's own
    std::atomic<long> shown_limit;
    Queue waiting;                                        // with deadlines; guarded by lock_
    std::deque<std::unique_ptr<Exchange>> waiting_later;  // without; guarded by lock_
    std::string origin;
    // The rest is the thread's own.
    long running = 0;
    long released = 0;  // of those running, how many no longer count
    long slow = 0;      // slow users' exchanges counted
    Exchange *oldest = nullptr, *newest = nullptr;  // those counted, by start
    std::vector<Exchange *> slow_running;           // slow users' exchanges, and those in overtime

    long counted() const noexcept { return running - released; }
    bool user_busy(std::uint64_t user) const noexcept {
        return user != 0 && std::any_of(slow_running.begin(), slow_running.end(),
                                        [user](const Exchange *e) { return e->who.user == user; });
    }
    long slow_from(std::uint64_t address) const noexcept {
        return address == 0 ? 0
                            : static_cast<long>(std::count_if(slow_running.begin(), slow_running.end(),
                                                              [address](const Exchange *e) {
                                                                  return e->who.address == address;
                                                              }));
    }
    void started(Exchange &e) noexcept {
        ++running;
        e.older = newest;
        (newest ? newest->newer : oldest) = &e;
        newest = &e;
        if (e.slow_user) {
            ++slow;
            slow_running.push_back(&e);  // within the room reserved
        }
    }
    void uncount(Exchange &e) noexcept {
        (e.older ? e.older->newer : oldest) = e.newer;
        (e.newer ? e.newer->older : newest) = e.older;
        e.older = e.newer = nullptr;
        if (e.slow_user) --slow;
    }
    void release(Exchange &e) noexcept {
        uncount(e);
        e.released = true;
        ++released;
    }
    void ran_over(Exchange &e) noexcept {
        e.overtime = true;
        if (!e.slow_user) slow_running.push_back(&e);
    }
    void ended(Exchange &e) noexcept {
        if (e.released) --released;
        else uncount(e);
        if (e.slow_user || e.overtime)
            if (auto at = std::find(slow_running.begin(), slow_running.end(), &e); at != slow_running.end())
                slow_running.erase(at);
        --running;
    }
};

namespace {

Answer late() noexcept {
    Answer a;
    a.late = true;
    return a;
}

}  // namespace

ConcurrentExchanges::ConcurrentExchanges(const HttpClient &client, long max_in_flight, Clock::duration overdue,
                                         Waker *waker)
    : client_(client), max_in_flight_(max_in_flight), overdue_(overdue), waker_(waker), multi_(curl_multi_init()) {
    if (!multi_ || curl_multi_setopt(multi_.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, max_in_flight_) != CURLM_OK ||
        curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, max_in_flight_) != CURLM_OK ||
        curl_multi_setopt(multi_.get(), CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX) != CURLM_OK)
        throw std::bad_alloc();
    idle_handles_.reserve(static_cast<std::size_t>(std::max(1L, max_in_flight_)));
    thread_ = signal_free_thread([this] { run(); });
}

ConcurrentExchanges::~ConcurrentExchanges() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    curl_multi_wakeup(multi_.get());
    thread_.join();
    for (CURL *h : idle_handles_) curl_easy_cleanup(h);
}

CURL *ConcurrentExchanges::take_handle() noexcept {
    if (idle_handles_.empty()) return curl_easy_init();
    CURL *h = idle_handles_.back();
    idle_handles_.pop_back();
    return h;
}

void ConcurrentExchanges::give_back(CURL *h) noexcept {
    if (!h) return;
    // Nothing of its exchange is left set (its body, its answer, its time-out);
    // its connections are the multi's, kept or closed as they were.
    curl_easy_reset(h);
    if (idle_handles_.size() < idle_handles_.capacity()) idle_handles_.push_back(h);  // within the room made
    else curl_easy_cleanup(h);
}

ConcurrentExchanges::Line &ConcurrentExchanges::line_for(const Request &request) {
    // The settings' own URL is looked up once; a URL built from a template
    // is parsed for its origin each time.
    if (request.fixed_url)
        if (auto known = by_url_.find(request.fixed_url); known != by_url_.end()) return *known->second;
    const std::string &url = request.url_text();
    // Through a Unix socket every exchange goes to the same server; a URL
    // that names no origin is one of its own.
    std::string origin = client_.unix_socket().empty() ? parse_endpoint_url(url).origin : client_.unix_socket();
    if (origin.empty()) origin = request.fixed_url ? url : std::string("(built)");  // never one per request
    Line *found = nullptr;
    for (auto &l : lines_)
        if (l->origin == origin) found = l.get();
    if (!found) {
        auto made = std::make_unique<Line>(max_in_flight_);
        made->origin = std::move(origin);
        lines_.push_back(std::move(made));
        found = lines_.back().get();
    }
    if (request.fixed_url) by_url_.emplace(request.fixed_url, found);
    return *found;
}

bool ConcurrentExchanges::submit(unsigned long token, Request request, std::optional<Clock::time_point> deadline,
                                 Wanted wanted, bool keep_body, Who who) noexcept {
    bool counted = false;
    try {
        auto exchange = std::make_unique<Exchange>(
            Exchange{token, std::move(request), deadline, std::move(wanted), keep_body, nullptr, {}, {}});
        exchange->who = who;
        {
            // Room for its answer, before it can arrive; grown by doubling:
            // one more each time would copy the whole list at every submission.
            std::lock_guard<std::mutex> guard(finished_lock_);
            const std::size_t needed = outstanding_ + 1;
            for (auto *list : {&finished_, &taken_})
                if (list->capacity() < needed) list->reserve(std::max(needed, 2 * list->capacity()));
            ++outstanding_;
            counted = true;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) throw std::bad_alloc();  // not queued, as when out of memory
            Line &line = line_for(exchange->request);
            exchange->line = &line;
            const auto queued = exchange->queued = Clock::now();
            if (deadline) line.waiting.push(std::move(exchange), queued, *deadline);
            else line.waiting_later.push_back(std::move(exchange));
        }
        if (!woken_.exchange(true)) curl_multi_wakeup(multi_.get());
        return true;
    } catch (...) {
        if (counted) {
            std::lock_guard<std::mutex> guard(finished_lock_);
            --outstanding_;
        }
        return false;
    }
}

void ConcurrentExchanges::hand_back(const Exchange &e, const Answer &answer) noexcept {
    {
        std::lock_guard<std::mutex> guard(finished_lock_);
        finished_.push_back({e.token, answer});  // within the room made at submit
    }
    if (waker_) waker_->wake();
}

const std::vector<ConcurrentExchanges::Finished> &ConcurrentExchanges::take() noexcept {
    taken_.clear();
    std::lock_guard<std::mutex> guard(finished_lock_);
    finished_.swap(taken_);
    outstanding_ -= taken_.size();
    return taken_;
}

std::size_t ConcurrentExchanges::waiting() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t n = 0;
    for (const auto &line : lines_) n += line->waiting.size() + line->waiting_later.size();
    return n;
}

long ConcurrentExchanges::limit() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    long n = 0;
    for (const auto &line : lines_) n += line->shown_limit.load();
    return lines_.empty() ? std::min(EndpointPace::floor_limit, max_in_flight_) : n;
}

ConcurrentExchanges::Line *ConcurrentExchanges::line(std::size_t i) const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return i < lines_.size() ? lines_[i].get() : nullptr;
}

std::unique_ptr<ConcurrentExchanges::Exchange> ConcurrentExchanges::next_waiting(Line &line, bool &end_it,
                                                                                 bool &too_late) noexcept {
    const auto gone = [](const std::unique_ptr<Exchange> &e) { return e->gone(); };
    const auto now = Clock::now();
    const auto needed = line.pace.needed();
    std::lock_guard<std::mutex> guard(lock_);
    // One without a deadline that has waited its turn long enough goes
    // first: a storm of logins must not hold a re-check back for good.
    if (!line.waiting_later.empty() && now - line.waiting_later.front()->queued >= overdue_) {
        auto overdue = std::move(line.waiting_later.front());
        line.waiting_later.pop_front();
        too_late = false;
        end_it = overdue->gone();
        return overdue;
    }
    std::optional<std::unique_ptr<Exchange>> next = line.waiting.drop(now, needed, gone);
    if (!next) {
        // Logins not known to be slow first; a slow user's only with none of
        // its own running, and while slow users hold less than their share.
        const auto ends = [&](const std::unique_ptr<Exchange> &e) {
            return e->gone() || Line::Queue::late(e->queued, *e->deadline, now, needed);
        };
        constexpr std::size_t scan = 64;  // those passed over keep their place
        next = line.waiting.next(now, needed, [&](const std::unique_ptr<Exchange> &e) {
            return ends(e) || (!line.user_busy(e->who.user) && !line.pace.slow_user(e->who.user, now));
        }, scan);
        const long share = line.pace.slow_share();
        if (!next && line.slow < share)
            next = line.waiting.next(now, needed, [&](const std::unique_ptr<Exchange> &e) {
                return !line.user_busy(e->who.user) && line.slow_from(e->who.address) < share;
            }, scan);
    }
    if (next) {
        too_late = !(*next)->gone() && Line::Queue::late((*next)->queued, *(*next)->deadline, now, needed);
        end_it = too_late || (*next)->gone();
        return std::move(*next);
    }
    too_late = false;
    if (line.waiting_later.empty()) return nullptr;
    auto later = std::move(line.waiting_later.front());
    line.waiting_later.pop_front();
    end_it = later->gone();
    return later;
}

std::chrono::milliseconds ConcurrentExchanges::sweep_waiting() noexcept {
    using std::chrono::milliseconds;
    milliseconds until(1000);
    for (std::size_t i = 0; Line *l = line(i); ++i) {
        for (;;) {
            const auto now = Clock::now();
            const auto needed = l->pace.needed();
            std::optional<std::unique_ptr<Exchange>> ended;
            {
                std::lock_guard<std::mutex> guard(lock_);
                ended = l->waiting.drop(now, needed, [](const std::unique_ptr<Exchange> &e) { return e->gone(); });
                if (!ended) {
                    if (const auto left = l->waiting.until_late(now, needed))
                        until = std::min(until, std::chrono::ceil<milliseconds>(*left));
                    break;
                }
            }
            hand_back(**ended, (*ended)->gone() ? Answer{} : late());
        }
    }
    return until;
}

std::chrono::milliseconds ConcurrentExchanges::review_running() noexcept {
    using std::chrono::milliseconds;
    milliseconds until(1000);
    for (std::size_t i = 0; Line *l = line(i); ++i) {
        const auto far = l->pace.overtime();
        if (far == Clock::duration::zero()) continue;  // nothing answered yet: nothing is ordinary
        const auto now = Clock::now();
        for (Exchange *e = l->oldest; e;) {
            Exchange *const newer = e->newer;
            if (now - e->started < far) {
                until = std::min(until, std::chrono::ceil<milliseconds>(e->started + far - now));
                break;
            }
            if (!e->overtime) l->ran_over(*e);
            if (l->pace.answered_after(e->started)) l->release(*e);
            e = newer;
        }
        // Each counted one far past its time: the next probe is due then
        // (one due already waits for something to ask, whose submission wakes).
        if (l->newest && l->newest->overtime && l->counted() >= l->pace.limit() && l->pace.probe_at() > now)
            until = std::min(until, std::chrono::ceil<milliseconds>(l->pace.probe_at() - now));
    }
    return until;
}

void ConcurrentExchanges::start_waiting() noexcept {
    for (std::size_t i = 0; Line *l = line(i); ++i) {
        Line &line = *l;
        while (static_cast<long>(running_.size()) < max_in_flight_) {
            // Beyond the limit, a probe: each counted one is far past its time.
            const bool probe = line.counted() >= line.pace.limit();
            if (probe && !(line.newest && line.newest->overtime && line.pace.may_probe(Clock::now()))) break;
            bool end_it = false, too_late = false;
            std::unique_ptr<Exchange> next = next_waiting(line, end_it, too_late);
            if (!next) break;
            Exchange &e = *next;
            // Nobody waits for it any more, or it could not be answered in time: not asked at all.
            if (end_it) {
                hand_back(e, too_late ? late() : Answer{});
                continue;
            }
            const auto now = Clock::now();
            long left_ms = 0;
            if (e.deadline) {
                left_ms = static_cast<long>(std::chrono::ceil<std::chrono::milliseconds>(*e.deadline - now).count());
                e.given = *e.deadline - now;
                if (left_ms <= 0) {  // it passed since: a time-out of 0 would be none at all
                    hand_back(e, late());
                    continue;
                }
            }
            e.needed = line.pace.needed();
            e.started = now;
            e.slow_user = line.pace.slow_user(e.who.user, now);
            e.handle = {take_handle(), Exchange::GiveBack{this}};
            CURL *h = e.handle.get();
            // Without keep-alive, each connection closes after its exchange, as
            // a synchronous check's does. With HTTP/2 they share connections:
            // one being opened is waited for rather than another opened beside it.
            // A handle used again would resume its last TLS session on a new
            // connection, which one made for its exchange never did.
            bool ready = h && client_.prepare(h, e.request, e.answer, e.keep_body) &&
                         curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L) == CURLE_OK &&
                         (!e.deadline || curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, left_ms) == CURLE_OK) &&
                         (client_.multiplexed() ? curl_easy_setopt(h, CURLOPT_PIPEWAIT, 1L) == CURLE_OK
                          : client_.keepalive() || curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK);
            if (ready) {
                try {
                    running_.emplace(h, std::move(next));
                } catch (...) {
                    ready = false;
                }
            }
            if (ready && curl_multi_add_handle(multi_.get(), h) != CURLM_OK) {
                next = std::move(running_.at(h));
                running_.erase(h);
                ready = false;
            }
            if (!ready) {
                hand_back(e, Answer{});
                continue;
            }
            e.answer.attempted = true;
            line.started(e);
            if (probe) line.pace.probed(now, e.given);
        }
    }
}

bool ConcurrentExchanges::ask_again(Exchange &e) noexcept {
    // Within the time its first attempt was given. The options set at its
    // start stay: PIPEWAIT or FORBID_REUSE.
    const auto ends = e.deadline ? *e.deadline : e.started + std::chrono::milliseconds(client_.timeout_ms());
    return !e.gone() && client_.prepare_again(e.handle.get(), e.request, e.answer, ends, e.keep_body) &&
           curl_multi_add_handle(multi_.get(), e.handle.get()) == CURLM_OK;
}

void ConcurrentExchanges::finish(CURL *handle, CURLcode result) noexcept {
    auto found = running_.find(handle);
    if (found == running_.end()) return;
    curl_multi_remove_handle(multi_.get(), handle);
    HttpClient::conclude(handle, result, found->second->answer);
    if (ask_again(*found->second)) return;  // still running, in its place
    std::unique_ptr<Exchange> e = std::move(found->second);
    running_.erase(found);
    Line &line = *e->line;
    bool others_waiting = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        others_waiting = !line.waiting.empty() || !line.waiting_later.empty();
    }
    const bool in_use = others_waiting || 2 * line.counted() > line.pace.limit();
    line.pace.ended({e->answer.outcome(), e->answer.transfer == CURLE_OPERATION_TIMEDOUT, e->answer.status,
                     e->started, in_use, e->given, e->needed, e->who.user, e->slow_user},
                    Clock::now());
    line.ended(*e);
    line.shown_limit.store(line.pace.limit());
    hand_back(*e, e->answer);
}

void ConcurrentExchanges::run() noexcept {
    for (;;) {
        // Cleared before the queue is read: what is submitted after wakes the poll below.
        woken_.store(false);
        review_running();
        start_waiting();
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) break;
        }
        int active = 0;
        curl_multi_perform(multi_.get(), &active);
        int left = 0;
        bool finished = false;
        while (CURLMsg *msg = curl_multi_info_read(multi_.get(), &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            finish(msg->easy_handle, msg->data.result);
            finished = true;
        }
        // A finished exchange frees a place for a waiting one at once.
        if (finished) continue;
        // Woken by a submission or the destructor, or when the first waiting
        // exchange could no longer be answered in time; running ones'
        // time-outs are libcurl's.
        const auto until = std::min(sweep_waiting(), review_running());
        curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(std::max<long>(1, until.count())), nullptr);
    }
    // Abandoned while running: the owner, going too, finishes its own.
    for (auto &[handle, e] : running_) curl_multi_remove_handle(multi_.get(), handle);
    running_.clear();
}
