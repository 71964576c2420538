#include "login_scheduler.h"

#include <algorithm>

LoginScheduler::LoginScheduler(Checker &checker, const HttpClient &client, long max_in_flight,
                               Connections &connections, Host host)
    : checker_(checker),
      connections_(connections),
      host_(std::move(host)),
      timeout_(std::chrono::milliseconds(checker.settings().http_timeout_ms)),
      exchanges_(std::make_unique<ConcurrentExchanges>(client, max_in_flight)) {}

LoginScheduler::~LoginScheduler() {
    exchanges_.reset();  // joins the exchanges' thread: nothing arrives after this
    // Each question begun is finished, so that a back-off trial ends.
    for (auto &[token, entry] : entries_) {
        checker_.finish(entry.question, Answer{});
        if (entry.login) connections_.settle(entry.clientid, entry.id);
    }
}

LoginScheduler::Now LoginScheduler::login(const std::string &clientid, const void *client, const char *username,
                                          const char *password, const Field *extra, std::size_t extra_count,
                                          Verdict &decided) noexcept {
    Entry entry{clientid, client, true, 0, {}, {}, {}, false, {}, {}};
    if (!checker_.begin_login(username, password, extra, extra_count, true, entry.question, decided)) {
        connections_.supersede(clientid);  // answered now: an older delayed login completes nothing
        return decided.granted ? Now::granted : Now::refused;
    }
    if (logins_ >= max_waiting_logins || login_bytes_ + entry.question.length > max_waiting_bytes) {
        decided = checker_.finish(entry.question, Answer{});
        connections_.supersede(clientid);
        return Now::busy;
    }
    try {
        if (checker_.settings().http_control) {
            entry.username = username;
            entry.password = password;
            entry.kept = true;
        }
        auto ticket = connections_.expect(clientid);
        entry.id = ticket.token;
        entry.wanted = std::move(ticket.wanted);
    } catch (...) {
        decided = checker_.finish(entry.question, Answer{});
        return Now::refused;
    }
    return start(std::move(entry), decided);
}

LoginScheduler::Now LoginScheduler::recheck(const std::string &clientid, const void *client, unsigned long serial,
                                            const char *username, const char *password, const Field *extra,
                                            std::size_t extra_count, Verdict &decided) noexcept {
    Entry entry{clientid, client, false, serial, {}, {}, {}, false, {}, {}};
    if (!checker_.begin_login(username, password, extra, extra_count, false, entry.question, decided))
        return decided.granted ? Now::granted : Now::refused;
    try {
        entry.wanted = std::make_shared<std::atomic<bool>>(true);
    } catch (...) {
        decided = checker_.finish(entry.question, Answer{});
        return Now::refused;
    }
    return start(std::move(entry), decided);
}

LoginScheduler::Now LoginScheduler::start(Entry entry, Verdict &decided) noexcept {
    const bool login = entry.login;
    const unsigned long token = next_token_++;
    const void *client = entry.client;
    const std::size_t length = entry.question.length;
    entry.asked = Clock::now();
    Entry *placed = nullptr;
    bool queued = false;
    try {
        {
            // Room for this answer, reserved before it can arrive.
            std::lock_guard<std::mutex> guard(arrived_lock_);
            arrived_.reserve(entries_.size() + 1);
        }
        taking_.reserve(entries_.size() + 1);
        placed = &entries_.try_emplace(token).first->second;
        *placed = std::move(entry);
        if (!login) {
            // The newest re-check of a connection is the one in force.
            auto [it, added] = rechecks_.try_emplace(client, token);
            if (!added) {
                if (auto older = entries_.find(it->second); older != entries_.end()) older->second.wanted->store(false);
                it->second = token;
            }
        }
        const auto deadline = login ? std::optional<Clock::time_point>(placed->asked + timeout_) : std::nullopt;
        queued = exchanges_->submit(*placed->question.url, std::move(placed->question.body), length,
                                    [this, token](const Answer &a) {
                                        {
                                            std::lock_guard<std::mutex> guard(arrived_lock_);
                                            arrived_.emplace_back(token, a);  // within the room reserved
                                        }
                                        if (host_.arrived) host_.arrived();
                                    },
                                    deadline, placed->wanted);
    } catch (...) {
        // out of memory: refused below
    }
    if (!queued) {
        PreparedCheck &q = placed ? placed->question : entry.question;
        decided = checker_.finish(q, Answer{});
        decided.granted = false;
        if (login) connections_.settle(placed ? placed->clientid : entry.clientid, placed ? placed->id : entry.id);
        if (auto mine = rechecks_.find(client); !login && mine != rechecks_.end() && mine->second == token)
            rechecks_.erase(mine);
        if (placed) entries_.erase(token);
        return Now::refused;
    }
    if (login) {
        ++logins_;
        login_bytes_ += length;
    }
    decided = Verdict{};
    decided.granted = !login;  // a re-check stands until its answer says otherwise
    return Now::later;
}

void LoginScheduler::disconnected(const void *client) noexcept {
    auto found = rechecks_.find(client);
    if (found == rechecks_.end()) return;
    if (auto entry = entries_.find(found->second); entry != entries_.end()) entry->second.wanted->store(false);
    rechecks_.erase(found);
}

void LoginScheduler::tick() noexcept {
    {
        std::lock_guard<std::mutex> guard(arrived_lock_);
        arrived_.swap(taking_);
    }
    // By index, on copies: what the broker does when told may begin a
    // login here, which reserves more room in taking_.
    for (std::size_t i = 0; i < taking_.size(); ++i) {
        const auto [token, answer] = taking_[i];
        auto found = entries_.find(token);
        if (found == entries_.end()) continue;
        Entry entry = std::move(found->second);
        entries_.erase(found);
        settle(token, entry, answer);
    }
    taking_.clear();
}

void LoginScheduler::settle(unsigned long token, Entry &entry, const Answer &answer) noexcept {
    const Verdict v = checker_.finish(entry.question, answer);
    if (entry.login) {
        --logins_;
        login_bytes_ -= entry.question.length;
    }
    if (settled) {
        try {
            settled(v, Clock::now() - entry.asked);
        } catch (...) {
        }
    }
    if (entry.login) {
        // Superseded by a newer login of its id: the broker parks only the newest.
        if (connections_.settle(entry.clientid, entry.id))
            host_.complete(entry.clientid, entry.client, v.granted, entry.kept ? entry.username.c_str() : nullptr,
                           entry.kept ? entry.password.c_str() : nullptr);
        return;
    }
    auto mine = rechecks_.find(entry.client);
    if (mine == rechecks_.end() || mine->second != token) return;  // ended, or a newer re-check is in force
    rechecks_.erase(mine);
    if (!v.granted && connections_.serial(entry.client, entry.clientid) == entry.id) host_.disconnect(entry.clientid, entry.client);
}
