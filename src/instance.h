// One `plugin` line of the version-5 library: its settings, its checker (with
// its decision cache, back-off and connections) and its figures. Only the
// broker's thread calls it.
#pragma once

#include <memory>

#include "broker_v5.h"
#include "checker.h"
#include "figures.h"

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
    // Publishes the figures when they are due.
    void tick(mosquitto_evt_tick &event) noexcept;

private:
    Verdict decide_access(const mosquitto_evt_acl_check &event) noexcept;

    CurlGlobal curl_;  // first in, last out
    Checker checker_;
    std::unique_ptr<Figures> figures_;  // null unless http_stats_interval_s is set
};
