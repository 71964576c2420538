// TICK's housekeeping for a `plugin` line of the version-5 library: what was
// answered since is settled, what expired is ended, and the figures are
// published when due.
#include <algorithm>
#include <string>

#include "broker_client.h"
#include "instance.h"
#include "log.h"
#include "login_rules.h"
#include "questions.h"
#include "token_login.h"

namespace {

using Clock = Stats::Clock;

}  // namespace

void Instance::end_expired(Waker *waker) noexcept {
    Connections &connections = shared_->connections;
    const std::int64_t now = unix_now();
    try {
        for (const void *client : connections.expired(now)) kick(client);
    } catch (...) {
        return;  // tried again at the next TICK; meanwhile their access is refused
    }
    // 2.1 may sleep past the next expiry; 2.0.11 ticks ten times a second.
    // At most a day ahead: an expiry years away must not overflow the clock.
    if (const auto next = connections.next_expiry(); next && waker)
        waker->wake_at(Clock::now() + std::chrono::seconds(std::min<std::int64_t>(*next - now, 86400)));
}

void Instance::wait_for_endpoint(const std::string &clientid, const void *client, unsigned long serial,
                                 const char *username, const char *password) noexcept {
    if (!username || !password || waiting_.size() >= max_waiting) return;  // asked again at the next reload
    // A second after its answer: a client whose own exchange fails is asked
    // again at that pace, never in a loop (and never twice at once).
    const auto due = Clock::now() + waiting_pace;
    try {
        waiting_.push_back({client, serial, clientid, username, password, due});
    } catch (...) {
        // no room: it stays as it was until the next reload or command
    }
}

void Instance::ask_waiting(Clock::time_point now) noexcept {
    if (waiting_.empty()) {
        endpoint_answered_ = false;
        return;
    }
    // Only behind, never holding the broker's thread: elsewhere they wait
    // for the next reload, connected as they were.
    if (!scheduler_ || !route_.recheck_behind || waiting_.front().due > now) return;
    // Until the endpoint answers, one at a time and at that pace: a probe, not the fleet.
    if (!endpoint_answered_ && now < next_probe_) return;
    std::size_t n = endpoint_answered_ ? waiting_.size() : 1;
    endpoint_answered_ = false;
    next_probe_ = now + waiting_pace;
    while (n && !waiting_.empty() && waiting_.front().due <= now) {
        const Waiting w = std::move(waiting_.front());
        waiting_.pop_front();
        const auto *client = static_cast<const mosquitto *>(w.client);
        if (shared_->connections.serial(client, w.clientid) != w.serial) continue;  // ended, or replaced
        --n;
        try {
            const LoginAsked asked(checker_, BrokerClient(client), w.username.c_str(), w.password.c_str());
            // Refused now (not for want of an answer): it goes.
            if (const auto v = ask_again(w.clientid, client, w.serial, asked.question(), true);
                v && !v->granted() && !v->unavailable())
                kick(client);
        } catch (...) {
            // it could not be asked: it stays as it was until the next reload or command
        }
    }
}

void Instance::tell_waiting(Clock::time_point now) noexcept {
    // Once the re-checks asked have come back, and at most once a second.
    if (waiting_.size() == told_waiting_ || now < next_tell_ || (scheduler_ && scheduler_->rechecks() != 0)) return;
    told_waiting_ = waiting_.size();
    next_tell_ = now + std::chrono::seconds(1);
    try {
        log_line(LogLevel::warning,
                 told_waiting_ ? "auth_plugin: re-checks waiting for the endpoint, which gave them no answer: " +
                                     std::to_string(told_waiting_) +
                                     "; their clients stay connected with what they had, and are asked again when "
                                     "it answers"
                               : std::string("auth_plugin: re-checks waiting for the endpoint: none any more"));
    } catch (...) {  // no memory for the words: the line is lost, nothing else
    }
}

void Instance::tick(mosquitto_evt_tick &event) noexcept {
    ticked_ = true;
    reloading_ = false;
    Waker *waker = shared_->waker.get();
    // Said before the answers are taken: one arriving meanwhile wakes again.
    if (waker) waker->woken();
    shared_->connections.sweep();
    if (scheduler_) {
        try {
            scheduler_->reserve(answered_);
            follow_ups_.reserve(answered_.capacity());
            scheduler_->take(answered_);
        } catch (...) {
            // no room to take them: they wait for the next TICK
        }
        // One pass settles each; what it leaves for the broker comes after:
        // a disconnection comes straight back in as an end event, and a
        // re-check asked again goes back to the scheduler.
        for (auto &p : answered_)
            if (const Then then = settle(p); then != Then::nothing) follow_ups_.emplace_back(p.client, then);
        answered_.clear();
        for (const auto &[client, then] : follow_ups_) {
            if (then == Then::recheck && recheck(static_cast<const mosquitto *>(client)) != Recheck::refused) continue;
            kick(client);
        }
        follow_ups_.clear();
        const auto now = Clock::now();
        ask_waiting(now);
        tell_waiting(now);
        if (waker && route_.recheck_behind && !waiting_.empty())
            waker->wake_at(std::max(waiting_.front().due, next_probe_));
    }
    // 2.1 calls a callback that asked 0 on every pass of its loop, which
    // bounds no wait, and the waker ends the wait when something is due.
    // 2.0.11 calls about ten times a second whatever this says.
    event.next_s = 0;
    event.next_ns = 0;
    if (route_.login_rules) end_expired(waker);
    if (!stats_) return;
    const auto now = Clock::now();
    // Read only when due: TICK may come on every pass of the broker's loop.
    if (scheduler_ && stats_->until_due(now) == Clock::duration::zero())
        stats_->queue(scheduler_->limit(), scheduler_->queued());
    if (const TokenLogins *tokens = checker_.tokens(); tokens && stats_->until_due(now) == Clock::duration::zero())
        stats_->key_set(tokens->fetched(), tokens->fetch_failed());
    try {
        for (const auto &[topic, payload] : stats_->due(now))
            mosquitto_broker_publish_copy(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                                          true, nullptr);
    } catch (...) {
        // no stats this time; the counts go on
    }
    // Without a waker (2.0.11) nothing is said: that broker calls TICK on
    // every pass of its loop whatever the fields say, and its header names
    // in nanoseconds the field that 2.1 reads in milliseconds.
    if (waker) waker->wake_at(now + stats_->until_due(now));
}
