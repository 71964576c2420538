#include "login_scheduler.h"

#include <functional>

LoginScheduler::LoginScheduler(Checker &checker, const HttpClient &client, long max_in_flight, Waker *waker)
    : checker_(checker),
      timeout_(std::chrono::milliseconds(checker.settings().http_timeout_ms)),
      // A re-check that has waited one time-out goes before newer logins.
      exchanges_(std::make_unique<ConcurrentExchanges>(client, max_in_flight, timeout_, waker)) {}

LoginScheduler::~LoginScheduler() {
    exchanges_.reset();  // joins the exchanges' thread: nothing arrives after this
    // Each check begun is finished, so that a back-off trial ends.
    for (auto &[token, pending] : pending_) checker_.finish(pending.check, Answer{});
}

std::optional<CheckResult> LoginScheduler::login(unsigned long token, const std::string &clientid, const void *client,
                                             const char *address, const LoginQuestion &question,
                                             bool keep_password) noexcept {
    PendingLogin p;
    CheckResult now;
    if (!checker_.begin_login(question, true, p.check, now)) return now;
    if (logins_ >= max_pending_logins || login_bytes_ + p.check.request.bytes() > max_pending_bytes) {
        now = checker_.finish(p.check, Answer{});
        now.source = Source::busy;
        return now;
    }
    try {
        p.token = token;
        p.clientid = clientid;
        p.client = client;
        p.username = question.username;  // for its record
        if (address) p.address = address;
        if (keep_password && question.password) p.password = question.password;  // none: a templated login without one
        p.wanted = std::make_shared<std::atomic<bool>>(true);
    } catch (...) {
        return checker_.finish(p.check, Answer{});
    }
    return start(std::move(p));
}

std::optional<CheckResult> LoginScheduler::recheck(unsigned long token, const std::string &clientid, const void *client,
                                               unsigned long serial, const LoginQuestion &question,
                                               bool merge) noexcept {
    if (merge) {
        // One asked already: its answer may predate what the command is
        // for, so it is asked once more after it, and never more than that.
        if (auto mine = rechecks_.find(client); mine != rechecks_.end()) {
            auto found = pending_.find(mine->second);
            if (found != pending_.end() && found->second.serial == serial) {
                found->second.again = true;
                return std::nullopt;
            }
        }
    }
    PendingLogin p;
    CheckResult now;
    if (!checker_.begin_login(question, false, p.check, now)) return now;
    try {
        p.token = token;
        p.kind = PendingLogin::Kind::recheck;
        p.clientid = clientid;
        p.client = client;
        p.serial = serial;
        // Asked again with them if no answer comes (an outage).
        p.username = question.username;
        p.password = question.password;
        p.wanted = std::make_shared<std::atomic<bool>>(true);
    } catch (...) {
        return checker_.finish(p.check, Answer{});
    }
    return start(std::move(p));
}

std::optional<CheckResult> LoginScheduler::start(PendingLogin pending) noexcept {
    const bool login = pending.kind == PendingLogin::Kind::login;
    const unsigned long token = pending.token;
    const void *client = pending.client;
    const std::size_t length = pending.bytes = pending.check.request.bytes();
    pending.asked = Clock::now();
    PendingLogin *placed = nullptr;
    bool queued = false;
    try {
        placed = &pending_.try_emplace(token).first->second;
        *placed = std::move(pending);
        if (!login) {
            // The newest re-check of a connection is the one in force.
            auto [it, added] = rechecks_.try_emplace(client, token);
            if (!added) {
                if (auto older = pending_.find(it->second); older != pending_.end())
                    older->second.wanted->store(false);
                it->second = token;
            }
        }
        const auto deadline = login ? std::optional<Clock::time_point>(placed->asked + timeout_) : std::nullopt;
        // Whom it is for: a slow user's exchanges are paced on their own.
        const ConcurrentExchanges::Who who{placed->check.user,
                                           placed->address.empty() ? 0 : std::hash<std::string>()(placed->address)};
        queued = exchanges_->submit(token, std::move(placed->check.request), deadline, placed->wanted,
                                    placed->check.rules, who);
    } catch (...) {
        // out of memory: refused below
    }
    if (!queued) {
        CheckResult refused = checker_.finish(placed ? placed->check : pending.check, Answer{});
        refused.decision = Decision::refuse;
        if (auto mine = rechecks_.find(client); !login && mine != rechecks_.end() && mine->second == token)
            rechecks_.erase(mine);
        if (placed) pending_.erase(token);
        return refused;
    }
    if (login) {
        ++logins_;
        login_bytes_ += length;
    }
    return std::nullopt;
}

void LoginScheduler::cancel(unsigned long token) noexcept {
    if (auto found = pending_.find(token); found != pending_.end()) found->second.wanted->store(false);
}

void LoginScheduler::disconnected(const void *client) noexcept {
    auto found = rechecks_.find(client);
    if (found == rechecks_.end()) return;
    if (auto p = pending_.find(found->second); p != pending_.end()) p->second.wanted->store(false);
    rechecks_.erase(found);
}

std::size_t LoginScheduler::withdraw(const char *username, const char *clientid, std::set<std::string> &users) {
    std::size_t n = 0;
    for (auto &[token, p] : pending_) {
        if (p.kind != PendingLogin::Kind::login || p.state != PendingLogin::State::asked ||
            (username && !(p.username && *p.username == username)) || (clientid && p.clientid != clientid))
            continue;
        if (p.username) users.insert(*p.username);
        p.state = PendingLogin::State::withdrawn;
        p.wanted->store(false);  // not started if it has not been: refused the sooner
        ++n;
    }
    return n;
}

void LoginScheduler::take(std::vector<PendingLogin> &out) noexcept {
    const auto now = Clock::now();
    for (const auto &[token, answer] : exchanges_->take()) {
        auto found = pending_.find(token);
        if (found == pending_.end()) continue;
        PendingLogin p = std::move(found->second);
        pending_.erase(found);
        p.took = now - p.asked;
        p.result = checker_.finish(p.check, answer);
        if (answer.attempted) p.result.exchange_ms = std::chrono::duration<double, std::milli>(p.took).count();
        if (p.kind == PendingLogin::Kind::login) {
            --logins_;
            login_bytes_ -= p.bytes;
        } else if (auto mine = rechecks_.find(p.client); mine != rechecks_.end() && mine->second == token) {
            rechecks_.erase(mine);
        } else {
            p.state = PendingLogin::State::replaced;  // ended, or a newer re-check is in force
        }
        if (p.state == PendingLogin::State::withdrawn) {
            p.result = CheckResult{};
            p.result.source = Source::withdrawn;
        } else if (p.state == PendingLogin::State::asked) {
            p.state = PendingLogin::State::answered;
        }
        out.push_back(std::move(p));  // within the room reserved
    }
}
