// TICK's housekeeping for a `plugin` line of the version-5 library: what was
// answered since is settled, what expired is ended, and the figures are
// published when due.
#include <algorithm>

#include "instance.h"
#include "login_rules.h"

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
