// How an instance of the version-5 library answers logins and reloads:
// decided once at start, from its settings and what the broker offers, and
// described from that decision.
#pragma once

#include <string>
#include <vector>

#include "settings.h"

struct LoginRoute {
    bool newer_broker = false;    // 2.1: logins may be answered later, sessions looked up by id
    bool later = false;           // logins the cache cannot answer are answered later
    bool recheck_behind = false;  // a reload's re-checks stand while asked behind
    bool scheduled = false;       // a scheduler runs: for either
    // A reload's re-checks are told apart from logins: only connections we
    // admitted are asked again (behind, where recheck_behind), and a session
    // that none of ours holds is refused. Commands and login rules need it too.
    bool recheck_known = false;
    bool stats = false;           // stats are published
    bool login_rules = false;     // logins' answers carry rules, which end connections at their time
    // TICK is needed (to settle answers, to publish stats), and so are the
    // ends of connections (to know which are admitted).
    bool ticks() const noexcept { return scheduled || stats || login_rules; }
    // 2.1's loop may sleep through a due TICK; a waker ends its wait.
    bool waker() const noexcept { return newer_broker && ticks(); }
};

LoginRoute decide_login_route(const Settings &settings, bool newer_broker) noexcept;

// The start-up lines that say how logins, reloads and stats will go here.
std::vector<std::string> describe_login_route(const LoginRoute &route, const Settings &settings);
// What does not happen on a broker that sends no TICK (Mosquitto 2.0.11 with
// per_listener_settings true), for what this route runs on it; empty: nothing.
// Said once it is seen that none comes: nothing tells beforehand.
std::string without_tick(const LoginRoute &route);
