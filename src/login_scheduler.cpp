#include "login_scheduler.h"

LoginScheduler::LoginScheduler(Checker &checker, const HttpClient &client, long max_in_flight, Host host)
    : checker_(checker),
      host_(std::move(host)),
      exchanges_(std::make_unique<ConcurrentExchanges>(client, max_in_flight)) {}

LoginScheduler::~LoginScheduler() {
    exchanges_.reset();  // joins the exchanges' thread: nothing arrives after this
    // Each question begun is finished, so that a back-off trial ends.
    for (auto &[token, entry] : entries_) checker_.finish(entry.question, Answer{});
}

LoginScheduler::Now LoginScheduler::login(const std::string &clientid, const void *client, const char *username,
                                          const char *password, const Field *extra, std::size_t extra_count,
                                          Verdict &decided) noexcept {
    // A new connection: an older one's re-check no longer concerns this id.
    rechecks_.erase(clientid);
    return start(Kind::login, clientid, client, username, password, extra, extra_count, decided);
}

void LoginScheduler::forget(const std::string &clientid) noexcept {
    rechecks_.erase(clientid);
    latest_.erase(clientid);
}

LoginScheduler::Now LoginScheduler::recheck(const std::string &clientid, const void *client, const char *username,
                                            const char *password, const Field *extra, std::size_t extra_count,
                                            Verdict &decided) noexcept {
    return start(Kind::recheck, clientid, client, username, password, extra, extra_count, decided);
}

LoginScheduler::Now LoginScheduler::start(Kind kind, const std::string &clientid, const void *client,
                                          const char *username, const char *password, const Field *extra,
                                          std::size_t extra_count, Verdict &decided) noexcept {
    Question q;
    Verdict &v = decided;
    v = Verdict{};
    const bool login = kind == Kind::login;
    if (login) latest_.erase(clientid);  // an older delayed login of this id is answered no more
    if (!checker_.begin_login(username, password, extra, extra_count, login, q, v))
        return v.granted ? Now::granted : Now::refused;
    v.granted = !login;  // a re-check stands until its answer says otherwise
    const unsigned long token = next_token_++;
    Buffer body = std::move(q.body);
    const std::size_t length = q.length;
    const std::string &url = *q.url;
    auto &current = login ? latest_ : rechecks_;
    try {
        entries_.emplace(token, Entry{kind, clientid, client, std::move(q), std::chrono::steady_clock::now()});
    } catch (...) {
        checker_.finish(q, Answer{});  // out of memory: refused, its question finished
        v.granted = false;
        return Now::refused;
    }
    bool queued = false;
    try {
        current[clientid] = token;
        queued = exchanges_->submit(url, std::move(body), length, [this, token](const Answer &a) {
            std::lock_guard<std::mutex> guard(arrived_lock_);
            arrived_.emplace_back(token, a);
        });
    } catch (...) {
    }
    if (!queued) {
        current.erase(clientid);
        checker_.finish(entries_.at(token).question, Answer{});
        entries_.erase(token);
        v.granted = false;
        return Now::refused;
    }
    return Now::later;
}

void LoginScheduler::disconnected(const std::string &clientid, const void *client) noexcept {
    auto found = rechecks_.find(clientid);
    if (found != rechecks_.end() && entries_.count(found->second) && entries_.at(found->second).client == client)
        rechecks_.erase(found);
}

void LoginScheduler::tick() noexcept {
    std::vector<std::pair<unsigned long, Answer>> arrived;
    {
        std::lock_guard<std::mutex> guard(arrived_lock_);
        arrived.swap(arrived_);
    }
    for (auto &[token, answer] : arrived) {
        auto found = entries_.find(token);
        if (found == entries_.end()) continue;
        Entry entry = std::move(found->second);
        entries_.erase(found);
        const Verdict v = checker_.finish(entry.question, answer);
        if (settled) settled(v, std::chrono::steady_clock::now() - entry.asked);
        auto &current = entry.kind == Kind::login ? latest_ : rechecks_;
        auto mine = current.find(entry.clientid);
        if (mine == current.end() || mine->second != token) continue;  // superseded, or gone
        current.erase(mine);
        if (entry.kind == Kind::login) host_.complete(entry.clientid, v.granted);
        else if (!v.granted) host_.disconnect(entry.clientid);
    }
}
