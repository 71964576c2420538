// An example of the HTTP service that auth_plugin asks. It shows the whole
// contract: read the posted form, decide, answer 200 to grant and anything
// else to refuse.
//
//   auth_endpoint RULES [PORT]      (PORT 0 or absent: the kernel picks one)
//
// RULES is a plain file, one rule a line (lines starting with '#' are comments):
//   user  NAME PASSWORD              NAME may log in with PASSWORD
//   allow NAME|* read|write|readwrite FILTER
//                                    NAME (or anyone) may read/write topics
//                                    matching FILTER (+ and # as in MQTT)
// Names and passwords cannot hold spaces here; a real service would keep
// password hashes, not passwords.
//
// Subscriptions (asked only with auth_plugin_v5.so and http_check_subscribe
// true): a filter may be subscribed to when one read rule covers every topic
// it can match, so that the subscriber is refused at SUBACK rather than left
// waiting for messages it may never read; "$share/GROUP/" is ignored.
// Unsubscribing is always allowed: it only ever takes access away.

#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Rule {
    std::string user, access, filter;
};

struct Rules {
    std::map<std::string, std::string> passwords;
    std::vector<Rule> allows;
};

Rules load(const char *path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    Rules rules;
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        std::istringstream words(line);
        std::string kind, a, b, c;
        if (!(words >> kind) || kind[0] == '#') continue;
        if (kind == "user" && words >> a >> b) {
            rules.passwords[a] = b;
        } else if (kind == "allow" && words >> a >> b >> c &&
                   (b == "read" || b == "write" || b == "readwrite")) {
            rules.allows.push_back({a, b, c});
        } else {
            throw std::runtime_error(std::string(path) + ":" + std::to_string(n) + ": cannot read this rule");
        }
    }
    return rules;
}

std::vector<std::string> levels(const std::string &topic) {
    std::vector<std::string> out;
    std::string level;
    std::istringstream in(topic);
    while (std::getline(in, level, '/')) out.push_back(level);
    if (!topic.empty() && topic.back() == '/') out.emplace_back();
    return out;
}

// Whether every topic that `filter` matches is matched by `rule` too (a topic
// is a filter without wildcards). As in MQTT, '+' is one level, '#' the rest
// (the parent level included), and a wildcard in the first level does not
// match topics beginning with '$' ($SYS, $CONTROL): those need rules of their own.
bool covers(const std::string &rule, const std::string &filter) {
    auto r = levels(rule), f = levels(filter);
    if (!filter.empty() && filter[0] == '$' && !r.empty() && (r[0] == "+" || r[0] == "#")) return false;
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (i < r.size() && r[i] == "#") return true;
        if (i >= r.size() || f[i] == "#" || (r[i] != "+" && (f[i] == "+" || r[i] != f[i]))) return false;
    }
    return r.size() == f.size() || (r.size() == f.size() + 1 && r.back() == "#");
}

bool may(const Rules &rules, const std::string &user, std::string topic, std::string access) {
    if (access == "unsubscribe") return true;
    if (access == "subscribe") {
        // A shared subscription reads what its filter matches.
        if (topic.rfind("$share/", 0) == 0) {
            auto slash = topic.find('/', 7);
            if (slash == std::string::npos) return false;
            topic.erase(0, slash + 1);
        }
        access = "read";
    } else if (access != "read" && access != "write") {
        return false;
    }
    for (const auto &r : rules.allows)
        if ((r.user == "*" || r.user == user) && r.access.find(access) != std::string::npos &&
            covers(r.filter, topic))
            return true;
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: auth_endpoint RULES [PORT]\n";
        return 2;
    }
    Rules rules;
    try {
        rules = load(argv[1]);
    } catch (const std::exception &e) {
        std::cerr << "auth_endpoint: " << e.what() << "\n";
        return 2;
    }

    httplib::Server server;
    // One thread per open connection: with http_keepalive each holds its thread
    // while it waits for its next question, and a 2.1 broker asks up to
    // http_max_in_flight (64) logins at once per plugin line, beside up to 8
    // kept connections. cpp-httplib's 8 threads would leave the rest waiting
    // for a kept connection to close. (Its listen backlog of 5 is built into
    // Debian's library: a burst of new connections beyond it waits a second.)
    server.new_task_queue = [] { return new httplib::ThreadPool(128); };
    server.Post("/user", [&](const httplib::Request &req, httplib::Response &res) {
        auto user = req.get_param_value("username");
        auto known = rules.passwords.find(user);
        bool ok = known != rules.passwords.end() && known->second == req.get_param_value("password");
        res.status = ok ? 200 : 401;
        std::cout << "asked: may '" << user << "' log in?  -> " << res.status << (ok ? " yes" : " no")
                  << std::endl;  // never the password
    });
    server.Post("/acl", [&](const httplib::Request &req, httplib::Response &res) {
        auto user = req.get_param_value("username"), topic = req.get_param_value("topic"),
             access = req.get_param_value("access");
        bool ok = may(rules, user, topic, access);
        res.status = ok ? 200 : 403;
        std::cout << "asked: may '" << user << "' " << access << " '" << topic << "'?  -> " << res.status
                  << (ok ? " yes" : " no") << std::endl;
    });

    int port = argc == 3 ? std::atoi(argv[2]) : 0;
    if (port == 0) port = server.bind_to_any_port("127.0.0.1");
    else if (!server.bind_to_port("127.0.0.1", port)) port = -1;
    if (port <= 0) {
        std::cerr << "auth_endpoint: cannot listen on 127.0.0.1\n";
        return 1;
    }
    std::cout << "listening on http://127.0.0.1:" << port << std::endl;
    return server.listen_after_bind() ? 0 : 1;
}
