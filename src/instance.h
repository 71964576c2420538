// One `plugin` line of the version-5 library: its settings, its checker (with
// its decision cache, back-off and connections) and its figures. Only the
// broker's thread calls it.
#pragma once

#include <memory>

#include "broker_v5.h"
#include "checker.h"
#include "figures.h"
#include "login_scheduler.h"

// libcurl's global state, counted by libcurl itself: one hold per instance.
struct CurlGlobal {
    CurlGlobal();  // throws std::runtime_error when libcurl cannot start
    ~CurlGlobal();
    CurlGlobal(const CurlGlobal &) = delete;
    CurlGlobal &operator=(const CurlGlobal &) = delete;
};

class Instance {
public:
    // Throws when it cannot be set up.
    explicit Instance(Settings settings);
    const Settings &settings() const noexcept { return checker_.settings(); }

    // The broker's result codes: success, MOSQ_ERR_AUTH, MOSQ_ERR_ACL_DENIED.
    int login(const mosquitto_evt_basic_auth &event) noexcept;
    int access(const mosquitto_evt_acl_check &event) noexcept;
    // Completes what was answered since, and publishes the figures when they are due.
    void tick(mosquitto_evt_tick &event) noexcept;
    // The logins asked until the next TICK re-check clients already admitted.
    void reload() noexcept { reloading_ = true; }
    void disconnected(const mosquitto_evt_disconnect &event) noexcept;
    bool needs_ticks() const noexcept { return figures_ || scheduler_; }
    // How logins and reloads are answered here, for the start-up notice.
    std::string describe_logins() const;

private:
    Verdict decide_access(const mosquitto_evt_acl_check &event) noexcept;

    CurlGlobal curl_;  // first in, last out
    Checker checker_;
    std::unique_ptr<Figures> figures_;  // null unless http_stats_interval_s is set
    // The broker's way of answering a login later (2.1 only), looked up at start.
    using CompleteLogin = void (*)(const char *clientid, int result);
    CompleteLogin complete_ = nullptr;
    bool async_logins_ = false;  // logins the cache cannot answer are answered later
    bool reloading_ = false;     // between RELOAD and the next TICK
    bool ticked_ = false;        // TICK arrives (2.0.11 sends none with per_listener_settings true)
    std::unique_ptr<LoginScheduler> scheduler_;  // last: stopped first; null when neither is on
};
