// The lifecycle of a `plugin` line of the version-5 library: what every line
// shares while any is loaded (made by the first, freed by the last), and a
// line's start, reload and end. Routing the broker's questions is
// instance.cpp's; TICK's housekeeping, instance_tick.cpp's.
#include <dlfcn.h>

#include <algorithm>

#include "instance.h"
#include "log.h"

namespace {

using Clock = Stats::Clock;

// One for the library, made by the first instance and freed by the last:
// plain globals, so that loading the library runs no code.
Shared *shared = nullptr;

Shared *hold_shared(bool waker) {
    std::unique_ptr<Shared> made;
    if (!shared) {
        // 2.1 says which session it holds under an id; 2.0.11 cannot.
        made = std::make_unique<Shared>(
            reinterpret_cast<Connections::SessionOf>(dlsym(RTLD_DEFAULT, "mosquitto_client")));
    }
    Shared &s = made ? *made : *shared;
    if (waker && !s.waker) s.waker = std::make_unique<Waker>();
    if (made) shared = made.release();
    ++shared->users;
    return shared;
}

void release_shared() noexcept {
    if (shared && --shared->users == 0) {
        delete shared;
        shared = nullptr;
    }
}

}  // namespace

bool Shared::keeps_passwords() const noexcept {
    // Commands re-check logins; an access template may send the password.
    return std::any_of(instances.begin(), instances.end(), [](const Instance *i) {
        return i->settings().http_control ||
               (i->checker().access_plan().uses() & bit(Placeholder::password)) != 0;
    });
}

Instance::Instance(Configuration configuration) : checker_(std::move(configuration)), started_(Clock::now()) {
    const Settings &s = checker_.settings();
    complete_ = reinterpret_cast<CompleteLogin>(dlsym(RTLD_DEFAULT, "mosquitto_complete_basic_auth"));
    route_ = decide_login_route(s, complete_ != nullptr);
    if (route_.stats)
        stats_ = std::make_unique<Stats>(std::chrono::seconds(s.http_stats_interval_s), s.http_stats_topic,
                                         started_);
    shared_ = hold_shared(route_.waker());
    try {
        shared_->instances.push_back(this);
        if (route_.scheduled) {
            scheduler_ = std::make_unique<LoginScheduler>(checker_, checker_.client(), s.http_max_in_flight,
                                                          shared_->waker.get());
        }
    } catch (...) {
        scheduler_.reset();
        leave_shared();
        throw;
    }
}

Instance::~Instance() {
    scheduler_.reset();  // before what it reaches: the waker
    leave_shared();
}

void Instance::leave_shared() noexcept {
    auto &all = shared_->instances;
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
    shared_->connections.end_owned_by(this);  // nothing may reach this instance again
    shared_->pending.forget_line(this);
    release_shared();
}

void Instance::reload() noexcept {
    reloading_ = true;
    waiting_.clear();  // the broker re-checks every connection now
    checker_.reload();
    tell_if_no_tick();
    log_reload(start_up_lines);
}

void Instance::tell_if_no_tick() noexcept {
    if (ticked_ || told_no_tick_ || route_.newer_broker || !route_.ticks()) return;
    // 2.0.11 calls TICK on every pass of its loop, about ten times a second,
    // when it calls it at all: none by a reload, or for two seconds, is none.
    if (!reloading_ && Clock::now() - started_ < std::chrono::seconds(2)) return;
    told_no_tick_ = true;
    try {
        log_line(LogLevel::warning, ("auth_plugin: this broker sends no TICK (Mosquitto 2.0.11 with "
                                     "per_listener_settings true): " +
                                     without_tick(route_) +
                                     "; with per_listener_settings false, or Mosquitto 2.0.15 or later, this runs")
                                        .c_str());
    } catch (...) {  // no memory for the words: the warning is lost, nothing else
    }
}
