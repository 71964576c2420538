// A real HTTP endpoint on 127.0.0.1, port chosen by the kernel, that records
// every request and answers what the test tells it to, or hangs until the
// test lets it answer.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "timing.h"

struct Recorded {
    std::string method, path, body, content_type, content_length;
    std::map<std::string, std::string> fields;  // the form, decoded
    int client_port;                             // tells connections apart
    std::string target;                          // path and query as sent, not decoded
    std::map<std::string, std::string> headers;  // as sent; names as written
};

class Endpoint {
public:
    using Decide = std::function<int(const Recorded &)>;

    // keep_alive_max: how many requests the server answers on one connection
    // before closing it.
    explicit Endpoint(std::size_t keep_alive_max = 100) : Endpoint(keep_alive_max, "") {}
    // The same endpoint on a Unix domain socket at path.
    static std::unique_ptr<Endpoint> on_unix_socket(const std::string &path) {
        return std::unique_ptr<Endpoint>(new Endpoint(100, path));
    }

private:
    Endpoint(std::size_t keep_alive_max, const std::string &unix_path) {
        server_.set_keep_alive_max_count(keep_alive_max);
        server_.Post(".*", [this](const httplib::Request &req, httplib::Response &res) { serve(req, res); });
        server_.Get(".*", [this](const httplib::Request &req, httplib::Response &res) { serve(req, res); });
        if (unix_path.empty()) {
            port_ = server_.bind_to_any_port("127.0.0.1");
            if (port_ <= 0) throw std::runtime_error("cannot bind the test endpoint");
        } else {
            server_.set_address_family(AF_UNIX);
        }
        thread_ = std::thread([this, unix_path] {
            unix_path.empty() ? server_.listen_after_bind() : server_.listen(unix_path.c_str(), 80);
            ended_ = true;
        });
        // Until it runs, stop() would not reach the listening thread.
        wait_until([this] { return server_.is_running() || ended_; });
        if (!server_.is_running()) {
            if (!ended_) std::abort();  // twenty seconds and still not listening: nothing sensible is left
            thread_.join();
            throw std::runtime_error("the test endpoint does not listen");
        }
    }

public:
    ~Endpoint() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        released_.notify_all();
        server_.stop();
        thread_.join();
    }
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;

    std::string url(const std::string &path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int port() const { return port_; }

    // Every request is answered with this status, a body, and for 3xx a
    // Location pointing back at this endpoint's /redirected.
    void answer(int status, std::string body = "") {
        std::lock_guard<std::mutex> lock(mutex_);
        decide_ = [status](const Recorded &) { return status; };
        body_ = std::move(body);
    }
    // A header sent with every answer from now on (an empty value removes it).
    void header(const std::string &name, const std::string &value) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (value.empty()) headers_.erase(name);
        else headers_[name] = value;
    }
    void decide(Decide decide) {
        std::lock_guard<std::mutex> lock(mutex_);
        decide_ = std::move(decide);
    }
    // Bodies by request: where this gives one, it is sent as application/json.
    void json(std::function<std::string(const Recorded &)> body) {
        std::lock_guard<std::mutex> lock(mutex_);
        json_ = std::move(body);
    }
    std::vector<Recorded> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // Requests so far, once there are at least n (or after twenty seconds). A
    // client that gave up may return before the request it sent is recorded.
    std::vector<Recorded> wait_for_requests(std::size_t n) const {
        wait_until([&] { return requests().size() >= n; });
        return requests();
    }
    // For a decision: the request hangs, unanswered, until release() or until
    // the endpoint goes, as an endpoint that stopped answering would (at most
    // two minutes, so that a test that forgets cannot hang for good).
    void hold() const {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t generation = generation_;
        released_.wait_for(lock, std::chrono::minutes(2), [&] { return generation_ != generation || stopping_; });
    }
    // Lets every request held so far go on to its answer.
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++generation_;
        }
        released_.notify_all();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.clear();
    }

private:
    void serve(const httplib::Request &req, httplib::Response &res) {
        Recorded r{req.method, req.path, req.body, req.get_header_value("Content-Type"),
                   req.get_header_value("Content-Length"), {}, req.remote_port, req.target, {}};
        for (auto &[name, value] : req.params) r.fields[name] = value;
        for (auto &[name, value] : req.headers) r.headers[name] = value;
        Decide decide;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(r);
            decide = decide_;
        }
        res.status = decide(r);  // unlocked: a test's decision may take its time
        std::lock_guard<std::mutex> lock(mutex_);
        if (res.status >= 300 && res.status < 400) res.set_header("Location", url("/redirected"));
        for (auto &[name, value] : headers_) res.set_header(name, value);
        if (json_)
            if (std::string body = json_(r); !body.empty()) return res.set_content(body, "application/json");
        res.set_content(body_, "text/plain");
    }

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> ended_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable released_;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
    Decide decide_ = [](const Recorded &) { return 200; };
    std::string body_;
    std::function<std::string(const Recorded &)> json_;
    std::map<std::string, std::string> headers_;
    std::vector<Recorded> requests_;
};
