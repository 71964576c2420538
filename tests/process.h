// Child processes for the end-to-end tests: each is stopped when its owner
// goes, pass or fail, and every wait is bounded.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class Process {
public:
    // Starts argv[0] with standard output and error appended to log, and
    // with extra environment entries ("NAME=value") added to ours. The child
    // is killed if this process dies first, so even a crashed or timed-out
    // test leaves nothing running.
    Process(const std::vector<std::string> &argv, const std::string &log,
            const std::vector<std::string> &extra_env = {})
        : log_(log) {
        std::vector<char *> args, env;
        for (auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        for (auto &e : extra_env) env.push_back(const_cast<char *>(e.c_str()));
        for (char **e = environ; *e; ++e) env.push_back(*e);
        env.push_back(nullptr);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("cannot start " + argv[0]);
        if (pid_ == 0) {  // only async-signal-safe calls from here on
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            int in = open("/dev/null", O_RDONLY);
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (in < 0 || out < 0) _exit(127);
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execve(args[0], args.data(), env.data());
            _exit(127);
        }
    }
    ~Process() { stop(); }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool running() { return reap(WNOHANG); }
    pid_t pid() const { return pid_; }
    void signal(int sig) {
        if (running()) kill(pid_, sig);
    }

    // Waits at most `limit` for the process to end; true if it has.
    bool wait(std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (running()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // SIGTERM, then SIGKILL if it does not go within five seconds.
    void stop() {
        if (!running()) return;
        kill(pid_, SIGTERM);
        if (wait(std::chrono::seconds(5))) return;
        kill(pid_, SIGKILL);
        reap(0);
    }

    int exit_code() const { return status_ >= 0 && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
    std::string output() const {
        std::ifstream in(log_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    // True while the child is still running.
    bool reap(int flags) {
        if (status_ >= 0) return false;
        int status = 0;
        pid_t r = waitpid(pid_, &status, flags);
        if (r == 0) return true;
        status_ = r == pid_ ? status : 0;
        return false;
    }

    pid_t pid_ = -1;
    int status_ = -1;
    std::string log_;
};
