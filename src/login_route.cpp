#include "login_route.h"

#include "login_scheduler.h"

LoginRoute decide_login_route(const Settings &s, bool newer_broker) noexcept {
    LoginRoute r;
    r.newer_broker = newer_broker;
    const bool asked = s.http_user_uri.has_value();
    r.later = s.http_async_logins && newer_broker && asked;
    r.recheck_behind = s.http_reload_in_background && asked;
    // A token's claims are rules too: its acl, and its expiry, which ends the connection.
    r.login_rules = (s.http_login_rules && asked) || s.tokens();
    r.scheduled = r.later || r.recheck_behind;
    // Known wherever logins are asked: a re-check that gets no answer keeps its connection.
    r.recheck_known = asked || s.http_control || r.login_rules;
    r.stats = s.http_stats_interval_s > 0;
    return r;
}

std::vector<std::string> describe_login_route(const LoginRoute &r, const Settings &s) {
    std::vector<std::string> lines;
    if (s.http_user_uri) {
        std::string line = "auth_plugin: logins ";
        if (r.later)
            line += "the decision cache cannot answer are answered later, as many at once as the endpoint keeps up with "
                    "(up to " + std::to_string(s.http_max_in_flight) + ") and " +
                    std::to_string(LoginScheduler::max_pending_logins) + " waiting (more are refused as busy)";
        else if (r.newer_broker)
            line += "are answered at once (http_async_logins false)";
        else
            line += "are answered at once (this broker cannot answer them later)";
        line += r.recheck_behind ? "; after a reload, the connections this library admitted stay while re-checked "
                                   "in the background"
                                 : "; after a reload, connected clients are re-checked at once";
        lines.push_back(std::move(line));
    }
    // Wherever an answer can say "ignore" (json answers, or rules).
    if (r.later && (s.http_login_rules || s.http_answers_json))
        lines.emplace_back("auth_plugin: a login answered later whose answer says \"ignore\" is refused, not handed "
                           "to the broker's next check (a password_file, another plugin line): this broker takes no "
                           "other answer for it; with http_async_logins false the broker's next check decides it");
    return lines;
}

std::string without_tick(const LoginRoute &r) {
    // What runs on TICK here, and what happens without it.
    const struct {
        bool on;
        const char *without;
    } on_tick[] = {
        {r.stats, "no stats are published"},
        {r.recheck_behind, "a reload re-checks at once"},
        {r.login_rules, "connections past their rules' expire_at are refused access but not disconnected"},
    };
    std::string without;
    for (const auto &t : on_tick)
        if (t.on) without += (without.empty() ? "" : "; ") + std::string(t.without);
    return without;
}
