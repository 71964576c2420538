#include "concurrent_exchanges.h"

#include <algorithm>
#include <new>

#include "signal_free_thread.h"

struct ConcurrentExchanges::Exchange {
    struct EasyFree {
        void operator()(CURL *h) const noexcept { curl_easy_cleanup(h); }
    };
    Request request;
    Done done;
    std::optional<Clock::time_point> deadline;
    Wanted wanted;
    bool keep_body;
    Answer answer;
    std::unique_ptr<CURL, EasyFree> handle;
};

namespace {

void call(const ConcurrentExchanges::Done &done, const Answer &answer) noexcept {
    try {
        done(answer);
    } catch (...) {
        // The owner's to handle; nothing may cross the thread's boundary.
    }
}

}  // namespace

ConcurrentExchanges::ConcurrentExchanges(const HttpClient &client, long max_in_flight)
    : client_(client), max_in_flight_(max_in_flight), multi_(curl_multi_init()) {
    if (!multi_ || curl_multi_setopt(multi_.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, max_in_flight_) != CURLM_OK ||
        curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, max_in_flight_) != CURLM_OK)
        throw std::bad_alloc();
    thread_ = signal_free_thread([this] { run(); });
}

ConcurrentExchanges::~ConcurrentExchanges() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    curl_multi_wakeup(multi_.get());
    thread_.join();
    for (auto *queue : {&waiting_, &waiting_later_})
        for (auto &waiting : *queue) call(waiting->done, Answer{});
}

bool ConcurrentExchanges::submit(Request request, Done done,
                                 std::optional<Clock::time_point> deadline, Wanted wanted, bool keep_body) noexcept {
    try {
        auto exchange = std::make_unique<Exchange>(
            Exchange{std::move(request), std::move(done), deadline, std::move(wanted), keep_body, {}, {}});
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) return false;
            (deadline ? waiting_ : waiting_later_).push_back(std::move(exchange));
        }
        curl_multi_wakeup(multi_.get());
        return true;
    } catch (...) {
        return false;
    }
}

std::size_t ConcurrentExchanges::waiting() const noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    return waiting_.size() + waiting_later_.size();
}

std::unique_ptr<ConcurrentExchanges::Exchange> ConcurrentExchanges::next_waiting() noexcept {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto *queue : {&waiting_, &waiting_later_}) {
        if (queue->empty()) continue;
        auto next = std::move(queue->front());
        queue->pop_front();
        return next;
    }
    return nullptr;
}

std::chrono::milliseconds ConcurrentExchanges::sweep_waiting() noexcept {
    using std::chrono::milliseconds;
    for (;;) {
        std::unique_ptr<Exchange> ended;
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (waiting_.empty()) return milliseconds(1000);
            const Exchange &front = *waiting_.front();
            if ((!front.wanted || front.wanted->load()) && now < *front.deadline)
                return std::chrono::ceil<milliseconds>(*front.deadline - now);
            ended = std::move(waiting_.front());
            waiting_.pop_front();
        }
        call(ended->done, Answer{});
    }
}

void ConcurrentExchanges::start_waiting() noexcept {
    while (static_cast<long>(running_.size()) < max_in_flight_) {
        std::unique_ptr<Exchange> next = next_waiting();
        if (!next) return;
        Exchange &e = *next;
        // Nobody waits for it any more, or its time is up: not asked at all.
        long left_ms = 0;
        if (e.deadline) {
            left_ms = static_cast<long>(
                std::chrono::ceil<std::chrono::milliseconds>(*e.deadline - Clock::now()).count());
        }
        if ((e.wanted && !e.wanted->load()) || (e.deadline && left_ms <= 0)) {
            call(e.done, Answer{});
            continue;
        }
        e.handle.reset(curl_easy_init());
        CURL *h = e.handle.get();
        // Without keep-alive, each connection closes after its exchange, as
        // a synchronous check's does.
        bool ready = h && client_.prepare(h, e.request, e.answer, e.keep_body) &&
                     (!e.deadline || curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, left_ms) == CURLE_OK) &&
                     (client_.keepalive() || curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L) == CURLE_OK);
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
            call(e.done, Answer{});
            continue;
        }
        e.answer.attempted = true;
    }
}

void ConcurrentExchanges::finish(CURL *handle, CURLcode result) noexcept {
    auto found = running_.find(handle);
    if (found == running_.end()) return;
    std::unique_ptr<Exchange> e = std::move(found->second);
    running_.erase(found);
    curl_multi_remove_handle(multi_.get(), handle);
    HttpClient::conclude(handle, result, e->answer);
    call(e->done, e->answer);
}

void ConcurrentExchanges::run() noexcept {
    for (;;) {
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
        // exchange's time is up; running ones' time-outs are libcurl's.
        const auto until = sweep_waiting();
        curl_multi_poll(multi_.get(), nullptr, 0, static_cast<int>(std::max<long>(1, until.count())), nullptr);
    }
    // Abandoned while running: each owner hears of it once.
    for (auto &[handle, e] : running_) {
        curl_multi_remove_handle(multi_.get(), handle);
        call(e->done, Answer{});
    }
    running_.clear();
}
