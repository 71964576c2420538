// The real broker for the end-to-end tests: started on a free loopback port
// with a generated configuration, stopped with its test, and driven by its own
// clients. AUTH_PLUGIN_E2E_RUN chooses the library and the broker, as
// "LIBRARY@BROKER": v2 (auth_plugin.so) or v5 (auth_plugin_v5.so), on 2.0.11
// (Debian's) or 2.1.2 (built from third_party/); unset, v2@2.0.11.
#pragma once

#include <pwd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "loopback.h"
#include "process.h"
#include "timing.h"

inline std::string e2e_run() {
    const char *run = std::getenv("AUTH_PLUGIN_E2E_RUN");
    return run && *run ? run : "v2@2.0.11";
}
inline bool e2e_library_v5() { return e2e_run().rfind("v5@", 0) == 0; }
inline bool e2e_broker_21() { return e2e_run().find("@2.1.2") != std::string::npos; }
inline std::string e2e_broker() {
#ifdef MOSQUITTO_21
    if (e2e_broker_21()) return MOSQUITTO_21;
#else
    if (e2e_broker_21()) throw std::runtime_error("this build has no Mosquitto 2.1.2 (AUTH_PLUGIN_BROKER_21 is off)");
#endif
    return MOSQUITTO;
}
inline std::string e2e_library() {
#ifdef AUTH_PLUGIN_V5_PATH
    if (e2e_library_v5()) return AUTH_PLUGIN_V5_PATH;
#endif
    return AUTH_PLUGIN_PATH;
}

// The two ways the broker spells the plug-in's lines; both must work.
enum class Spelling { current, old };

// The configuration lines that load the plug-in with these options.
inline std::string plugin_lines(const std::vector<std::string> &opts, Spelling spelling = Spelling::current,
                                const std::string &library = e2e_library()) {
    const bool old = spelling == Spelling::old;
    std::string out = (old ? "auth_plugin " : "plugin ") + library + "\n";
    for (auto &line : opts) out += (old ? "auth_opt_" : "plugin_opt_") + line + "\n";
    return out;
}

class Broker {
public:
    // before: global lines (per_listener_settings, say).
    explicit Broker(const std::vector<std::string> &opts, Spelling spelling = Spelling::current,
                    const std::string &before = "")
        : reserved_(std::make_unique<LoopbackListener>(false)) {
        start(before + "listener " + std::to_string(reserved_->port()) + " 127.0.0.1\n" +
              "allow_anonymous true\n" +  // let the plug-in decide about anonymous clients too
              plugin_lines(opts, spelling));
    }
    // A broker with these configuration lines; the first listener is the one
    // clients use. Its port should be reserved (LoopbackListener(false)).
    explicit Broker(const std::string &lines) { start(lines); }
    ~Broker() {
        process_.reset();
        std::filesystem::remove_all(dir_);
    }

    // Waits for the listener to open; false if the broker ended instead.
    bool ready() {
        // 2.1 also logs "running mosquitto as user" on its way up
        wait_until([&] { return log_has(" running\n") || !process_->running(); });
        return log_has(" running\n");
    }
    bool log_has(const std::string &text) const { return process_->output().find(text) != std::string::npos; }
    bool wait_for_log(const std::string &text) {
        return wait_until([&] { return log_has(text); });
    }
    // Whether the broker has logged that this client is gone (2.0 and 2.1 word it differently).
    bool disconnected(const std::string &id) const {
        const std::string out = process_->output(), start = "Client " + id + " ";
        for (auto at = out.find(start); at != std::string::npos; at = out.find(start, at + 1))
            if (out.substr(at, out.find('\n', at) - at).find("disconnected") != std::string::npos) return true;
        return false;
    }
    bool wait_for_disconnect(const std::string &id) {
        return wait_until([&] { return disconnected(id); });
    }
    Process &process() { return *process_; }

    // A client of the broker's own; user "" connects without a user name.
    std::vector<std::string> client(const char *tool, const std::string &id, const std::string &user,
                                    const std::string &pass) const {
        std::vector<std::string> argv{tool, "-h", "127.0.0.1", "-p", std::to_string(port_), "-i", id};
        if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", pass});
        return argv;
    }
    std::string file(const std::string &name) const { return (dir_ / name).string(); }
#ifdef AUTH_PLUGIN_CHECK
    // What auth_plugin_check --validate says of this configuration, told
    // which broker runs it: its exit code and output.
    std::pair<int, std::string> validate() const {
        Process tool({AUTH_PLUGIN_CHECK, "-c", file("mosquitto.conf"), "--validate", "--broker", e2e_broker()},
                     file("validate.log"));
        if (!tool.wait(std::chrono::seconds(30))) return {-1, tool.output()};
        return {tool.exit_code(), tool.output()};
    }
#endif
    int port() const { return port_; }

    // Runs a publish to completion and returns its exit code and output. A
    // client that got in is done only once the broker has handled its
    // DISCONNECT: until then a reload would still ask about its login.
    std::pair<int, std::string> publish(const std::string &user, const std::string &pass,
                                        const std::string &topic, const std::string &message) {
        const std::string id = "pub-" + std::to_string(++clients_);
        auto argv = client(MOSQUITTO_PUB, id, user, pass);
        argv.insert(argv.end(), {"-t", topic, "-m", message});
        Process pub(argv, file("pub" + std::to_string(clients_) + ".log"));
        if (!pub.wait(std::chrono::seconds(30))) return {-1, pub.output()};
        if (pub.exit_code() == 0 && !wait_for_disconnect(id))
            return {-1, pub.output() + "(the broker never logged this client's disconnect)\n"};
        return {pub.exit_code(), pub.output()};
    }

private:
    void start(const std::string &lines) {
        port_ = std::stoi(lines.substr(lines.find("listener ") + 9));
        std::ofstream conf(dir_ / "mosquitto.conf");
        conf << "persistence false\n"
             // Stay this user: started as root the broker would switch to its
             // own, which may not read our build tree.
             << "user " << getpwuid(geteuid())->pw_name << "\n"
             << "log_dest stderr\nlog_type all\n"
             << lines;
        conf.close();
        process_ = std::make_unique<Process>(
            std::vector<std::string>{e2e_broker(), "-c", (dir_ / "mosquitto.conf").string()}, log(),
            std::vector<std::string>{BROKER_ENV});
    }
    static std::filesystem::path make_dir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "auth_plugin_e2e.XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        return tmpl;
    }
    std::string log() const { return (dir_ / "broker.log").string(); }

    std::unique_ptr<LoopbackListener> reserved_;  // the listener's port, kept from other sockets
    std::filesystem::path dir_ = make_dir();
    int port_ = 0;
    int clients_ = 0;
    std::unique_ptr<Process> process_;
};
