#include "login_scheduler.h"

#include <algorithm>

LoginScheduler::LoginScheduler(Checker &checker, const HttpClient &client, long max_in_flight,
                               Connections &tickets, std::function<void()> arrived)
    : checker_(checker),
      tickets_(tickets),
      arrived_fn_(std::move(arrived)),
      timeout_(std::chrono::milliseconds(checker.settings().http_timeout_ms)),
      // A re-check that has waited one time-out goes before newer logins.
      exchanges_(std::make_unique<ConcurrentExchanges>(client, max_in_flight, timeout_)) {}

LoginScheduler::~LoginScheduler() {
    exchanges_.reset();  // joins the exchanges' thread: nothing arrives after this
    // Each question begun is finished, so that a back-off trial ends.
    for (auto &[token, entry] : entries_) {
        checker_.finish(entry.question, Answer{});
        if (entry.login) tickets_.settle(entry.clientid, entry.id);
    }
}

LoginScheduler::Now LoginScheduler::login(const std::string &clientid, const void *client, const char *address,
                                          const LoginQuestion &question, bool keep_password,
                                          CheckResult &decided) noexcept {
    Entry entry;
    if (!checker_.begin_login(question, true, entry.question, decided)) {
        tickets_.supersede(clientid);  // answered now: an older delayed login completes nothing
        return decided.granted() ? Now::granted : Now::refused;
    }
    if (logins_ >= max_waiting_logins || login_bytes_ + entry.question.request.bytes() > max_waiting_bytes) {
        decided = checker_.finish(entry.question, Answer{});
        decided.source = Source::busy;
        tickets_.supersede(clientid);
        return Now::busy;
    }
    try {
        entry.clientid = clientid;
        entry.client = client;
        entry.username = question.username;  // for its record
        if (address) entry.address = address;
        if (keep_password) entry.password = question.password;
        auto ticket = tickets_.expect(clientid);
        entry.id = ticket.token;
        entry.wanted = std::move(ticket.wanted);
    } catch (...) {
        decided = checker_.finish(entry.question, Answer{});
        return Now::refused;
    }
    return start(std::move(entry), decided);
}

LoginScheduler::Now LoginScheduler::recheck(const std::string &clientid, const void *client, unsigned long serial,
                                            const LoginQuestion &question, bool merge, CheckResult &decided) noexcept {
    if (merge) {
        // One asked already: its answer may predate what the command is
        // for, so it is asked once more after it, and never more than that.
        if (auto mine = rechecks_.find(client); mine != rechecks_.end()) {
            auto entry = entries_.find(mine->second);
            if (entry != entries_.end() && entry->second.id == serial) {
                entry->second.again = true;
                decided = CheckResult{};
                decided.decision = Decision::grant;
                return Now::later;
            }
        }
    }
    Entry entry;
    if (!checker_.begin_login(question, false, entry.question, decided))
        return decided.granted() ? Now::granted : Now::refused;
    try {
        entry.clientid = clientid;
        entry.client = client;
        entry.login = false;
        entry.id = serial;
        entry.wanted = std::make_shared<std::atomic<bool>>(true);
    } catch (...) {
        decided = checker_.finish(entry.question, Answer{});
        return Now::refused;
    }
    return start(std::move(entry), decided);
}

void LoginScheduler::make_room() {
    // Doubling: reserving one more each time would copy the whole list at
    // every question, which a storm or a command message makes quadratic.
    const std::size_t needed = entries_.size() + 1;
    const auto grow = [needed](auto &list) {
        if (list.capacity() < needed) list.reserve(std::max(needed, 2 * list.capacity()));
    };
    {
        std::lock_guard<std::mutex> guard(arrived_lock_);
        grow(arrived_);
    }
    grow(taking_);
}

LoginScheduler::Now LoginScheduler::start(Entry entry, CheckResult &decided) noexcept {
    const bool login = entry.login;
    const unsigned long token = next_token_++;
    const void *client = entry.client;
    const std::size_t length = entry.bytes = entry.question.request.bytes();
    entry.asked = Clock::now();
    Entry *placed = nullptr;
    bool queued = false;
    try {
        make_room();  // for this answer, before it can arrive
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
        queued = exchanges_->submit(std::move(placed->question.request),
                                    [this, token](const Answer &a) {
                                        {
                                            std::lock_guard<std::mutex> guard(arrived_lock_);
                                            arrived_.emplace_back(token, a);  // within the room reserved
                                        }
                                        if (arrived_fn_) arrived_fn_();
                                    },
                                    deadline, placed->wanted, placed->question.rules);
    } catch (...) {
        // out of memory: refused below
    }
    if (!queued) {
        PreparedCheck &q = placed ? placed->question : entry.question;
        decided = checker_.finish(q, Answer{});
        decided.decision = Decision::refuse;
        if (login) tickets_.settle(placed ? placed->clientid : entry.clientid, placed ? placed->id : entry.id);
        if (auto mine = rechecks_.find(client); !login && mine != rechecks_.end() && mine->second == token)
            rechecks_.erase(mine);
        if (placed) entries_.erase(token);
        return Now::refused;
    }
    if (login) {
        ++logins_;
        login_bytes_ += length;
    }
    decided = CheckResult{};
    decided.decision = decision_of(!login);  // a re-check stands until its answer says otherwise
    return Now::later;
}

void LoginScheduler::disconnected(const void *client) noexcept {
    auto found = rechecks_.find(client);
    if (found == rechecks_.end()) return;
    if (auto entry = entries_.find(found->second); entry != entries_.end()) entry->second.wanted->store(false);
    rechecks_.erase(found);
}

std::size_t LoginScheduler::withdraw(const char *username, const char *clientid, std::set<std::string> &users) {
    std::size_t n = 0;
    for (auto &[token, e] : entries_) {
        if (!e.login || e.withdrawn || (username && !(e.username && *e.username == username)) ||
            (clientid && e.clientid != clientid))
            continue;
        if (e.username) users.insert(*e.username);
        e.withdrawn = true;
        e.wanted->store(false);  // not started if it has not been: refused the sooner
        ++n;
    }
    return n;
}

void LoginScheduler::take(std::vector<Settled> &out) noexcept {
    {
        std::lock_guard<std::mutex> guard(arrived_lock_);
        arrived_.swap(taking_);
    }
    const auto now = Clock::now();
    for (const auto &[token, answer] : taking_) {
        auto found = entries_.find(token);
        if (found == entries_.end()) continue;
        Entry entry = std::move(found->second);
        entries_.erase(found);
        CheckResult v = checker_.finish(entry.question, answer);
        if (answer.attempted) v.exchange_ms = std::chrono::duration<double, std::milli>(now - entry.asked).count();
        if (entry.withdrawn) {
            v = CheckResult{};
            v.source = Source::withdrawn;
        }
        if (entry.login) {
            --logins_;
            login_bytes_ -= entry.bytes;
            // Superseded by a newer login of its id: the broker parks only the newest.
            if (!tickets_.settle(entry.clientid, entry.id)) continue;
            out.push_back({Settled::Kind::login, std::move(entry.clientid), entry.client, 0, std::move(v),
                           std::move(entry.username), std::move(entry.password), std::move(entry.address),
                           now - entry.asked});
            continue;
        }
        auto mine = rechecks_.find(entry.client);
        if (mine == rechecks_.end() || mine->second != token) continue;  // ended, or a newer re-check is in force
        rechecks_.erase(mine);
        if (tickets_.serial(entry.client, entry.clientid) != entry.id) continue;  // not the connection asked about
        const auto kind = v.granted() && entry.again ? Settled::Kind::recheck_again : Settled::Kind::recheck;
        out.push_back({kind, std::move(entry.clientid), entry.client, entry.id, std::move(v), std::nullopt,
                       std::nullopt, {}, now - entry.asked});  // within the room reserved
    }
    taking_.clear();
}
