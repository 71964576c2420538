// Exchanges someone waits for, each with a deadline, in the order they
// start: oldest first while the queue keeps up; once it is behind (its
// oldest has waited longer than an exchange needs), newest first, so that
// those who can still receive an answer get one rather than everyone
// getting it too late. One that can no longer be answered in time (less
// than the time needed left) is dropped, never started; but one with half
// its time or more left is always worth asking, or an endpoint that once
// took nearly the whole time-out would never be asked again to show it is
// quicker now. The owner may pass over some (a slow user's, while others
// wait): they keep their place. No clock of its own: every call says when it is.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <utility>

template <class T>
class DeadlineQueue {
public:
    using Clock = std::chrono::steady_clock;

    // Items come in the order of their deadlines (the same time-out for all),
    // so the oldest is always the first to be too late. Throws std::bad_alloc.
    void push(T item, Clock::time_point queued, Clock::time_point deadline) {
        items_.push_back(Item{std::move(item), queued, deadline});
    }

    // The oldest, if it is too late at now or gone (gone(item) true): call
    // until nothing comes back, before next().
    template <class Gone>
    std::optional<T> drop(Clock::time_point now, Clock::duration needed, Gone &&gone) {
        if (items_.empty()) return std::nullopt;
        Item &front = items_.front();
        if (!late(front, now, needed) && !gone(front.item)) return std::nullopt;
        return take_front();
    }
    // The next to start at now: the oldest, or the newest once behind. It
    // may itself be too late or gone: the caller checks (late()).
    std::optional<T> next(Clock::time_point now, Clock::duration needed) {
        return next(now, needed, [](const T &) { return true; }, 1);
    }
    // The same, among those pick(item) takes: the first of them in that
    // order, looking at no more than scan items (the rest wait their turn).
    template <class Pick>
    std::optional<T> next(Clock::time_point now, Clock::duration needed, Pick &&pick, std::size_t scan) {
        const std::size_t n = std::min(scan, items_.size());
        const bool newest = behind(now, needed);
        for (std::size_t i = 0; i < n; ++i) {
            const auto at = newest ? items_.end() - 1 - static_cast<std::ptrdiff_t>(i)
                                   : items_.begin() + static_cast<std::ptrdiff_t>(i);
            if (!pick(at->item)) continue;
            T item = std::move(at->item);
            items_.erase(at);
            return item;
        }
        return std::nullopt;
    }

    bool behind(Clock::time_point now, Clock::duration needed) const noexcept {
        return !items_.empty() && now - items_.front().queued > needed;
    }
    // How long until the oldest is too late; nothing when none waits.
    std::optional<Clock::duration> until_late(Clock::time_point now, Clock::duration needed) const noexcept {
        if (items_.empty()) return std::nullopt;
        const Item &front = items_.front();
        const Clock::time_point at = front.deadline - wanted(front.queued, front.deadline, needed);
        return at > now ? at - now : Clock::duration::zero();
    }
    // Whether one queued then, due by deadline, is too late at now.
    static bool late(Clock::time_point queued, Clock::time_point deadline, Clock::time_point now,
                     Clock::duration needed) noexcept {
        return deadline <= now || deadline - now < wanted(queued, deadline, needed);
    }

    std::size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }
    // Every item, oldest first, for the owner to end (the queue is left empty).
    template <class F>
    void drain(F &&f) {
        while (!items_.empty()) f(*take_front());
    }

private:
    struct Item {
        T item;
        Clock::time_point queued, deadline;
    };
    static bool late(const Item &i, Clock::time_point now, Clock::duration needed) noexcept {
        return late(i.queued, i.deadline, now, needed);
    }
    // The time an item must have left: what is needed, at most half its own.
    static Clock::duration wanted(Clock::time_point queued, Clock::time_point deadline, Clock::duration needed) noexcept {
        return std::min(needed, (deadline - queued) / 2);
    }
    std::optional<T> take_front() {
        Item front = std::move(items_.front());
        items_.pop_front();
        return std::move(front.item);
    }

    std::deque<Item> items_;
};
