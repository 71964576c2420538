// The plug-in inside the real broker, driven by the broker's own clients.
// Each test starts a broker on a free loopback port with a generated
// configuration; the HTTP endpoint it asks lives in this process. CTest runs
// these with either library on either broker (broker.h).

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "broker.h"
#include "endpoint.h"
#include "timing.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Users and what each may do; the endpoint applies these, as an operator's
// service would.
int decide(const Recorded &r) {
    const auto &f = r.fields;
    auto field = [&](const char *name) { return f.count(name) ? f.at(name) : std::string(); };
    if (r.path == "/user") {
        static const std::set<std::pair<std::string, std::string>> users{
            {"alice", "secret"}, {"slow", "x"}, {"carol", "pw"}, {"mallory", "pw"},
            {"J\xc3\xbcrgen & Co = +#", "p w"}, {"J\xc3\xbcrgen & Co = ok", "p+w #"}};
        return users.count({field("username"), field("password")}) ? 200 : 401;
    }
    if (field("username") == "mallory" && field("access") == "read") return 403;
    return field("topic").rfind("room/closed", 0) == 0 ? 403 : 200;
}

// Long enough for any answered check, sat through once by "slow".
const std::string timeout_option = "http_timeout_ms " + std::to_string(scaled(1000ms).count());

// An endpoint that applies decide(), and options that point the plug-in at it.
struct WithEndpoint {
    Endpoint endpoint;
    WithEndpoint() {
        endpoint.decide([this](const Recorded &r) {
            if (r.path == "/user" && r.fields.count("username") && r.fields.at("username") == "slow")
                endpoint.hold();  // past the time-out
            return decide(r);
        });
    }
    std::vector<std::string> both_uris() {
        return {"http_user_uri " + endpoint.url("/user"), "http_acl_uri " + endpoint.url("/acl"), timeout_option};
    }
};
class BrokerTest : public ::testing::TestWithParam<Spelling>, protected WithEndpoint {};
class BrokerLifecycle : public ::testing::Test, protected WithEndpoint {};

TEST_P(BrokerTest, LoginsAreDecidedByTheEndpoint) {
    Broker broker(both_uris(), GetParam());
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    struct Case {
        const char *user, *pass;
        bool connects;
    } cases[] = {{"alice", "secret", true}, {"alice", "wrong", false}, {"", "", false}, {"nobody", "x", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.user);
        auto [code, out] = broker.publish(c.user, c.pass, "room/open", "hello");
        EXPECT_EQ(code == 0, c.connects) << out;
        if (!c.connects) {
            EXPECT_NE(out.find("not authorised"), std::string::npos) << out;
        }
    }
    // The anonymous client was refused inside the plug-in, without a request.
    for (auto &r : endpoint.requests())
        if (r.path == "/user") {
            EXPECT_FALSE(r.fields.at("username").empty());
        }
}

TEST_P(BrokerTest, PublishAndDeliveryFollowTheAccessEndpoint) {
    Broker broker(both_uris(), GetParam());
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    auto subscriber = [&](const std::string &user) {
        auto argv = broker.client(MOSQUITTO_SUB, "sub-" + user, user, "pw");
        argv.insert(argv.end(), {"-t", "room/#", "-v", "-C", "1", "-W", "60"});  // -W only bounds it
        return std::make_unique<Process>(argv, broker.file(user + ".log"));
    };
    auto carol = subscriber("carol");
    auto mallory = subscriber("mallory");
    ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-carol"));
    ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-mallory"));

    // The refused publish comes first: had it got through, carol's one message would be it.
    EXPECT_EQ(broker.publish("alice", "secret", "room/closed", "LOST").first, 0);
    EXPECT_EQ(broker.publish("alice", "secret", "room/open", "DELIVERED").first, 0);

    ASSERT_TRUE(carol->wait(30s));
    EXPECT_EQ(carol->output(), "room/open DELIVERED\n");
    EXPECT_TRUE(wait_until([&] {
        for (auto &r : endpoint.requests())
            if (r.path == "/acl" && r.fields.at("username") == "mallory" && r.fields.at("access") == "read")
                return true;
        return false;
    }));
    // The broker reads the publisher's DISCONNECT after its PUBLISH, so by
    // then any delivery of it has been sent.
    ASSERT_TRUE(broker.wait_for_log("Received DISCONNECT from pub-2")) << broker.process().output();
    EXPECT_FALSE(broker.log_has("Sending PUBLISH to sub-mallory")) << broker.process().output();
    mallory->stop();
    EXPECT_EQ(mallory->output().find("DELIVERED"), std::string::npos) << mallory->output();
}

TEST_P(BrokerTest, UnusualNamesReachTheEndpointIntact) {
    Broker broker(both_uris(), GetParam());
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    // A publish topic cannot hold the wildcards + and #, and the broker itself
    // refuses all access to a user name holding them, without asking the
    // plug-in; so the wildcards travel in the login only.
    const std::string wild = "J\xc3\xbcrgen & Co = +#";
    EXPECT_EQ(broker.publish(wild, "p w", "room/open", "x").first, 0);
    auto requests = endpoint.wait_for_requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].fields, (std::map<std::string, std::string>{{"username", wild}, {"password", "p w"}}));

    endpoint.clear();
    const std::string user = "J\xc3\xbcrgen & Co = ok", topic = "caf\xc3\xa9/a b&c=d";
    EXPECT_EQ(broker.publish(user, "p+w #", topic, "x").first, 0);
    requests = endpoint.wait_for_requests(2);  // the broker decides the publish after the client left
    ASSERT_EQ(requests.size(), 2u) << broker.process().output();
    EXPECT_EQ(requests[0].fields, (std::map<std::string, std::string>{{"username", user}, {"password", "p+w #"}}));
    EXPECT_EQ(requests[1].fields.at("username"), user);
    EXPECT_EQ(requests[1].fields.at("topic"), topic);
    EXPECT_EQ(requests[1].fields.at("access"), "write");
}

TEST_P(BrokerTest, FailingEndpointsRefuseAndTheBrokerCarriesOn) {
    {
        const LoopbackListener down(false);  // nothing listens there
        Broker broker({"http_user_uri " + down.url(), "http_acl_uri " + down.url()}, GetParam());
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        for (int i = 0; i < 2; ++i) {
            auto [code, out] = broker.publish("alice", "secret", "room/open", "x");
            EXPECT_NE(code, 0);
            EXPECT_NE(out.find("not authorised"), std::string::npos) << out;
        }
        EXPECT_TRUE(broker.process().running());
    }
    Broker broker(both_uris(), GetParam());
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    // "slow" would be accepted, but only after the time-out has cut the exchange short.
    auto [code, out] = broker.publish("slow", "x", "room/open", "x");
    EXPECT_NE(code, 0);
    EXPECT_NE(out.find("not authorised"), std::string::npos) << out;
    EXPECT_EQ(broker.publish("alice", "secret", "room/open", "x").first, 0);
    EXPECT_TRUE(broker.process().running());
}

TEST_P(BrokerTest, InvalidOptionsStopTheBrokerFromStarting) {
    const std::string url = endpoint.url("/user");
    struct Case {
        std::vector<std::string> opts;
        std::string message;
    } cases[] = {
        {{"http_user_uri " + url, "http_timeout_ms soon"}, "http_timeout_ms \"soon\""},
        // the broker keeps an inline comment as part of the value
        {{"http_user_uri " + url + "   # credential endpoint"}, "http_user_uri \"" + url + "\" and 24 more characters"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        Broker broker(c.opts, GetParam());
        EXPECT_FALSE(broker.ready());
        ASSERT_TRUE(broker.process().wait(5s));
        EXPECT_NE(broker.process().exit_code(), 0);
        EXPECT_NE(broker.process().output().find(c.message), std::string::npos) << broker.process().output();
        // The check tool says as much before a restart.
        const auto [code, said] = broker.validate();
        EXPECT_EQ(code, 1) << said;
        EXPECT_NE(said.find(c.message), std::string::npos) << said;
    }
}

// With the broker's own log file (Debian's stock log_dest), the plug-in's
// lines are in that file, an error that stops the start included.
TEST(BrokerLog, ThePluginsLinesReachTheBrokersLogFile) {
    Endpoint endpoint;
    const fs::path file = fs::temp_directory_path() / ("auth_plugin_log." + std::to_string(getpid()));
    for (const auto &[opts, says] :
         {std::pair{std::vector<std::string>{"http_user_uri " + endpoint.url("/user")},
                    "auth_plugin: configured (version " AUTH_PLUGIN_VERSION "): http_user_uri " + endpoint.url("/user")},
          std::pair{std::vector<std::string>{"http_user_url " + endpoint.url("/user")},
                    std::string("auth_plugin: unknown option http_user_url (did you mean http_user_uri?)")}}) {
        SCOPED_TRACE(says);
        fs::remove(file);
        const LoopbackListener port(false);
        Broker broker("listener " + std::to_string(port.port()) + " 127.0.0.1\nlog_dest file " + file.string() +
                      "\n" + plugin_lines(opts));
        const bool starts = says.find("unknown") == std::string::npos;
        EXPECT_TRUE(starts ? broker.ready() : broker.process().wait(10s));
        broker.process().stop();  // the broker writes its file until it ends
        std::ifstream in(file);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find(says), std::string::npos) << text;
    }
    fs::remove(file);
}

INSTANTIATE_TEST_SUITE_P(Spellings, BrokerTest, ::testing::Values(Spelling::current, Spelling::old),
                         [](const auto &p) { return p.param == Spelling::old ? "auth_opt" : "plugin_opt"; });

// With per_listener_settings each listener loads the library again, and the
// loads share one copy of its settings: they must agree.
TEST_F(BrokerLifecycle, ListenersThatLoadThePluginTwiceMustAgree) {
    if (e2e_library_v5()) GTEST_SKIP() << "each plugin line has an instance of its own (broker_v5_test.cpp)";
    const LoopbackListener a(false), b(false);
    auto config = [&](const std::string &second_acl) {
        return "per_listener_settings true\n"
               "listener " + std::to_string(a.port()) + " 127.0.0.1\nallow_anonymous true\n" + plugin_lines(both_uris()) +
               "listener " + std::to_string(b.port()) + " 127.0.0.1\nallow_anonymous true\n" +
               plugin_lines({"http_user_uri " + endpoint.url("/user"), "http_acl_uri " + second_acl, timeout_option});
    };
    {
        Broker broker(config(endpoint.url("/other-acl")));
        EXPECT_FALSE(broker.ready());
        ASSERT_TRUE(broker.process().wait(5s));
        EXPECT_NE(broker.process().exit_code(), 0);
        EXPECT_NE(broker.process().output().find("different options"), std::string::npos) << broker.process().output();
        EXPECT_NE(broker.validate().second.find("different options"), std::string::npos);
    }
    Broker broker(config(endpoint.url("/acl")));
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    EXPECT_EQ(broker.publish("alice", "secret", "room/open", "x").first, 0);
    EXPECT_NE(broker.publish("alice", "wrong", "room/open", "x").first, 0);
}

// The example endpoints from examples/, deciding by rules.txt behind the real
// broker: the Python one requires a shared secret in a request header; with
// auth_plugin_v5.so and http_check_subscribe both decide subscriptions too.
TEST(BrokerExampleEndpoint, DecidesByTheRules) {
    const std::string token = "e2e-shared-secret", python = EXAMPLES_DIR "/auth_endpoint.py",
                      emqx = EXAMPLES_DIR "/emqx_endpoint.py";
    struct Case {
        const char *what;
        std::string program, header;  // header: the secret the broker sends, if any
        bool check_subscribe, login_rules;
    } cases[] = {
        {"python, written for EMQX 5", emqx, "", false, false},
        {"python, right secret", python, token, false, false},
        {"python, wrong secret", python, "guess", false, false},
        {"python, subscriptions asked", python, token, true, false},
        {"python, rules in the login answer", python, token, true, true},
#ifdef EXAMPLE_ENDPOINT
        {"c++, subscriptions asked", EXAMPLE_ENDPOINT, "", true, false},
#endif
    };
    for (const auto &c : cases) {
        if (c.check_subscribe && !e2e_library_v5()) continue;  // a version-5 option
        SCOPED_TRACE(c.what);
        const fs::path log = fs::temp_directory_path() / ("auth_endpoint." + std::to_string(getpid()) + ".log");
        fs::remove(log);
        std::vector<std::string> argv{c.program, EXAMPLES_DIR "/rules.txt", "0"};
        if (c.program == python || c.program == emqx) argv.insert(argv.begin(), PYTHON3);
        Process endpoint(argv, log.string(), {"AUTH_ENDPOINT_TOKEN=" + token});
        std::string url;
        wait_until([&] {
            const std::string out = endpoint.output();
            const std::size_t at = out.find("listening on ");
            if (at == std::string::npos || out.find('\n', at) == std::string::npos) return false;
            url = out.substr(at + 13, out.find('\n', at) - at - 13);
            return true;
        });
        ASSERT_FALSE(url.empty()) << endpoint.output();
        std::vector<std::string> opts{"http_user_uri " + url + "/user", "http_acl_uri " + url + "/acl",
                                      "http_keepalive true", "http_cache_ms 60000"};
        if (c.program == emqx)  // as docs/migrating-from-emqx.md configures it
            opts = {"http_user_uri " + url + "/mqtt/auth",
                    R"(http_user_body {"username": "${username}", "password": "${password}"})",
                    "http_acl_uri " + url + "/mqtt/acl",
                    R"(http_acl_body {"username": "${username}", "topic": "${topic}", "action": "${action}"})",
                    "http_answers json", "http_keepalive true", "http_cache_ms 60000"};
        if (!c.header.empty()) opts.push_back("http_header Authorization: Bearer " + c.header);
        if (c.check_subscribe) opts.push_back("http_check_subscribe true");
        if (c.login_rules) opts.push_back("http_login_rules true");
        Broker broker(opts);
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        auto sub = broker.client(MOSQUITTO_SUB, "sub-bob", "bob", "builder");
        // bob may read home/+/temperature only: asked, home/# is refused at SUBACK
        if (c.check_subscribe) sub.insert(sub.end(), {"-d", "-t", "home/+/temperature", "-U", "home/old"});
        sub.insert(sub.end(), {"-t", "home/#", "-v", "-C", "1", "-W", "60"});  // -W only bounds it
        Process bob(sub, broker.file("bob.log"));
        if (c.header == "guess") {
            ASSERT_TRUE(bob.wait(30s));
            EXPECT_NE(bob.output().find("not authorised"), std::string::npos) << bob.output();
            EXPECT_NE(endpoint.output().find("request without the shared secret"), std::string::npos)
                << endpoint.output();
        } else {
            ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-bob")) << bob.output();
            EXPECT_EQ(broker.publish("sensor", "s3cret", "home/door/lock", "open").first, 0);  // bob may not read it
            EXPECT_EQ(broker.publish("sensor", "s3cret", "home/kitchen/temperature", "21.5").first, 0);
            EXPECT_NE(broker.publish("sensor", "wrong", "home/kitchen/temperature", "0").first, 0);
            ASSERT_TRUE(bob.wait(30s));
            const std::string out = bob.output();
            if (!c.check_subscribe) {
                EXPECT_EQ(out, "home/kitchen/temperature 21.5\n");
            } else {
                EXPECT_NE(out.find("Subscribed (mid: 1): 0, 128\n"), std::string::npos) << out;
                EXPECT_NE(out.find("\nhome/kitchen/temperature 21.5\n"), std::string::npos) << out;
                EXPECT_EQ(out.find("home/door/lock"), std::string::npos) << out;
                // An unsubscription only takes rights away: never asked.
                EXPECT_TRUE(broker.wait_for_log("Received UNSUBSCRIBE from sub-bob")) << broker.process().output();
                EXPECT_EQ(endpoint.output().find("unsubscribe"), std::string::npos) << endpoint.output();
                // With rules, the same decisions were made without asking the
                // rest of /acl (each would have been asked before bob's message).
                for (const char *asked : {"may 'bob' subscribe", "may 'bob' read", "may 'sensor' write"})
                    EXPECT_EQ(endpoint.output().find(asked) == std::string::npos, c.login_rules) << asked;
            }
        }
        EXPECT_EQ(endpoint.output().find("builder"), std::string::npos);  // it never logs a password
        endpoint.stop();
        fs::remove(log);
    }
}

// A service written to EMQX 5's contract alone, behind the configuration
// EMQX's documents suggest (a method in capitals): a superuser, a token in
// the user name with no password, and (auth_plugin_v5.so asking about
// subscriptions) an unsubscription, which such a service denies as an
// action it does not know. Each as under EMQX; auth_plugin.so applies no
// rules, and says so once.
TEST(BrokerEmqxContract, AnswersAreReadAsEmqxReadsThem) {
    Endpoint endpoint;
    const auto answer = [](const Recorded &r) -> std::string {
        const auto in = nlohmann::json::parse(r.body, nullptr, false);
        if (!in.is_object()) return R"({"result":"deny"})";
        const std::string user = in.value("username", ""), password = in.value("password", "");
        if (r.path == "/auth") {
            if (user == "root" && password == "pw") return R"({"result":"allow","is_superuser":true})";
            const bool ok = (user == "dev" && password == "pw") || (user == "t0ken" && password.empty());
            return ok ? R"({"result":"allow"})" : R"({"result":"deny"})";
        }
        const std::string action = in.value("action", ""), topic = in.value("topic", "");
        const bool known = action == "publish" || action == "subscribe";
        return known && topic.rfind("open/", 0) == 0 ? R"({"result":"allow"})" : R"({"result":"deny"})";
    };
    endpoint.decide([](const Recorded &) { return 200; });
    endpoint.json(answer);
    std::vector<std::string> opts{
        "http_method POST", "http_user_uri " + endpoint.url("/auth"),
        R"(http_user_body {"username": "${username}", "password": "${password}"})", "http_acl_uri " + endpoint.url("/acl"),
        R"(http_acl_body {"username": "${username}", "topic": "${topic}", "action": "${action}"})", "http_answers json",
        timeout_option};
    const bool v5 = e2e_library_v5();
    if (v5) opts.push_back("http_check_subscribe true");
    Broker broker(opts);
    ASSERT_TRUE(broker.ready()) << broker.process().output();

    EXPECT_EQ(broker.publish("t0ken", "", "open/t", "x").first, 0);  // asked with an empty password
    const std::string unapplied = "is_superuser true, which is not applied";
    if (v5) {
        auto argv = broker.client(MOSQUITTO_SUB, "sub-root", "root", "pw");
        argv.insert(argv.end(), {"-t", "#", "-v", "-C", "1", "-W", "60"});  // -W only bounds it
        Process root(argv, broker.file("root.log"));
        ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-root")) << broker.process().output();
        EXPECT_EQ(broker.publish("root", "pw", "closed/x", "by-superuser").first, 0);
        ASSERT_TRUE(root.wait(30s));
        EXPECT_EQ(root.output(), "closed/x by-superuser\n");

        // Unsubscribed from open/a/#, the client's next message is open/b's.
        argv = broker.client(MOSQUITTO_SUB, "sub-dev", "dev", "pw");
        argv.insert(argv.end(), {"-t", "open/a/#", "-t", "open/b/#", "-U", "open/a/#", "-v", "-C", "1", "-W", "60"});
        Process dev(argv, broker.file("dev.log"));
        ASSERT_TRUE(broker.wait_for_log("Received UNSUBSCRIBE from sub-dev")) << broker.process().output();
        EXPECT_EQ(broker.publish("dev", "pw", "open/a/x", "unsubscribed").first, 0);
        EXPECT_EQ(broker.publish("dev", "pw", "open/b/x", "subscribed").first, 0);
        ASSERT_TRUE(dev.wait(30s));
        EXPECT_EQ(dev.output(), "open/b/x subscribed\n");
        for (const auto &r : endpoint.requests()) EXPECT_EQ(r.body.find("unsubscribe"), std::string::npos) << r.body;
        EXPECT_FALSE(broker.log_has(unapplied));
    } else {
        for (int i = 0; i < 2; ++i) EXPECT_EQ(broker.publish("root", "pw", "closed/x", "refused").first, 0);
        const std::string log = broker.process().output();
        EXPECT_NE(log.find(unapplied), std::string::npos) << log;
        EXPECT_EQ(log.find(unapplied), log.rfind(unapplied)) << log;  // said once
    }
}

// The complete example of docs/migrating-from-emqx.md as written, against
// examples/emqx_endpoint.py over HTTPS: only the library's path, the
// service's address and the CA file differ from the document, so that the
// test runs whatever the document says. A SIGHUP while the service is down
// keeps every client; once it answers again, the client it now refuses goes.
TEST(BrokerGuideExample, TheCompleteExampleWorksAsWritten) {
    if (!e2e_library_v5()) GTEST_SKIP() << "the example loads auth_plugin_v5.so";
    std::ifstream doc(DOCS_DIR "/migrating-from-emqx.md");
    std::vector<std::string> block;
    bool in_example = false, fenced = false, found = false;
    for (std::string line; !found && std::getline(doc, line);) {
        if (line.rfind("## ", 0) == 0) in_example = line == "## A complete example";
        if (line.rfind("```", 0) == 0) {
            found = fenced && in_example && !block.empty() && block[0].rfind("plugin ", 0) == 0;
            fenced = !fenced;
            if (!found) block.clear();
        } else if (fenced) {
            block.push_back(line);
        }
    }
    ASSERT_TRUE(found) << "no Mosquitto block in \"A complete example\"";

    const fs::path dir = fs::temp_directory_path() / ("auth_plugin_guide." + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    struct Removed {
        fs::path p;
        ~Removed() { fs::remove_all(p); }
    } removed{dir};
    ASSERT_EQ(std::system((std::string(MAKE_CERTS) + " " + dir.string()).c_str()), 0);
    // examples/rules.txt with a superuser; then the same without alice.
    std::ifstream rules_in(EXAMPLES_DIR "/rules.txt");
    std::string rules((std::istreambuf_iterator<char>(rules_in)), std::istreambuf_iterator<char>()), without_alice;
    rules += "user root r00t\nsuperuser root\n";
    std::istringstream lines(rules);
    for (std::string line; std::getline(lines, line);)
        if (line.find(" alice ") == std::string::npos) without_alice += line + "\n";
    std::ofstream(dir / "rules.txt") << rules;
    std::ofstream(dir / "without_alice.txt") << without_alice;

    std::string api_key;  // the service requires what the example sends
    for (const auto &line : block)
        if (line.rfind("plugin_opt_http_header X-Api-Key: ", 0) == 0) api_key = line.substr(34);
    ASSERT_FALSE(api_key.empty());
    auto service = [&](const char *rules_file, const std::string &port) {
        return std::make_unique<Process>(
            std::vector<std::string>{PYTHON3, EXAMPLES_DIR "/emqx_endpoint.py", (dir / rules_file).string(), port},
            (dir / "service.log").string(),
            std::vector<std::string>{"EMQX_ENDPOINT_CERT=" + (dir / "server.pem").string(),
                                     "EMQX_ENDPOINT_KEY=" + (dir / "server.key").string(),
                                     "EMQX_ENDPOINT_API_KEY=" + api_key});
    };
    auto up = service("rules.txt", "0");
    std::string url;
    ASSERT_TRUE(wait_until([&] {
        const std::string out = up->output();
        const std::size_t at = out.find("listening on https://"), end = out.find('\n', at);
        if (at == std::string::npos || end == std::string::npos) return false;
        url = out.substr(at + 13, end - at - 13);
        return true;
    })) << up->output();
    const std::string port = url.substr(url.rfind(':') + 1);

    // What a test machine must change; every other line as written.
    std::string conf;
    int changed = 0;
    for (auto line : block) {
        if (line.rfind("plugin ", 0) == 0) line = "plugin " + e2e_library(), ++changed;
        if (line.rfind("plugin_opt_http_cafile ", 0) == 0) line = "plugin_opt_http_cafile " + (dir / "ca.pem").string(), ++changed;
        for (std::size_t at; (at = line.find("https://auth.example.com")) != std::string::npos; ++changed)
            line.replace(at, 24, url);
        conf += line + "\n";
    }
    EXPECT_EQ(changed, 4) << conf;  // the library, two addresses, the CA
    const LoopbackListener reserved(false);
    Broker broker("listener " + std::to_string(reserved.port()) + " 127.0.0.1\n" + conf);
    ASSERT_TRUE(broker.ready()) << broker.process().output();

    auto client = [&](const char *tool, const std::string &id, const std::string &user, const std::string &pass,
                      std::vector<std::string> args) {
        auto argv = broker.client(tool, id, user, pass);
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<Process>(argv, broker.file(id + ".log"));
    };
    auto count = [](const std::unique_ptr<Process> &p, const std::string &text) {
        const std::string out = p->output();
        std::size_t n = 0;
        for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
        return n;
    };
    auto has = [&](const std::unique_ptr<Process> &p, const std::string &text, std::size_t times = 1) {
        return wait_until([&] { return count(p, text) >= times; });
    };
    // -W only bounds them.
    auto root = client(MOSQUITTO_SUB, "sub-root", "root", "r00t", {"-t", "#", "-v", "-W", "600"});
    ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-root")) << broker.process().output();
    // alice may read public/# and home/#, not secret/#; unsubscribed from home/a/#, never asked about it.
    auto alice = client(MOSQUITTO_SUB, "sub-alice", "alice", "wonderland",
                        {"-d", "-v", "-W", "600", "-t", "home/a/#", "-t", "public/#", "-t", "secret/#", "-U", "home/a/#"});
    ASSERT_TRUE(broker.wait_for_log("Received UNSUBSCRIBE from sub-alice")) << broker.process().output();

    // The refused publish first: had it got through, the superuser would have had it before the other.
    EXPECT_EQ(broker.publish("alice", "wonderland", "secret/x", "refused").first, 0);
    EXPECT_EQ(broker.publish("alice", "wonderland", "home/a/x", "allowed").first, 0);
    EXPECT_EQ(broker.publish("root", "r00t", "public/x", "news").first, 0);
    EXPECT_TRUE(has(root, "public/x news")) << root->output();
    ASSERT_TRUE(has(alice, "public/x news")) << alice->output();
    // (its debug lines reach the file with a message)
    EXPECT_NE(alice->output().find("Subscribed (mid: 1): 0, 0, 128\n"), std::string::npos) << alice->output();
    EXPECT_NE(alice->output().find("received UNSUBACK"), std::string::npos) << alice->output();
    EXPECT_NE(root->output().find("home/a/x allowed\n"), std::string::npos) << root->output();
    EXPECT_EQ(root->output().find("refused"), std::string::npos) << root->output();
    EXPECT_EQ(alice->output().find("home/a/x"), std::string::npos) << alice->output();  // unsubscribed
    EXPECT_NE(broker.publish("alice", "wrong", "home/a/x", "x").first, 0);

    // The service down at the nightly reload: nobody goes, and an already
    // connected client's messages still flow.
    auto ticker = client(MOSQUITTO_PUB, "ticker", "root", "r00t",
                         {"-t", "tick", "-m", "tick", "--repeat", "6000", "--repeat-delay", "0.1"});
    ASSERT_TRUE(has(root, "tick tick")) << root->output();
    up.reset();
    broker.process().signal(SIGHUP);
    EXPECT_TRUE(broker.wait_for_log("re-checks waiting for the endpoint, which gave them no answer: 3;"))
        << broker.process().output();
    EXPECT_TRUE(has(root, "tick tick", count(root, "tick tick") + 3)) << root->output();
    for (const char *id : {"sub-root", "sub-alice", "ticker"}) EXPECT_FALSE(broker.disconnected(id)) << id;

    // Back, without alice: she goes at her re-check, the others stay.
    up = service("without_alice.txt", port);
    EXPECT_TRUE(broker.wait_for_disconnect("sub-alice")) << broker.process().output();
    EXPECT_TRUE(broker.wait_for_log("re-checks waiting for the endpoint: none any more")) << broker.process().output();
    EXPECT_TRUE(has(root, "tick tick", count(root, "tick tick") + 3)) << root->output();
    for (const char *id : {"sub-root", "ticker"}) EXPECT_FALSE(broker.disconnected(id)) << id;
}

// An outage is told in the broker's log, without http_backoff_ms too: a
// refused login alone reads as a wrong password.
TEST_F(BrokerLifecycle, AnOutageIsNeverSilent) {
    const LoopbackListener down(false);  // connections to it are refused
    Broker broker({"http_user_uri " + down.url("/user"), timeout_option});
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    EXPECT_NE(broker.publish("alice", "secret", "room/open", "x").first, 0);
    EXPECT_NE(broker.publish("alice", "secret", "room/open", "x").first, 0);
    const std::string log = broker.process().output(), line = "no answer from " + down.url("/user");
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;  // the first failure only
}

// On SIGHUP the broker re-reads its configuration and asks the plug-in again
// about every connected client's login.
TEST_F(BrokerLifecycle, AReloadReChecksConnectedClients) {
    std::atomic<bool> carol_allowed{true};
    endpoint.decide([&](const Recorded &r) {
        if (r.path == "/user" && r.fields.at("username") == "carol" && !carol_allowed) return 401;
        return decide(r);
    });
    Broker broker(both_uris());
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    auto subscriber = [&](const std::string &user) {
        auto argv = broker.client(MOSQUITTO_SUB, "sub-" + user, user, "pw");
        argv.insert(argv.end(), {"-t", "room/#", "-v", "-W", "60"});  // -W only bounds it
        return std::make_unique<Process>(argv, broker.file(user + ".log"));
    };
    auto carol = subscriber("carol");
    auto mallory = subscriber("mallory");
    ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-carol"));
    ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-mallory"));

    // The logins asked about at a reload: each connected client's, once, and
    // before anything that follows (carol's client, refused, tries again a
    // second later).
    auto reload = [&] {
        const std::size_t before = endpoint.requests().size();
        broker.process().signal(SIGHUP);
        std::multiset<std::string> asked;
        wait_until([&] {
            asked.clear();
            const auto requests = endpoint.requests();
            for (std::size_t i = before; i < requests.size() && asked.size() < 2; ++i)
                if (requests[i].path == "/user") asked.insert(requests[i].fields.at("username"));
            return asked.size() == 2;
        });
        EXPECT_EQ(asked, (std::multiset<std::string>{"carol", "mallory"}));
    };
    reload();  // granted again: both stay
    EXPECT_EQ(broker.publish("alice", "secret", "room/open", "after-reload").first, 0);
    EXPECT_TRUE(wait_until([&] { return carol->output().find("room/open after-reload") != std::string::npos; }))
        << carol->output();
    EXPECT_FALSE(broker.disconnected("sub-carol")) << broker.process().output();

    carol_allowed = false;
    reload();  // now refused: carol goes, mallory stays
    EXPECT_TRUE(broker.wait_for_disconnect("sub-carol")) << broker.process().output();
    EXPECT_EQ(broker.publish("alice", "secret", "room/open", "still-checked").first, 0);
    EXPECT_NE(broker.publish("alice", "wrong", "room/open", "x").first, 0);
    EXPECT_FALSE(broker.disconnected("sub-mallory")) << broker.process().output();
    EXPECT_TRUE(mallory->running());
    EXPECT_TRUE(broker.process().running());
    carol->stop();
    EXPECT_EQ(carol->output().find("still-checked"), std::string::npos) << carol->output();
}

// A reload applies the endpoint's policy now, even to logins whose decision
// is still kept: carol, revoked, goes; alice, still accepted, stays.
TEST_F(BrokerLifecycle, AReloadAsksAgainAboutLoginsTheCacheStillHolds) {
    std::atomic<bool> carol_allowed{true};
    endpoint.decide([&](const Recorded &r) {
        if (r.path == "/user" && r.fields.at("username") == "carol" && !carol_allowed) return 401;
        return decide(r);
    });
    auto opts = both_uris();
    opts.emplace_back("http_cache_ms 60000");
    // per_listener_settings true: 2.0.11 then sends no TICK, and re-checks at once.
    for (const char *before : {"", "per_listener_settings true\n"}) {
        SCOPED_TRACE(before);
        carol_allowed = true;
        Broker broker(opts, Spelling::current, before);
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        auto subscriber = [&](const std::string &user, const std::string &pass) {
            auto argv = broker.client(MOSQUITTO_SUB, "sub-" + user, user, pass);
            argv.insert(argv.end(), {"-t", "room/#", "-v", "-W", "60"});  // -W only bounds it
            return std::make_unique<Process>(argv, broker.file(user + ".log"));
        };
        auto carol = subscriber("carol", "pw");
        auto alice = subscriber("alice", "secret");
        ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-carol"));
        ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from sub-alice"));

        carol_allowed = false;
        broker.process().signal(SIGHUP);
        EXPECT_TRUE(broker.wait_for_disconnect("sub-carol")) << broker.process().output();
        EXPECT_EQ(broker.publish("alice", "secret", "room/open", "after-reload").first, 0);
        EXPECT_TRUE(wait_until([&] { return alice->output().find("room/open after-reload") != std::string::npos; }))
            << alice->output();
        EXPECT_FALSE(broker.disconnected("sub-alice")) << broker.process().output();
        carol->stop();
        // The log says again what runs, and that options wait for a restart;
        // where no TICK comes, it says what that stops.
        const std::string log = broker.process().output();
        const std::size_t again = log.find("auth_plugin: configured", log.find("auth_plugin: configured") + 1);
        EXPECT_NE(log.find("apply at a restart", again), std::string::npos) << log;
        const bool no_tick = *before && e2e_library_v5() && !e2e_broker_21();
        EXPECT_EQ(log.find("sends no TICK") != std::string::npos, no_tick) << log;
    }
}

// An outage of the endpoint at the nightly SIGHUP: with http_cache_stale_ms,
// connected clients stay and go on with what was answered before; without it,
// the re-checked logins end without an answer, and every client goes from
// auth_plugin.so, while auth_plugin_v5.so keeps them as they were.
TEST_F(BrokerLifecycle, RecentDecisionsCarryConnectedClientsThroughAnOutageAndAReload) {
    std::atomic<bool> down{false};  // the endpoint hangs
    endpoint.decide([&](const Recorded &r) {
        if (down) endpoint.hold();
        return decide(r);
    });
    for (const bool stale : {true, false}) {
        SCOPED_TRACE(stale ? "http_cache_stale_ms 3600000" : "unset");
        down = false;
        endpoint.release();
        // A short time-out, sat through once per URL: the back-off then outlasts the test.
        auto opts = both_uris();
        opts.insert(opts.end(), {"http_timeout_ms " + std::to_string(scaled(250ms).count()), "http_cache_ms 1000",
                                 "http_backoff_ms 60000"});
        if (stale) opts.emplace_back("http_cache_stale_ms 3600000");
        Broker broker(opts);
        ASSERT_TRUE(broker.ready()) << broker.process().output();
        int runs = 0;
        auto run = [&](const char *tool, const std::string &id, std::vector<std::string> args) {
            auto argv = broker.client(tool, id, "alice", "secret");
            argv.insert(argv.end(), args.begin(), args.end());
            return std::make_unique<Process>(argv, broker.file(id + std::to_string(++runs) + ".log"));
        };
        // A publish to v5 with QoS 1, so that a refused one says so; silent when granted.
        auto once = [&](const char *topic, const char *message) {
            auto pub = run(MOSQUITTO_PUB, "once", {"-V", "mqttv5", "-q", "1", "-t", topic, "-m", message});
            EXPECT_TRUE(pub->wait(30s));
            return pub->output();
        };
        auto carol = run(MOSQUITTO_SUB, "carol", {"-t", "room/#", "-v", "-W", "60"});
        auto seen = [&](const std::string &text) {
            const std::string out = carol->output();
            std::size_t n = 0;
            for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
            return n;
        };
        auto carol_has = [&](const std::string &text, std::size_t times = 1) {
            return wait_until([&] { return seen(text) >= times; });
        };
        ASSERT_TRUE(broker.wait_for_log("Received SUBSCRIBE from carol"));
        auto ticker = run(MOSQUITTO_PUB, "ticker", {"-t", "room/open", "-m", "tick", "--repeat", "1000",
                                                   "--repeat-delay", "0.1"});
        EXPECT_EQ(once("room/open", "before"), "");
        ASSERT_TRUE(carol_has("room/open before")) << carol->output();
        ASSERT_TRUE(carol_has("room/open tick")) << carol->output();

        // The outage, until every decision above is past its lifetime and the back-off has begun.
        down = true;
        const auto expired = std::chrono::steady_clock::now() + 1100ms;
        wait_until([&] { return std::chrono::steady_clock::now() > expired; });
        ASSERT_TRUE(broker.wait_for_log("no answer from")) << broker.process().output();
        EXPECT_EQ(broker.log_has("recent decisions"), stale);

        broker.process().signal(SIGHUP);
        ASSERT_TRUE(broker.wait_for_log("Reloading config.")) << broker.process().output();
        if (stale) {
            // All after the reload's re-checks: a topic never answered is refused, one answered goes on.
            const std::string refused = once("room/never", "lost"), granted = once("room/open", "after");
            EXPECT_NE(refused.find("Publish 1 failed: Not authorized"), std::string::npos) << refused;
            EXPECT_EQ(granted, "");
            ASSERT_TRUE(carol_has("room/open after")) << carol->output();
            EXPECT_TRUE(carol_has("room/open tick", seen("room/open tick") + 3)) << carol->output();  // still ticking
            EXPECT_EQ(carol->output().find("lost"), std::string::npos) << carol->output();
            for (const char *id : {"carol", "ticker"})
                EXPECT_FALSE(broker.disconnected(id)) << broker.process().output();
        } else if (e2e_library_v5()) {
            ASSERT_TRUE(broker.wait_for_log("re-checks waiting for the endpoint")) << broker.process().output();
            for (const char *id : {"carol", "ticker"})
                EXPECT_FALSE(broker.disconnected(id)) << broker.process().output();
        } else {
            EXPECT_TRUE(broker.wait_for_disconnect("carol")) << broker.process().output();
            EXPECT_TRUE(broker.wait_for_disconnect("ticker")) << broker.process().output();
        }
    }
    down = false;
    endpoint.release();
}

// A client's values fill the templates, and the endpoint grants whatever
// path it is asked at, as any route answering 200 would: a user name or
// client id "." or ".." must reach no other path, and a client id with a
// blank must not pass for another's in a header (servers drop the blank).
TEST(BrokerTemplates, AClientsValuesReachNoOtherPathAndNoOtherHeader) {
    Endpoint endpoint;  // 200 to everything
    Broker broker({"http_acl_uri " + endpoint.url("/acl/${username}/${clientid}"), "http_header X-Client: ${clientid}",
                   timeout_option});
    ASSERT_TRUE(broker.ready()) << broker.process().output();
    const struct {
        const char *user, *id;
        bool asked;
    } cases[] = {{"alice", "dev", true}, {"..", "dev", false},   {".", "dev", false},
                 {"alice", "..", false}, {"alice", ".", false}, {"alice", " dev", false}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.user) + " " + c.id);
        auto argv = broker.client(MOSQUITTO_PUB, c.id, c.user, "pw");
        argv.insert(argv.end(), {"-t", "room/x", "-m", "x"});
        Process pub(argv, broker.file("pub" + std::to_string(++n) + ".log"));
        ASSERT_TRUE(pub.wait(30s));
        // The plug-in's debug line for the publish says how it was decided.
        const std::string who = std::string("write \"room/x\" by client \"") + c.id + "\", user \"" + c.user + "\": ";
        ASSERT_TRUE(broker.wait_for_log(who)) << broker.process().output();
        const std::string log = broker.process().output();
        const std::size_t at = log.find(who) + who.size();
        const std::string said = log.substr(at, log.find('\n', at) - at);
        EXPECT_EQ(said.rfind(c.asked ? "granted by HTTP 200" : "refused by no request", 0), 0u) << said;
    }
    std::vector<std::string> reached;  // each request's path and X-Client
    for (const auto &r : endpoint.requests()) reached.push_back(r.target + " " + r.headers.at("X-Client"));
    EXPECT_EQ(reached, std::vector<std::string>{"/acl/alice/dev dev"});
}

}  // namespace
