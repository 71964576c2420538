// auth_plugin_v5.so inside the real broker, driven by the broker's own
// clients: what the version-5 library adds. CTest runs it on Debian's broker
// (2.0.11) and on Mosquitto 2.1.2 (test names beginning "v5@2.1.2/"); the
// version-2 suite (broker_test.cpp) runs with this library too.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

#include "broker.h"
#include "endpoint.h"
#include "mqtt_client.h"
#include "timing.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string v5_lines(const std::vector<std::string> &opts) {
    return plugin_lines(opts, Spelling::current, AUTH_PLUGIN_V5_PATH);
}
// A listener on a port reserved for the broker while the test runs.
std::string listener(const LoopbackListener &port) {
    return "listener " + std::to_string(port.port()) + " 127.0.0.1\nallow_anonymous true\n";
}

// Runs a client to completion, within thirty seconds; its exit code and output
// (sanitized brokers on a busy machine are slow).
std::pair<int, std::string> run(const std::vector<std::string> &argv, const std::string &log) {
    Process p(argv, log);
    const bool ended = p.wait(30s);
    return {ended ? p.exit_code() : -1, p.output()};
}

// The requests to one path, as "field=value" maps.
std::vector<std::map<std::string, std::string>> asked(const Endpoint &e, const std::string &path) {
    std::vector<std::map<std::string, std::string>> out;
    for (auto &r : e.requests())
        if (r.path == path) out.push_back(r.fields);
    return out;
}

// Refuses what mentions "closed", grants the rest.
int by_topic(const Recorded &r) { return r.body.find("closed") == std::string::npos ? 200 : 403; }

class BrokerV5 : public ::testing::Test {
protected:
    Endpoint endpoint;
    void SetUp() override { endpoint.decide(by_topic); }
    std::vector<std::string> uris(const Endpoint &e) {
        return {"http_user_uri " + e.url("/user"), "http_acl_uri " + e.url("/acl"), "http_timeout_ms 2000"};
    }
};

TEST_F(BrokerV5, EachListenerAsksItsOwnEndpoint) {
    Endpoint other;
    const LoopbackListener a(false), b(false);
    Broker broker("per_listener_settings true\n" + listener(a) + v5_lines(uris(endpoint)) + listener(b) +
                  v5_lines(uris(other)));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    struct Case {
        int port;
        const char *id;
        Endpoint *asked, *not_asked;
    } cases[] = {{a.port(), "on-a", &endpoint, &other}, {b.port(), "on-b", &other, &endpoint}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        auto argv = broker.client(MOSQUITTO_PUB, c.id, "alice", "secret");
        argv[4] = std::to_string(c.port);
        argv.insert(argv.end(), {"-t", "room/open", "-m", "x"});
        EXPECT_EQ(run(argv, broker.file(std::string(c.id) + ".log")).first, 0);
        // the publish is decided after the client has gone: wait for it
        ASSERT_TRUE(wait_until([&] { return !asked(*c.asked, "/acl").empty(); }));
        ASSERT_EQ(asked(*c.asked, "/user").size(), 1u);
        ASSERT_EQ(asked(*c.asked, "/acl").size(), 1u);
        EXPECT_EQ(asked(*c.asked, "/acl")[0].at("clientid"), c.id);
        EXPECT_TRUE(c.not_asked->requests().empty());
        c.asked->clear();
    }
}

// Without per_listener_settings, 2.0.11 takes one policy per library: the
// second line stops the start, with one line saying why. 2.1 takes both.
TEST_F(BrokerV5, TwoLinesOfOnePolicy) {
    Endpoint other;
    const LoopbackListener port(false);
    Broker broker(listener(port) + v5_lines(uris(endpoint)) + v5_lines(uris(other)));
    // The check tool knows before a restart which broker takes both.
    EXPECT_EQ(broker.validate().first, e2e_broker_21() ? 0 : 1) << broker.validate().second;
    if (e2e_broker_21()) {
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        EXPECT_EQ(broker.publish("alice", "secret", "room/open", "x").first, 0);
        // the first line's answer is the broker's: the second is never asked
        EXPECT_EQ(endpoint.wait_for_requests(2).size(), 2u);
        EXPECT_TRUE(other.requests().empty());
        return;
    }
    EXPECT_FALSE(broker.ready());
    ASSERT_TRUE(broker.process().wait(5s));
    EXPECT_NE(broker.process().exit_code(), 0);
    EXPECT_TRUE(broker.log_has("auth_plugin: this library is already loaded by another plugin line"))
        << broker.process().output();
}

TEST_F(BrokerV5, SubscriptionsAreAskedAboutWhenAskedTo) {
    struct Case {
        bool check;
        const char *protocol, *suback;
    } cases[] = {
        {true, "mqttv311", "Subscribed (mid: 1): 0, 128, 0"},
        {true, "mqttv5", "Subscribed (mid: 1): 0, 135, 0"},
        {false, "mqttv311", "Subscribed (mid: 1): 0, 0, 0"},
        {false, "mqttv5", "Subscribed (mid: 1): 0, 0, 0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.protocol) + (c.check ? " asked" : " not asked"));
        auto opts = uris(endpoint);
        if (c.check) opts.push_back("http_check_subscribe true");
        const LoopbackListener port(false);
        Broker broker(listener(port) + v5_lines(opts));
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        endpoint.clear();
        auto argv = broker.client(MOSQUITTO_SUB, "sub", "alice", "secret");
        argv.insert(argv.end(), {"-V", c.protocol, "-d", "-E", "-t", "room/open/#", "-t", "room/closed/+", "-t",
                                 "$share/g/room/open", "-U", "room/old"});
        const std::string out = run(argv, broker.file("sub.log")).second;
        EXPECT_NE(out.find(c.suback), std::string::npos) << out;
        auto questions = [&] {
            std::vector<std::string> list;
            for (auto &f : asked(endpoint, "/acl")) list.push_back(f.at("access") + " " + f.at("topic"));
            return list;
        };
        // the UNSUBSCRIBE may be read after the client had its SUBACK and
        // left; it is granted without asking, as it only takes rights away
        EXPECT_TRUE(broker.wait_for_log("Received UNSUBSCRIBE from sub")) << broker.process().output();
        const std::vector<std::string> expected{"subscribe room/open/#", "subscribe room/closed/+",
                                                "subscribe $share/g/room/open"};
        EXPECT_EQ(questions(), c.check ? expected : std::vector<std::string>{});
    }
}

// A scratch directory with a test CA, a server certificate and a client certificate.
struct Certificates {
    fs::path dir;
    Certificates() {
        std::string tmpl = (fs::temp_directory_path() / "auth_plugin_certs.XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
        dir = tmpl;
        if (std::system((std::string(MAKE_CERTS) + " " + dir.string()).c_str()) != 0)
            throw std::runtime_error("make_certs.sh failed");
    }
    ~Certificates() { fs::remove_all(dir); }
    std::string operator[](const char *name) const { return (dir / name).string(); }
};

TEST_F(BrokerV5, LoginAndAccessFieldsFromATlsListenerThatRequiresCertificates) {
    const Certificates certs;
    const LoopbackListener port(false);
    auto opts = uris(endpoint);
    opts.insert(opts.end(), {"http_login_fields clientid,address,protocol_version,certificate_subject",
                             "http_acl_fields retain qos address"});
    Broker broker(listener(port) + "cafile " + certs["ca.pem"] + "\ncertfile " + certs["server.pem"] + "\nkeyfile " +
                  certs["server.key"] + "\nrequire_certificate true\n" + v5_lines(opts));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    auto argv = broker.client(MOSQUITTO_PUB, "dev1", "alice", "secret");
    argv.insert(argv.end(), {"--cafile", certs["ca.pem"], "--cert", certs["client.pem"], "--key", certs["client.key"],
                             "-V", "mqttv5", "-q", "1", "-r", "-t", "room/open", "-m", "x"});
    auto [code, out] = run(argv, broker.file("pub.log"));
    EXPECT_EQ(code, 0) << out;
    // both are asked before the client has its CONNACK and its PUBACK
    const auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 2u) << broker.process().output();
    EXPECT_EQ(requests[0].body,
              "username=alice&password=secret&clientid=dev1&address=127.0.0.1&protocol_version=5"
              "&certificate_subject=CN%3Dauth_plugin%20test%20broker");
    EXPECT_EQ(requests[1].body,
              "clientid=dev1&username=alice&topic=room%2Fopen&access=write&retain=true&qos=1&address=127.0.0.1");

    // The check tool, given the broker's configuration and the same client,
    // asks exactly what the plug-in asked; a field it cannot fill is refused.
    const std::vector<std::string> tool{AUTH_PLUGIN_CHECK, "-c", broker.file("mosquitto.conf"), "-i", "dev1",
                                        "--address", "127.0.0.1", "--protocol-version", "5", "-u", "alice"};
    struct Ask {
        std::vector<std::string> args;
        int exit;
        std::string body;  // empty: nothing asked
    } asks[] = {
        {{"--cert", certs["client.pem"], "-P", "secret"}, 0, requests[0].body},
        {{"--cert", certs["client.pem"], "-t", "room/open", "--write", "--qos", "1", "--retain", "true"}, 0,
         requests[1].body},
        {{"-P", "secret"}, 2, ""},  // certificate_subject without --cert
    };
    for (const auto &a : asks) {
        SCOPED_TRACE(a.args.back());
        endpoint.clear();
        auto line = tool;
        line.insert(line.end(), a.args.begin(), a.args.end());
        const auto [exit, said] = run(line, broker.file("tool.log"));
        EXPECT_EQ(exit, a.exit) << said;
        const auto asked_now = endpoint.requests();
        ASSERT_EQ(asked_now.size(), a.body.empty() ? 0u : 1u) << said;
        if (!a.body.empty()) {
            EXPECT_EQ(asked_now[0].body, a.body);
        } else {
            EXPECT_NE(said.find("http_login_fields"), std::string::npos) << said;
        }
    }
}

TEST_F(BrokerV5, FiguresArePublishedUnderSys) {
    auto opts = uris(endpoint);
    opts.push_back("http_stats_interval_s 1");
    const LoopbackListener port(false);
    Broker broker(listener(port) + v5_lines(opts));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    EXPECT_NE(broker.publish("alice", "closed", "room/open", "x").first, 0);  // one login refused
    auto argv = broker.client(MOSQUITTO_SUB, "figures", "carol", "pw");
    argv.insert(argv.end(), {"-v", "-t", "$SYS/plugin/auth_plugin/#", "-W", "60"});
    Process sub(argv, broker.file("figures.log"));
    // Figures come every second from TICK; on an idle 2.1 broker they may
    // come seconds late. Wait until they count the subscriber's own login.
    std::map<std::string, std::string> figures;
    const bool complete = wait_until([&] {
        std::istringstream lines(sub.output());
        for (std::string topic, value; lines >> topic >> value;)
            figures[topic.substr(std::strlen("$SYS/plugin/auth_plugin/"))] = value;
        return figures.size() == 14 && figures.at("login/granted") == "1";
    }, 40s);
    sub.stop();
    ASSERT_TRUE(complete) << sub.output();
    EXPECT_EQ(figures["login/granted"], "1") << sub.output();
    EXPECT_EQ(figures["login/refused"], "1");
    EXPECT_EQ(figures["exchanges/failed"], "0");
    EXPECT_EQ(figures["login/late"], "0");
    EXPECT_EQ(figures["exchanges/waiting"], "0");
    for (const char *name : {"access/granted", "access/refused", "cache/hits", "cache/stale", "backoff/refused", "exchange_ms/p50",
                             "exchange_ms/p99", "exchanges/limit"})
        EXPECT_NE(figures[name], "") << name;
}

}  // namespace

namespace {

// A storm of logins, half of them refused. On 2.1 the logins are asked at
// once: the endpoint holds each request until it holds several together,
// which only concurrent logins can bring about; on 2.0.11 they are asked one
// after another, as before. Then a reload while the endpoint hangs, and the
// broker stopped with re-checks in flight: it ends at once, cleanly. One
// login answered at once comes first: until the endpoint has answered, the
// plug-in asks it only two at a time.
TEST_F(BrokerV5, ALoginStormIsAnsweredConcurrentlyWhereTheBrokerAllowsIt) {
    constexpr int clients = 12, together = 6;
    const bool concurrent = e2e_broker_21();
    // Shared with the endpoint's threads, which may outlive this function's locals.
    struct Gate {
        std::mutex m;
        std::condition_variable changed;
        int held = 0, most = 0, first = 0;
        bool open = false, hang = false;
    };
    auto gate = std::make_shared<Gate>();
    gate->open = !concurrent;
    endpoint.decide([gate](const Recorded &r) {
        std::unique_lock<std::mutex> lock(gate->m);
        if (r.fields.count("username") && r.fields.at("username") == "first") {
            // Two logins answered together (where the broker asks them at
            // once): the endpoint has answered while more than one was asked.
            ++gate->first;
            gate->changed.notify_all();
            gate->changed.wait_for(lock, 20s, [&] { return gate->open || gate->first >= 2; });
            return 200;
        }
        gate->most = std::max(gate->most, ++gate->held);
        gate->changed.notify_all();
        gate->changed.wait_for(lock, 20s, [&] { return gate->open || gate->held >= together; });
        gate->open = true;
        --gate->held;
        gate->changed.notify_all();
        if (gate->hang) gate->changed.wait_for(lock, 60s, [&] { return !gate->hang; });
        return r.fields.count("password") && r.fields.at("username").rfind("ok", 0) == 0 ? 200 : 401;
    });
    const LoopbackListener port(false);
    Broker broker(listener(port) + v5_lines({"http_user_uri " + endpoint.url("/user"), "http_timeout_ms 30000"}));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    EXPECT_EQ(broker.log_has("answered later"), concurrent) << broker.process().output();
    {
        std::vector<std::unique_ptr<Process>> firsts;
        for (const char *id : {"first-a", "first-b"}) {
            auto argv = broker.client(MOSQUITTO_PUB, id, "first", "pw");
            argv.insert(argv.end(), {"-t", "storm", "-m", "x"});
            firsts.push_back(std::make_unique<Process>(argv, broker.file(std::string(id) + ".log")));
        }
        for (auto &first : firsts) {
            ASSERT_TRUE(first->wait(60s));
            ASSERT_EQ(first->exit_code(), 0) << first->output();
        }
    }

    std::vector<std::unique_ptr<Process>> pubs;
    for (int i = 0; i < clients; ++i) {
        const std::string user = (i % 2 ? "ok-" : "no-") + std::to_string(i);
        auto argv = broker.client(MOSQUITTO_PUB, "storm-" + std::to_string(i), user, "pw");
        argv.insert(argv.end(), {"-t", "storm", "-m", "x"});
        pubs.push_back(std::make_unique<Process>(argv, broker.file("storm" + std::to_string(i) + ".log")));
    }
    for (int i = 0; i < clients; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(pubs[i]->wait(60s));
        EXPECT_EQ(pubs[i]->exit_code() == 0, i % 2 == 1) << pubs[i]->output();  // each its own decision
    }
    {
        std::lock_guard<std::mutex> lock(gate->m);
        if (concurrent) EXPECT_GE(gate->most, together);
        else EXPECT_EQ(gate->most, 1);
    }
    EXPECT_EQ(endpoint.requests().size(), static_cast<std::size_t>(clients + 2));

    // A connected client, a reload while the endpoint hangs, and a stop.
    auto argv = broker.client(MOSQUITTO_SUB, "stays", "ok-stays", "pw");
    argv.insert(argv.end(), {"-t", "x", "-W", "60"});
    Process sub(argv, broker.file("stays.log"));
    ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from stays"));
    {
        std::lock_guard<std::mutex> lock(gate->m);
        gate->hang = true;
    }
    broker.process().signal(SIGHUP);
    ASSERT_TRUE(endpoint.wait_for_requests(clients + 4).size() >= static_cast<std::size_t>(clients + 4));
    broker.process().signal(SIGTERM);
    EXPECT_TRUE(broker.process().wait(20s));
    EXPECT_EQ(broker.process().exit_code(), 0) << broker.process().output();
    std::lock_guard<std::mutex> lock(gate->m);
    gate->hang = false;
    gate->changed.notify_all();
}

// logrotate's SIGHUP while the endpoint gives no answer (5xx) keeps every
// connected client, as they were; once it answers again, the client it now
// refuses is gone within one re-check, and the one it grants stays.
TEST_F(BrokerV5, AReloadDuringAnOutageKeepsEveryClientUntilTheEndpointRefusesOne) {
    struct State {
        std::atomic<bool> down{false}, revoking{false};
    };
    auto state = std::make_shared<State>();  // the endpoint's threads may outlive this function
    endpoint.decide([state](const Recorded &r) {
        if (state->down) return 503;
        return state->revoking && r.fields.at("username") == "revoked" ? 401 : 200;
    });
    const LoopbackListener port(false);
    Broker broker(listener(port) + v5_lines({"http_user_uri " + endpoint.url("/user")}));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    std::vector<std::unique_ptr<Process>> subs;
    for (const char *user : {"kept", "revoked"}) {
        auto argv = broker.client(MOSQUITTO_SUB, std::string("sub-") + user, user, "pw");
        argv.insert(argv.end(), {"-v", "-t", "x", "-W", "120"});
        subs.push_back(std::make_unique<Process>(argv, broker.file(std::string(user) + ".log")));
        ASSERT_TRUE(broker.wait_for_log(std::string("Received SUBSCRIBE from sub-") + user));
    }
    state->down = state->revoking = true;
    broker.process().signal(SIGHUP);
    EXPECT_TRUE(broker.wait_for_log("waiting for the endpoint, which gave them no answer: 2;"));
    EXPECT_FALSE(broker.disconnected("sub-kept")) << broker.process().output();
    EXPECT_FALSE(broker.disconnected("sub-revoked")) << broker.process().output();
    state->down = false;
    EXPECT_TRUE(broker.wait_for_disconnect("sub-revoked")) << broker.process().output();
    ASSERT_TRUE(broker.wait_for_log("re-checks waiting for the endpoint: none")) << broker.process().output();
    auto argv = broker.client(MOSQUITTO_PUB, "pub", "kept", "pw");
    argv.insert(argv.end(), {"-t", "x", "-m", "still-here"});
    EXPECT_EQ(run(argv, broker.file("pub.log")).first, 0);
    EXPECT_TRUE(wait_until([&] { return subs[0]->output().find("x still-here") != std::string::npos; }))
        << subs[0]->output();
    EXPECT_FALSE(broker.disconnected("sub-kept")) << broker.process().output();
}

}  // namespace

namespace {

long long unix_seconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Rules in the login answer (http_login_rules), through the real broker: the
// endpoint is asked once per client, never per message; an expired token
// ends its connection; "ignore" hands the login to the broker's password file.
// An endpoint written only from EMQX 5's documented HTTP authentication and
// authorization contract: a JSON POST (or a GET with the parameters in the
// query), the client id in the path and a header, and {"result": ...} or
// 204 in answer. It knows nothing of this plug-in.
struct EmqxStyleEndpoint {
    Endpoint endpoint;
    // Status and JSON body for one request; the body empty for none.
    static std::pair<int, std::string> answer(const Recorded &r) {
        const std::string allow = R"({"result":"allow"})", deny = R"({"result":"deny"})";
        std::map<std::string, std::string> in = r.fields;  // a GET's query
        if (r.method == "POST") {
            if (r.content_type != "application/json") return {400, ""};
            const auto body = nlohmann::json::parse(r.body);
            for (auto &[k, v] : body.items()) in[k] = v.get<std::string>();
        }
        if (r.path == "/auth") {
            if (in["password"] != "pw") return {200, deny};
            if (in["username"] == "nobody-home") return {204, ""};
            return {200, R"({"result":"allow","is_superuser":false})"};
        }
        const std::string prefix = "/authz/";
        if (r.path.rfind(prefix, 0) != 0) return {404, ""};
        const std::string clientid = r.path.substr(prefix.size());
        const auto header = r.headers.find("X-Client");
        if (header == r.headers.end() || header->second != clientid || in["action"].empty()) return {400, ""};
        if (in["action"] == "publish" && in["topic"].find("/secret") != std::string::npos) return {200, deny};
        if (in["topic"].rfind("open/", 0) == 0) return {200, allow};
        if (in["topic"].rfind("quiet/", 0) == 0) return {204, ""};
        return {200, deny};
    }
    EmqxStyleEndpoint() {
        endpoint.decide([](const Recorded &r) { return answer(r).first; });
        endpoint.json([](const Recorded &r) { return answer(r).second; });
    }
};

TEST(BrokerV5Emqx, AnEndpointWrittenForEmqxDecidesUnchanged) {
    EmqxStyleEndpoint emqx;
    const auto url = [&](const std::string &path) { return emqx.endpoint.url(path); };
    const struct {
        const char *method;
        std::vector<std::string> options;
    } cases[] = {
        {"post",
         {"http_user_uri " + url("/auth"),
          R"(http_user_body {"username": "${username}", "password": "${password}", "clientid": "${clientid}"})",
          "http_acl_uri " + url("/authz/${clientid}"),
          R"(http_acl_body {"username": "${username}", "topic": "${topic}", "action": "${action}", "qos": "${qos}"})"}},
        {"get",
         {"http_method get", "http_user_uri " + url("/auth"),
          R"(http_user_body {"username": "${username}", "password": "${password}"})",
          "http_acl_uri " + url("/authz/${clientid}?topic=${topic}&action=${action}")}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.method);
        auto opts = c.options;
        opts.insert(opts.end(), {"http_header X-Client: ${clientid}", "http_answers json", "http_check_subscribe true",
                                 "http_timeout_ms 2000"});
        const LoopbackListener port(false);
        Broker broker(listener(port) + v5_lines(opts));
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        auto once = broker.client(MOSQUITTO_SUB, "sub-1", "alice", "pw");
        once.insert(once.end(), {"-d", "-E", "-t", "open/#", "-t", "quiet/#", "-t", "closed/#"});
        const std::string subscribed = run(once, broker.file("once.log")).second;
        EXPECT_NE(subscribed.find("Subscribed (mid: 1): 0, 0, 128"), std::string::npos)
            << subscribed << broker.process().output();
        auto argv = broker.client(MOSQUITTO_SUB, "sub-2", "alice", "pw");
        argv.insert(argv.end(), {"-v", "-t", "open/#", "-t", "quiet/#", "-t", "closed/#", "-W", "60"});
        Process sub(argv, broker.file("sub.log"));
        ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-2")) << broker.process().output();
        // Delivered if its publish were granted: the subscription covers it.
        EXPECT_EQ(broker.publish("alice", "pw", "open/secret", "refused").first, 0);  // QoS 0: refused silently
        EXPECT_EQ(broker.publish("alice", "pw", "open/a", "allowed").first, 0);
        EXPECT_NE(broker.publish("alice", "wrong", "open/a", "not-in").first, 0);
        EXPECT_EQ(broker.publish("nobody-home", "pw", "quiet/b", "by-204").first, 0);
        EXPECT_TRUE(wait_until([&] { return sub.output().find("quiet/b by-204") != std::string::npos; })) << sub.output();
        sub.stop();
        EXPECT_NE(sub.output().find("open/a allowed"), std::string::npos) << sub.output();
        EXPECT_EQ(sub.output().find("refused"), std::string::npos) << sub.output();
        EXPECT_EQ(sub.output().find("not-in"), std::string::npos) << sub.output();
        for (const auto &r : emqx.endpoint.requests()) EXPECT_NE(EmqxStyleEndpoint::answer(r).first, 400) << r.target;
        emqx.endpoint.clear();
    }
}

class LoginRulesE2E : public BrokerV5 {
protected:
    std::atomic<long long> short_lived_until{0};
    void SetUp() override {
        endpoint.decide([](const Recorded &) { return 200; });
        endpoint.json([this](const Recorded &r) -> std::string {
            if (r.path != "/user") return "";
            const std::string user = r.fields.at("username");
            if (user == "pf") return R"({"result":"ignore"})";
            if (user == "root") return R"({"is_superuser":true})";
            std::string rules = R"({"acl":[{"permission":"allow","action":"publish","topic":"room/${username}/#"},
                {"permission":"allow","action":"subscribe","topic":"room/#"},
                {"permission":"deny","action":"all","topic":"#"}])";
            if (user == "short" || user == "wshort")
                rules += R"(,"expire_at":)" + std::to_string(short_lived_until.load());
            return rules + "}";
        });
    }
    std::unique_ptr<Process> subscriber(Broker &broker, const std::string &user) {
        auto argv = broker.client(MOSQUITTO_SUB, "sub-" + user, user, "pw");
        argv.insert(argv.end(), {"-v", "-t", "room/#", "-W", "60"});  // -W only bounds it
        auto sub = std::make_unique<Process>(argv, broker.file(user + ".log"));
        EXPECT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-" + user));
        return sub;
    }
    bool publish(Broker &broker, const std::string &user, const std::string &topic, const std::string &message) {
        auto argv = broker.client(MOSQUITTO_PUB, "pub-" + user, user, "pw");
        argv.insert(argv.end(), {"-q", "1", "-t", topic, "-m", message});
        return run(argv, broker.file("pub.log")).first == 0;
    }
};

TEST_F(LoginRulesE2E, EachClientIsAskedOnceAndItsRulesDecideEveryMessage) {
    auto opts = uris(endpoint);
    opts.insert(opts.end(), {"http_login_rules true", "http_check_subscribe true"});
    const LoopbackListener port(false);
    Broker broker(listener(port) + v5_lines(opts));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    auto sub = subscriber(broker, "carol");
    EXPECT_TRUE(publish(broker, "alice", "room/bob/x", "not-hers"));  // refused, yet QoS 1 completes on 3.1.1
    EXPECT_TRUE(publish(broker, "alice", "room/alice/x", "hers"));
    EXPECT_TRUE(wait_until([&] { return sub->output().find("room/alice/x hers") != std::string::npos; }))
        << sub->output();
    sub->stop();
    EXPECT_EQ(sub->output().find("not-hers"), std::string::npos) << sub->output();
    EXPECT_EQ(asked(endpoint, "/user").size(), 3u);
    EXPECT_TRUE(asked(endpoint, "/acl").empty());
}

TEST_F(LoginRulesE2E, AnExpiredTokenEndsItsConnection) {
    // 2.0.11 with per_listener_settings true sends no TICK: the connection
    // stays, but receives nothing from its expiry on.
    const bool ticks = e2e_broker_21();
    for (const char *before : {"", ticks ? nullptr : "per_listener_settings true\n"}) {
        if (!before) continue;
        SCOPED_TRACE(before);
        auto opts = uris(endpoint);
        opts.push_back("http_login_rules true");
        const LoopbackListener port(false);
        Broker broker(before + listener(port) + v5_lines(opts));
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        short_lived_until = unix_seconds() + 3;
        auto expiring = subscriber(broker, "short");
        auto staying = subscriber(broker, "carol");
        ASSERT_TRUE(wait_until([&] { return unix_seconds() > short_lived_until; }, 10s));
        const bool no_tick = *before != '\0';
        if (!no_tick) {
            EXPECT_TRUE(broker.wait_for_disconnect("sub-short")) << broker.process().output();
            const auto delay = unix_seconds() - short_lived_until;
            std::printf("disconnected %lld s after its expire_at (whole seconds)\n", delay);
        }
        EXPECT_TRUE(publish(broker, "alice", "room/alice/late", "after"));
        EXPECT_TRUE(wait_until([&] { return staying->output().find("room/alice/late after") != std::string::npos; }));
        EXPECT_EQ(broker.disconnected("sub-short"), !no_tick) << broker.process().output();
        expiring->stop();
        EXPECT_EQ(expiring->output().find("after"), std::string::npos) << expiring->output();
    }
}

// "ignore": the broker's next check decides; here its password file.
TEST_F(LoginRulesE2E, IgnoreHandsTheLoginToThePasswordFile) {
    const LoopbackListener port(false);
    const std::string passwords = (fs::temp_directory_path() / ("auth_plugin_pw." + std::to_string(port.port()))).string();
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords + " pf pw >/dev/null").c_str()), 0);
    const bool later = e2e_broker_21();  // logins answered later: "ignore" cannot be handed on
    struct Case {
        const char *async;  // http_async_logins
        const char *password;
        bool in;
        const char *answers;  // what lets an answer say "ignore"
    } cases[] = {{"false", "pw", true, "http_login_rules true"},
                 {"false", "wrong", false, "http_login_rules true"},
                 {"true", "pw", !later, "http_login_rules true"},
                 {"true", "pw", !later, "http_answers json"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.async) + " " + c.password + " " + c.answers);
        auto opts = uris(endpoint);
        opts.insert(opts.end(), {c.answers, std::string("http_async_logins ") + c.async});
        Broker broker("listener " + std::to_string(port.port()) + " 127.0.0.1\npassword_file " + passwords + "\n" +
                      v5_lines(opts));
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        // Where it cannot be handed on, the start-up line says so, and so does the refusal.
        const bool refused_by_broker = later && *c.async == 't';
        EXPECT_EQ(broker.log_has("says \"ignore\" is refused"), refused_by_broker) << broker.process().output();
        auto argv = broker.client(MOSQUITTO_PUB, "pub-pf", "pf", c.password);
        argv.insert(argv.end(), {"-t", "room/pf/x", "-m", "x"});
        EXPECT_EQ(run(argv, broker.file("pub.log")).first == 0, c.in) << broker.process().output();
        if (refused_by_broker) {
            EXPECT_TRUE(broker.wait_for_log("the login of pub-pf answered later said \"ignore\", and is refused"));
        }
        if (!c.in || std::string(c.answers) != "http_login_rules true") continue;
        // A reload leaves it to the password file again: it stays.
        auto sub = broker.client(MOSQUITTO_SUB, "sub-pf", "pf", "pw");
        sub.insert(sub.end(), {"-v", "-t", "room/#", "-W", "60"});
        Process staying(sub, broker.file("sub.log"));
        ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-pf"));
        broker.process().signal(SIGHUP);
        ASSERT_TRUE(broker.wait_for_log("Reloading config"));
        argv.back() = "after-reload";  // sent after the reload's re-checks
        EXPECT_EQ(run(argv, broker.file("pub2.log")).first, 0);
        EXPECT_TRUE(wait_until([&] { return staying.output().find("after-reload") != std::string::npos; }))
            << staying.output() << broker.process().output();
        EXPECT_FALSE(broker.disconnected("sub-pf")) << broker.process().output();
    }
    fs::remove(passwords);
}


// A will is decided as a publish by its connection would have been just
// before it ended: by its rules, refused past their expire_at, however long
// its delay. The broker asks about it after telling the plug-in that the
// connection ended, so the connection's record must outlive it.
TEST_F(LoginRulesE2E, WillsAreDecidedByTheRulesOfTheirConnection) {
    for (const bool acl_endpoint : {false, true}) {
        SCOPED_TRACE(acl_endpoint);
        auto opts = acl_endpoint ? uris(endpoint) : std::vector<std::string>{"http_user_uri " + endpoint.url("/user")};
        opts.push_back("http_login_rules true");
        const LoopbackListener port(false);
        Broker broker(listener(port) + v5_lines(opts));
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        auto argv = broker.client(MOSQUITTO_SUB, "watcher", "root", "pw");
        argv.insert(argv.end(), {"-v", "-t", "#", "-W", "60"});
        Process watcher(argv, broker.file("watcher.log"));
        ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from watcher"));
        short_lived_until = unix_seconds() + 2;
        // Each drops its connection without DISCONNECT: 3.1.1, MQTT 5, MQTT
        // 5 with a will delayed by a second, with a session that persists
        // and with one that ends with the connection (2.1 holds it until the
        // will is asked, long after the end event); then one whose rules expire.
        const struct {
            int version;
            unsigned delay_s, session_expiry_s;
        } kinds[] = {{4, 0, 0}, {5, 0, 0}, {5, 1, 3600}, {5, 1, 0}};
        int n = 0;
        for (const auto &k : kinds)
            for (int i = 0; i < 5; ++i, ++n) {
                bench::Client c(port.port());
                const std::string id = "will-" + std::to_string(n), user = "u" + std::to_string(n);
                ASSERT_TRUE(c.send(bench::connect_with_will(id, user, "pw", k.version, "secret/will" + std::to_string(n),
                                                            "leaked", k.delay_s, k.session_expiry_s)));
                ASSERT_EQ(c.connack(30s), 0) << id;
            }
        {
            bench::Client c(port.port());
            ASSERT_TRUE(c.send(bench::connect_with_will("will-short", "wshort", "pw", 4, "room/wshort/will", "expired")));
            ASSERT_EQ(c.connack(30s), 0);
            ASSERT_TRUE(wait_until([&] { return unix_seconds() > short_lived_until; }, 10s));
            // 2.0.11 and 2.1 both end it at its expiry (TICK); its will comes then
            EXPECT_TRUE(c.closed_within(30s));
        }
        // Wills its rules allow are published: the last of them, delayed
        // like the others, say the others have been decided.
        const struct {
            const char *name;
            unsigned delay_s, session_expiry_s;
        } allowed[] = {{"will0", 0, 0}, {"ended-with-it", 1, 0}, {"will1", 1, 3600}};
        for (const auto &a : allowed) {
            bench::Client c(port.port());
            ASSERT_TRUE(c.send(bench::connect_with_will(std::string("will-ok-") + a.name, "ok", "pw", 5,
                                                        std::string("room/ok/") + a.name, "sent", a.delay_s,
                                                        a.session_expiry_s)));
            ASSERT_EQ(c.connack(30s), 0);
        }
        // Both delayed ones: the brokers need not send them in the order of their ends.
        EXPECT_TRUE(wait_until(
            [&] {
                const std::string out = watcher.output();
                return out.find("room/ok/will1 sent") != std::string::npos &&
                       out.find("room/ok/ended-with-it sent") != std::string::npos;
            },
            30s))
            << watcher.output() << broker.process().output();
        watcher.stop();
        EXPECT_NE(watcher.output().find("room/ok/will0 sent"), std::string::npos) << watcher.output();
        EXPECT_EQ(watcher.output().find("leaked"), std::string::npos) << watcher.output();
        EXPECT_EQ(watcher.output().find("expired"), std::string::npos) << watcher.output();
    }
}

// An expiry ends a decision, not a user: with the decision cache on, the
// next login after expire_at is asked again, and admitted on a new answer.
TEST_F(LoginRulesE2E, ALoginAfterItsExpiryIsAskedAgainWithTheCacheOn) {
    auto opts = uris(endpoint);
    opts.insert(opts.end(), {"http_login_rules true", "http_cache_ms 60000"});
    const LoopbackListener port(false);
    Broker broker(listener(port) + v5_lines(opts));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    short_lived_until = unix_seconds() + 2;
    EXPECT_TRUE(publish(broker, "short", "room/short/a", "x"));
    ASSERT_TRUE(wait_until([&] { return unix_seconds() > short_lived_until; }, 10s));
    short_lived_until = unix_seconds() + 3600;  // the endpoint would now grant
    EXPECT_TRUE(publish(broker, "short", "room/short/b", "x")) << broker.process().output();
    EXPECT_EQ(asked(endpoint, "/user").size(), 2u);
}
// One line per decision at the broker's debug level, saying how it was
// decided; never the password, a header's value or the URL's query.
TEST_F(LoginRulesE2E, EachDecisionIsLoggedAtTheDebugLevelWithoutSecrets) {
    const std::vector<std::string> opts = {"http_user_uri " + endpoint.url("/user") + "?key=querysecret",
                                           "http_acl_uri " + endpoint.url("/acl"), "http_header X-Token: hdrsecret",
                                           "http_login_rules true", "http_cache_ms 60000"};
    const LoopbackListener port(false);
    Broker broker(listener(port) + v5_lines(opts));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    short_lived_until = 1000;  // long past
    const auto pub = [&](const char *id, const char *user, const char *topic) {
        auto argv = broker.client(MOSQUITTO_PUB, id, user, "pwsecret");
        argv.insert(argv.end(), {"-q", "1", "-t", topic, "-m", "x"});
        return run(argv, broker.file(std::string(id) + ".log")).first;
    };
    EXPECT_EQ(pub("d1", "alice", "room/alice/x"), 0);  // asked; rule 1 allows
    EXPECT_EQ(pub("d2", "alice", "room/bob/x"), 0);    // the cache; rule 3 denies
    EXPECT_NE(pub("d3", "short", "room/short/x"), 0);  // its answer's expire_at has passed
    ASSERT_TRUE(broker.wait_for_disconnect("d2"));
    const std::string log = broker.process().output();
    for (const char *line : {"login by client \"d1\", user \"alice\": granted by HTTP 200",
                             "write \"room/alice/x\" by client \"d1\", user \"alice\": granted by rule 1",
                             "login by client \"d2\", user \"alice\": granted by the decision cache",
                             "write \"room/bob/x\" by client \"d2\", user \"alice\": refused by rule 3",
                             "login by client \"d3\", user \"short\": refused by HTTP 200 but the answer's expire_at has passed"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    for (const char *secret : {"pwsecret", "hdrsecret", "querysecret"}) EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}
}  // namespace
