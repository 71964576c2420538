// An HTTP/2 endpoint that drains its connections (GOAWAY after every 20th
// stream, as servers and load balancers do on a reload; tests/goaway_server.py),
// through the real broker: logins answered at once (2.0.11, and auth_plugin.so
// on 2.1.2) and later (auth_plugin_v5.so on 2.1.2). What the endpoint never
// processed is asked again, within the time left, and every good login gets
// in; what it may have processed is asked exactly once.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "broker.h"
#include "mqtt_client.h"
#include "timing.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string python = "/usr/bin/python3";  // Debian's, with python3-h2
const auto timeout = scaled(3000ms);
// AskedAgainOnlyInTheTimeLeft's time-out, and when its first attempt is refused.
const auto short_timeout = scaled(1000ms), late = scaled(600ms);
using Logins = std::vector<std::pair<std::string, std::string>>;  // user, password

class Drained : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system((python + " -c 'import h2' 2>/dev/null").c_str()) != 0)
            GTEST_SKIP() << "no python3-h2 (scripts/common.sh lists it)";
        std::string tmpl = (fs::temp_directory_path() / "auth_plugin_goaway.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(std::system((std::string(MAKE_CERTS) + " " + dir_.string()).c_str()), 0);
        server_ = std::make_unique<Process>(std::vector<std::string>{python, GOAWAY_SERVER, file("server.pem"),
                                                                     file("server.key"), "20",
                                                                     std::to_string(late.count())},
                                            file("server.log"));
        ASSERT_TRUE(wait_until([&] {
            std::istringstream out(server_->output());
            std::string word;
            return (out >> word >> server_port_) && word == "listening";
        })) << server_->output();
    }
    void start(std::chrono::milliseconds given) {
        const LoopbackListener reserved(false);
        broker_port_ = reserved.port();
        broker_ = std::make_unique<Broker>(
            "listener " + std::to_string(broker_port_) + " 127.0.0.1\n" +
            plugin_lines({"http_user_uri https://127.0.0.1:" + server_port_ + "/user", "http_cafile " + file("ca.pem"),
                          "http_version 2", "http_keepalive true",
                          "http_timeout_ms " + std::to_string(given.count())}));
        ASSERT_TRUE(broker_->ready()) << broker_->process().output();
    }
    void TearDown() override {
        broker_.reset();
        server_.reset();
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // How many times the server said "WORD ARG", by ARG.
    std::map<std::string, int> said(const std::string &word) const {
        std::map<std::string, int> n;
        std::istringstream out(server_->output());
        for (std::string w, arg; out >> w >> arg;)
            if (w == word) ++n[arg];
        return n;
    }
    // Each login's CONNACK code, -1 when none came in the time-out. They
    // arrive a few at a time (7: not a divisor of 20, so that drains fall
    // between logins that follow each other closely).
    std::vector<int> log_in(const Logins &logins) {
        std::vector<int> codes;
        for (std::size_t from = 0; from < logins.size(); from += 7) {
            std::vector<std::unique_ptr<bench::Client>> clients;
            for (std::size_t i = from; i < std::min(logins.size(), from + 7); ++i) {
                clients.push_back(std::make_unique<bench::Client>(broker_port_));
                EXPECT_TRUE(clients.back()->send(bench::connect_packet("c-" + logins[i].first, logins[i].first,
                                                                       logins[i].second)));
            }
            const auto ends = std::chrono::steady_clock::now() + timeout;
            for (auto &c : clients)
                codes.push_back(c->connack(std::max(
                    1ms, std::chrono::duration_cast<std::chrono::milliseconds>(ends - std::chrono::steady_clock::now()))));
        }
        return codes;
    }

    std::unique_ptr<Process> server_;
    std::unique_ptr<Broker> broker_;

private:
    std::string file(const char *name) const { return (dir_ / name).string(); }
    fs::path dir_;
    std::string server_port_;
    int broker_port_ = 0;
};

TEST_F(Drained, EveryGoodLoginGetsInAndNoneIsAskedTwice) {
    ASSERT_NO_FATAL_FAILURE(start(timeout));
    Logins logins;
    for (int i = 0; i < 180; ++i)  // 150 good, every sixth wrong
        logins.emplace_back((i % 6 == 5 ? "w" : "u") + std::to_string(i), i % 6 == 5 ? "wrong" : "secret");
    const std::vector<int> codes = log_in(logins);
    int granted = 0;
    for (std::size_t i = 0; i < logins.size(); ++i) {
        const bool good = logins[i].second == "secret";
        granted += good && codes[i] == 0;
        EXPECT_EQ(codes[i], good ? 0 : 5) << logins[i].first;
    }
    EXPECT_EQ(granted, 150) << broker_->process().output();
    const auto asked = said("asked");
    for (const auto &[user, password] : logins) EXPECT_EQ(asked.count(user) ? asked.at(user) : 0, 1) << user;
    EXPECT_GE(said("goaway").size(), 1u);  // or nothing was tried
}

// Each after two good logins, on their connection: refused, asked once.
TEST_F(Drained, WhatTheEndpointMayHaveProcessedIsNeverAskedTwice) {
    ASSERT_NO_FATAL_FAILURE(start(timeout));
    for (const std::string cut : {"cut-goaway", "cut-reset", "cut-headers", "cut-close"}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(log_in({{"a-" + cut, "secret"}, {"b-" + cut, "secret"}}), std::vector<int>({0, 0}));
        EXPECT_EQ(log_in({{cut, "secret"}}), std::vector<int>{5});
        EXPECT_EQ(said("asked")[cut], 1) << server_->output();
    }
}

// Held for 60% of its time-out, then refused by a GOAWAY naming an earlier
// stream, and not answered when asked again: refused at its time-out, not
// 60% past it.
TEST_F(Drained, AskedAgainOnlyInTheTimeLeft) {
    ASSERT_NO_FATAL_FAILURE(start(short_timeout));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(log_in({{"late-1", "secret"}}), std::vector<int>{5});
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    EXPECT_LT(took.count(), (short_timeout + (short_timeout - late) / 2).count());
    EXPECT_EQ(said("asked")["late-1"], 2);
}

}  // namespace
