// auth_plugin_check, the operator's tool: reads the plug-in's options from a
// broker configuration and asks one question through the plug-in's own code.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "endpoint.h"
#include "loopback.h"
#include "process.h"
#include "timing.h"
#include "token_signing.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class CheckTool : public ::testing::Test {
protected:
    Endpoint endpoint;
    fs::path dir;
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "auth_plugin_check.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        endpoint.decide([](const Recorded &r) {
            if (r.path == "/user") return r.fields.at("password") == "s3cret&" ? 200 : 401;
            return r.fields.at("access") == "read" ? 200 : 403;
        });
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const fs::path &path, const std::string &text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::string config(const std::string &user_uri, const std::string &prefix = "plugin") {
        const std::string opt = prefix == "plugin" ? "plugin_opt_" : "auth_opt_";
        return "listener 1883\n" + prefix + " /usr/lib/mosquitto/auth_plugin.so\n" + opt + "http_user_uri " +
               user_uri + "\n" + opt + "http_acl_uri " + endpoint.url("/acl") + "\n" + opt + "http_timeout_ms " +
               std::to_string(scaled(2000ms).count()) + "\n";
    }
    // Runs the tool; its exit code and output.
    std::pair<int, std::string> run(std::vector<std::string> args, bool through_tool = true) {
        if (through_tool) args.insert(args.begin(), AUTH_PLUGIN_CHECK);
        Process tool(args, (dir / ("run" + std::to_string(++runs_) + ".log")).string());
        EXPECT_TRUE(tool.wait(20s));
        return {tool.exit_code(), tool.output()};
    }

    // Runs the tool on this configuration, with the endpoint's record cleared.
    std::pair<int, std::string> ask(const std::string &config_text, const std::vector<std::string> &question) {
        write(dir / "mosquitto.conf", config_text);
        std::vector<std::string> args{"-c", (dir / "mosquitto.conf").string()};
        args.insert(args.end(), question.begin(), question.end());
        endpoint.clear();
        return run(args);
    }

private:
    int runs_ = 0;
};

TEST_F(CheckTool, AsksOneQuestionAndSaysWhatCameOfIt) {
    const std::string conf = (dir / "mosquitto.conf").string();
    const LoopbackListener closed(false);
    const std::string down = closed.url("/user");
    struct Case {
        const char *what;
        std::string config;
        std::vector<std::string> args;
        int exit;
        std::vector<std::string> says;
    } cases[] = {
        {"granted login", config(endpoint.url("/user")), {"-u", "alice", "-P", "s3cret&"}, 0, {"granted", "HTTP 200", "alice"}},
        {"old spelling", config(endpoint.url("/user"), "auth_plugin"), {"-u", "alice", "-P", "s3cret&"}, 0, {"granted"}},
        {"refused login", config(endpoint.url("/user")), {"-u", "alice", "-P", "wrong"}, 1, {"refused", "HTTP 401"}},
        {"read", config(endpoint.url("/user")), {"-i", "dev1", "-u", "alice", "-t", "a/b", "--read"}, 0, {"granted", "HTTP 200"}},
        {"write", config(endpoint.url("/user")), {"-i", "dev1", "-u", "alice", "-t", "a/b", "--write"}, 1, {"refused", "HTTP 403"}},
        {"endpoint down", config(down), {"-u", "alice", "-P", "s3cret&"}, 1, {"refused", "no answer:", "onnect"}},
        {"inline comment", config(endpoint.url("/user") + "  # users"), {"-u", "a", "-P", "b"}, 2,
         {"http_user_uri", "9 more characters", "inline comments"}},
        {"usage", config(endpoint.url("/user")), {"-u", "alice"}, 2, {"usage"}},
        {"help", config(endpoint.url("/user")), {"--help"}, 0, {"usage", "-P PASSWORD", "http_cache_ms:"}},
        {"as the broker's user", config(endpoint.url("/user")), {"--user", "nobody", "-u", "alice", "-P", "s3cret&"}, 0,
         {"granted"}},
        {"no such user", config(endpoint.url("/user")), {"--user", "no-such-user", "-u", "a", "-P", "b"}, 2, {"no user"}},
        {"settings shown, redacted", config("http://op:pw@127.0.0.1:" + std::to_string(endpoint.port()) + "/user?k=v"),
         {"-u", "alice", "-P", "s3cret&"}, 0,
         {"http_user_uri http://127.0.0.1:" + std::to_string(endpoint.port()) + "/user,", "http_timeout_ms " + std::to_string(scaled(2000ms).count()) + ","}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto [code, out] = ask(c.config, c.args);
        EXPECT_EQ(code, c.exit) << out;
        for (const auto &text : c.says) EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
        EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;  // never the password
    }
    // The questions reached the endpoint as the plug-in asks them.
    write(conf, config(endpoint.url("/user")));
    endpoint.clear();
    run({"-c", conf, "-i", "dev 1", "-u", "alice", "-t", "a/b", "--write"});
    auto requests = endpoint.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "clientid=dev%201&username=alice&topic=a%2Fb&access=write");
}

// The rules each library's broker applies before asking, and the fields the
// version-5 options name, filled from the flags.
TEST_F(CheckTool, AsksWhatEachLibraryWouldAsk) {
    const std::string v5 = "listener 1883\nplugin /usr/lib/mosquitto/auth_plugin_v5.so\nplugin_opt_http_user_uri " +
                           endpoint.url("/user") + "\nplugin_opt_http_acl_uri " + endpoint.url("/acl") +
                           "\nplugin_opt_http_check_subscribe true\nplugin_opt_http_login_fields clientid\n";
    const std::vector<std::string> sub{"-i", "d", "-u", "alice", "-t", "a/#", "--subscribe"};
    struct Case {
        const char *what;
        std::string config;
        std::vector<std::string> args;
        int exit;
        std::string asked;  // the body; empty: nothing asked
        std::string says = "";
    } cases[] = {
        {"v2: subscriptions are the broker's", config(endpoint.url("/user")), sub, 0, ""},
        {"v2: a wildcard id is refused", config(endpoint.url("/user")), {"-i", "d#", "-u", "a", "-t", "t", "--read"}, 1, ""},
        // As Mosquitto 2.1 does, whose broker this tool cannot know.
        {"v2: a / in the client id is refused", config(endpoint.url("/user")), {"-i", "d/1", "-u", "a", "-t", "t", "--read"},
         1, "", "Mosquitto 2.1 refuses access for client ids and user names with / without asking"},
        {"v2: a / in the user name is refused", config(endpoint.url("/user")), {"-i", "d", "-u", "a/b", "-t", "t", "--read"},
         1, ""},
        {"v2: the names' rule comes before subscriptions", config(endpoint.url("/user")),
         {"-i", "d/1", "-u", "alice", "-t", "a/#", "--subscribe"}, 1, ""},
        {"v5: a / is asked", v5, {"-i", "d/1", "-u", "alice", "-t", "t", "--read"}, 0,
         "clientid=d%2F1&username=alice&topic=t&access=read"},
        {"v5: subscriptions asked", v5, sub, 1, "clientid=d&username=alice&topic=a%2F%23&access=subscribe"},
        {"v5: the client id of a login", v5, {"-i", "d 1", "-u", "alice", "-P", "s3cret&"}, 0,
         "username=alice&password=s3cret%26&clientid=d%201"},
        {"v5: a login without -i", v5, {"-u", "alice", "-P", "s3cret&"}, 2, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto [code, out] = ask(c.config, c.args);
        EXPECT_EQ(code, c.exit) << out;
        const auto requests = endpoint.requests();
        ASSERT_EQ(requests.size(), c.asked.empty() ? 0u : 1u) << out;
        if (!c.asked.empty()) {
            EXPECT_EQ(requests[0].body, c.asked);
        }
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
    }
    // What a login's answer carries for the session is shown.
    endpoint.json([](const Recorded &r) {
        return r.path == "/user" ? R"({"acl":[{"permission":"allow","action":"all","topic":"#"}],"expire_at":4102444800})"
                                 : "";
    });
    auto [code, out] = ask(v5 + "plugin_opt_http_login_rules true\n", {"-i", "d", "-u", "alice", "-P", "s3cret&"});
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("not superuser, 1 access rules, expire_at 4102444800"), std::string::npos) << out;
}

// -P - wherever -P goes: a login, or an access question that sends the password.
TEST_F(CheckTool, ReadsThePasswordFromStandardInput) {
    const std::string conf = (dir / "mosquitto.conf").string();
    const std::string v5 = "listener 1883\nplugin /usr/lib/mosquitto/auth_plugin_v5.so\nplugin_opt_http_acl_uri " +
                           endpoint.url("/acl?p=${password}") + "\n";
    endpoint.decide([](const Recorded &r) {
        const auto &f = r.fields;
        return f.at(r.path == "/user" ? "password" : "p") == "s3cret&" ? 200 : 403;
    });
    const std::string login = " -u alice -P -", access = " -i d -u alice -t t --write -P -";
    const struct {
        std::string config, question;
        const char *input;
        int exit;
    } cases[] = {
        {config(endpoint.url("/user")), login, "s3cret&\n", 0},
        {config(endpoint.url("/user")), login, "wrong\n", 1},
        {config(endpoint.url("/user")), login, "", 2},
        {v5, access, "s3cret&\n", 0},
        {v5, access, "wrong\n", 1},
        // With login rules the login is asked first, with that password.
        {v5 + "plugin_opt_http_user_uri " + endpoint.url("/user") + "\nplugin_opt_http_login_rules true\n",
         " -i d -u alice -t t --read -P -", "wrong\n", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.question + " " + c.input);
        write(conf, c.config);
        const std::string command =
            std::string("printf '") + c.input + "' | " + AUTH_PLUGIN_CHECK + " -c " + conf + c.question;
        auto [exit, out] = run({"/bin/sh", "-c", command}, false);
        EXPECT_EQ(exit, c.exit) << out;
    }
}

TEST_F(CheckTool, UsesTheListenersLineAndRefusesLinesThatDisagree) {
    const std::string conf = (dir / "mosquitto.conf").string();
    const std::string plugin = "plugin /usr/lib/mosquitto/auth_plugin.so\nplugin_opt_http_user_uri ";
    const std::string two_listeners = "listener 1883\n" + plugin + endpoint.url("/user") + "\nlistener 1884\n" + plugin +
                                      "http://127.0.0.1:1/user\n";
    struct Case {
        std::string config;
        std::vector<std::string> listener;
        int exit;
        std::size_t asked;
    } cases[] = {
        {"per_listener_settings true\n" + two_listeners, {"-l", "1883"}, 0, 1},
        {"per_listener_settings true\n" + two_listeners, {"-l", "1884"}, 1, 0},
        {"per_listener_settings true\n" + two_listeners, {}, 2, 0},
        {"per_listener_settings true\n" + two_listeners, {"-l", "1885"}, 2, 0},
        {two_listeners, {"-l", "1883"}, 2, 0},  // one policy for all: they must agree
        {"listener 1883\n" + plugin + endpoint.url("/user") + "\nlistener 1884\n" + plugin + endpoint.url("/user") + "\n",
         {}, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config + (c.listener.empty() ? "" : c.listener[1]));
        write(conf, c.config);
        endpoint.clear();
        std::vector<std::string> args{"-c", conf, "-u", "alice", "-P", "s3cret&"};
        args.insert(args.end(), c.listener.begin(), c.listener.end());
        auto [code, out] = run(args);
        EXPECT_EQ(code, c.exit) << out;
        EXPECT_EQ(endpoint.requests().size(), c.asked);
        if (c.exit == 2) {
            EXPECT_NE(out.find("listener"), std::string::npos) << out;
        }
    }
}

TEST_F(CheckTool, FollowsIncludeDirAndPicksThisPlugin) {
    write(dir / "mosquitto.conf", "listener 1883\n"
                                  "plugin /usr/lib/mosquitto/other_plugin.so\n"
                                  "plugin_opt_http_user_uri http://127.0.0.1:1/wrong\n"
                                  "include_dir " + (dir / "conf.d").string() + "\n");
    write(dir / "conf.d" / "auth.conf", config(endpoint.url("/user")));
    write(dir / "conf.d" / "ignored.txt", "plugin_opt_http_user_uri http://127.0.0.1:1/wrong\n");
    auto [code, out] = run({"-c", (dir / "mosquitto.conf").string(), "-u", "alice", "-P", "s3cret&"});
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(endpoint.requests().size(), 1u);

    auto [missing, text] = run({"-c", (dir / "absent.conf").string(), "-u", "alice", "-P", "x"});
    EXPECT_EQ(missing, 2);
    EXPECT_NE(text.find("absent.conf"), std::string::npos) << text;
}

// A wrong flag is named with what it accepts; nothing is asked.
TEST_F(CheckTool, NamesTheFlagThatIsWrong) {
    const std::string conf = config(endpoint.url("/user"));
    const std::vector<std::string> access{"-i", "d", "-u", "a", "-t", "t"};
    const auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = access;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string says;
    } cases[] = {
        {with({"--write", "--qos", "7"}), 2, "--qos 7: expected 0, 1 or 2"},
        {with({"--write", "--retain", "maybe"}), 2, "--retain maybe: expected true or false"},
        {with({"--write", "--protocol-version", "9"}), 2, "--protocol-version 9: expected 3, 4 or 5"},
        {with({"--write", "-l", "70000"}), 2, "-l 70000: expected a listener's port"},
        {with({"--unsubscribe", "--qos", "1"}), 2, "--qos: an unsubscription carries neither"},
        {with({"--frobnicate"}), 2, "unknown argument --frobnicate"},
        {with({}), 2, "-t TOPIC needs --read, --write, --subscribe or --unsubscribe"},
        {{"-u", "a", "--validate"}, 2, "--validate asks no question"},
        {{"--version"}, 0, "auth_plugin_check " AUTH_PLUGIN_VERSION "\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.says);
        auto [code, out] = ask(conf, c.args);
        EXPECT_EQ(code, c.exit) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
        EXPECT_TRUE(endpoint.requests().empty());
    }
}

// --validate starts every line as the broker would and asks nothing; the
// first line that would stop the broker is named, with exit 1.
TEST_F(CheckTool, ValidatesEachListenersLineWithoutAsking) {
    const std::string line = "plugin /usr/lib/mosquitto/auth_plugin_v5.so\nplugin_opt_http_user_uri " +
                             endpoint.url("/user") + "\n";
    const std::string v2 = "plugin /usr/lib/mosquitto/auth_plugin.so\nplugin_opt_http_user_uri " +
                           endpoint.url("/user") + "\n";
    struct Case {
        std::string config;
        int exit;
        std::vector<std::string> says;
    } cases[] = {
        {"per_listener_settings true\nlistener 1883\n" + line + "listener 1884\n" + line, 0,
         {"listener 1883,", "listener 1884,", "configured (version " AUTH_PLUGIN_VERSION ")", "would start"}},
        {"per_listener_settings true\nlistener 1883\n" + line + "listener 1884\n" + line +
             "plugin_opt_http_timeout_ms 0\n",
         1, {"listener 1884,", "invalid http_timeout_ms \"0\"", "would not start"}},
        {"listener 1883\n" + v2 + "listener 1884\n" + v2 + "plugin_opt_http_cache_ms 5\n", 1,
         {"give different options"}},  // the version-2 library keeps one set, whatever the broker
        // The option line that broke it, and the rule: which header line, and why.
        {"listener 1883\n" + line + "plugin_opt_http_header X-A: b\nplugin_opt_http_header Content-type: text\n", 1,
         {"invalid http_header number 2 (value not shown): it names Content-Type, which the plug-in sets itself;",
          "\n  at " + (dir / "mosquitto.conf").string() + " line 5: plugin_opt_http_header\n"}},
        {"listener 1883\n" + line + "plugin_opt_http_header X-Key t0ken\n", 1,
         {"invalid http_header number 1 (value not shown): it has no ':' after the name;", "line 4: plugin_opt_http_header"}},
        {"listener 1883\n" + line + "plugin_opt_http_header X-A: b\nplugin_opt_http_header X-${username}: b\n", 1,
         {"http_header: placeholders may stand in a header's value only", "line 5: plugin_opt_http_header"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.config);
        auto [code, out] = ask(c.config, {"--validate"});
        EXPECT_EQ(code, c.exit) << out;
        for (const auto &text : c.says) EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
        EXPECT_EQ(out.find("t0ken"), std::string::npos) << out;
        EXPECT_TRUE(endpoint.requests().empty());
    }
}

// An "ignore" answer: its own exit status where the broker hands the check
// on, and what the broker then does.
TEST_F(CheckTool, SaysWhatTheBrokerDoesWithIgnore) {
    const std::string v5 = "listener 1883\nplugin /usr/lib/mosquitto/auth_plugin_v5.so\nplugin_opt_http_user_uri " +
                           endpoint.url("/user") + "\nplugin_opt_http_acl_uri " + endpoint.url("/acl") +
                           "\nplugin_opt_http_answers json\n";
    endpoint.decide([](const Recorded &) { return 200; });
    endpoint.json([](const Recorded &) { return R"({"result":"ignore"})"; });
    const std::vector<std::string> login{"-i", "d", "-u", "carol", "-P", "pw"}, write{"-i", "d", "-u", "carol", "-t", "t", "--write"};
    const std::string later = "On Mosquitto 2.1 a login answered later whose answer says \"ignore\" is refused";
    struct Case {
        const char *what;
        std::string config;
        std::vector<std::string> args;
        int exit;
        std::vector<std::string> says, never;
    } cases[] = {
        {"v5 login", v5, login, 3, {"handed on", "password_file", later, "with http_async_logins false the broker's next check decides it"}, {}},
        {"v5 login answered at once", v5 + "plugin_opt_http_async_logins false\n", login, 3, {"handed on", "password_file"}, {later}},
        {"v5 access", v5, write, 3, {"handed on", "acl_file); refused if none grants it"}, {later}},
        {"v2 login", config(endpoint.url("/user")) + "plugin_opt_http_answers json\n", {"-u", "carol", "-P", "pw"}, 1,
         {"auth_plugin.so cannot hand a check on: the broker refuses this login"}, {"handed on"}},
        // Admitted by another check, the client has no rules: the endpoint decides.
        {"v5 login rules", v5 + "plugin_opt_http_login_rules true\n", {"-i", "d", "-u", "carol", "-P", "pw", "-t", "t", "--read"}, 3,
         {"login of user \"carol\": handed on", "the access endpoint is asked", "read of topic \"t\" by client \"d\", user \"carol\": handed on"}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        auto [code, out] = ask(c.config, c.args);
        EXPECT_EQ(code, c.exit) << out;
        for (const auto &text : c.says) EXPECT_NE(out.find(text), std::string::npos) << text << "\n" << out;
        for (const auto &text : c.never) EXPECT_EQ(out.find(text), std::string::npos) << text << "\n" << out;
    }
}

// On a broker that answers logins later, wherever an answer may say "ignore"
// (json answers, or rules), --validate says at once what becomes of such a
// login and which setting changes it.
TEST_F(CheckTool, ValidateSaysWhatIgnoreCostsWhereLoginsAreAnsweredLater) {
    const fs::path broker = dir / "mosquitto-2.1";
    write(broker, "#!/bin/sh\necho 'mosquitto version 2.1.2'\n");
    fs::permissions(broker, fs::perms::owner_all);
    for (const char *answers : {"http_answers json", "http_login_rules true"}) {
        SCOPED_TRACE(answers);
        auto [code, out] = ask("listener 1883\nplugin /usr/lib/mosquitto/auth_plugin_v5.so\nplugin_opt_http_user_uri " +
                                   endpoint.url("/user") + "\nplugin_opt_" + answers + "\n",
                               {"--validate", "--broker", broker.string()});
        EXPECT_EQ(code, 0) << out;
        EXPECT_NE(out.find("says \"ignore\" is refused, not handed to the broker's next check"), std::string::npos)
            << out;
        EXPECT_NE(out.find("with http_async_logins false the broker's next check decides it"), std::string::npos)
            << out;
    }
}

// With login rules, a password beside the topic: the login is asked, and its
// rules decide as the broker's would; the answer says why.
TEST_F(CheckTool, DecidesAccessByTheLoginsRulesAsTheBrokerDoes) {
    const std::string conf = "listener 1883\nplugin /usr/lib/mosquitto/auth_plugin_v5.so\nplugin_opt_http_user_uri " +
                             endpoint.url("/user") + "\nplugin_opt_http_acl_uri " + endpoint.url("/acl") +
                             "\nplugin_opt_http_login_rules true\nplugin_opt_http_acl_fields qos,retain\n"
                             "plugin_opt_http_check_subscribe true\n";
    long long expire_at = 4102444800;
    endpoint.json([&](const Recorded &r) {
        return r.path == "/user" ? R"({"expire_at":)" + std::to_string(expire_at) +
                                       R"(,"acl":[{"permission":"allow","action":"publish","topic":"users/${username}/#"}]})"
                                 : std::string();
    });
    const std::vector<std::string> bob{"-i", "d", "-u", "bob", "-P", "s3cret&", "-t"};
    struct Case {
        const char *what;
        long long expire_at;
        std::vector<std::string> question;
        int exit;
        std::string says;
        std::vector<std::string> asked;  // the paths, in order
    } cases[] = {
        {"his rule", 4102444800, {"users/bob/x", "--write", "--qos", "1", "--retain", "false"}, 0, "rule 1 of its login's answer", {"/user"}},
        {"no rule: the endpoint", 4102444800, {"other", "--write", "--qos", "1", "--retain", "false"}, 1, "HTTP 403", {"/user", "/acl"}},
        {"expired", 1000, {"users/bob/x", "--write", "--qos", "1", "--retain", "false"}, 1, "expire_at has passed", {"/user"}},
        // An unsubscription only takes rights away: granted without asking.
        {"unsubscription", 4102444800, {"other", "--unsubscribe"}, 0, ": granted (no request", {"/user"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        expire_at = c.expire_at;
        std::vector<std::string> args = bob;
        args.insert(args.end(), c.question.begin(), c.question.end());
        auto [code, out] = ask(conf, args);
        EXPECT_EQ(code, c.exit) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.says << "\n" << out;
        const auto requests = endpoint.requests();
        ASSERT_EQ(requests.size(), c.asked.size()) << out;
        for (std::size_t i = 0; i < requests.size(); ++i) EXPECT_EQ(requests[i].path, c.asked[i]);
    }
}

// A token login decided as the broker would, with the reason, never the token.
TEST_F(CheckTool, DecidesATokenLoginAndSaysWhyWithoutPrintingIt) {
    const std::string secret = "a secret of thirty-two bytes or more, for HS256";
    write(dir / "jwt.secret", secret + "\n");
    const std::string conf = "listener 1883\nplugin /usr/lib/mosquitto/auth_plugin_v5.so\nplugin_opt_http_user_uri " +
                             endpoint.url("/user") + "\nplugin_opt_http_jwt_secret_file " + (dir / "jwt.secret").string() +
                             "\nplugin_opt_http_jwt_claims {\"sub\": \"${username}\"}\n";
    const auto token = [&](const std::string &sub, long long life) {
        const long long now = std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::system_clock::now().time_since_epoch()).count();
        return signing::token("HS256", nullptr, R"({"alg":"HS256"})",
                              R"({"sub":")" + sub + R"(","exp":)" + std::to_string(now + life) +
                                  R"(,"acl":[{"permission":"allow","action":"publish","topic":"mine/#"}]})",
                              secret);
    };
    const struct {
        const char *what;
        std::string password;
        std::vector<std::string> question;
        int exit;
        std::string says;
    } cases[] = {
        {"valid", token("bob", 600), {}, 0, "granted (its signed token, verified at the broker)"},
        {"expired", token("bob", -600), {}, 1, "refused (its signed token: expired)"},
        {"another's", token("eve", 600), {}, 1, "refused (its signed token: claim sub does not match)"},
        {"its acl", token("bob", 600), {"-i", "d", "-t", "mine/a", "--write"}, 0, "granted (rule 1 of its login's answer)"},
        {"no request", token("bob", 600), {"--show-request"}, 0, "no request: a token is verified at the broker"},
        {"not in its acl", token("bob", 600), {"-i", "d", "-t", "yours", "--write"}, 1, "none matched"},
        {"a password", "s3cret&", {}, 0, "granted (HTTP 200)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"-u", "bob", "-P", c.password};
        args.insert(args.end(), c.question.begin(), c.question.end());
        auto [code, out] = ask(conf, args);
        EXPECT_EQ(code, c.exit) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.says << "\n" << out;
        EXPECT_NE(out.find("verified with an HMAC secret"), std::string::npos) << out;
        EXPECT_EQ(out.find(c.password), std::string::npos) << out;
        EXPECT_EQ(endpoint.requests().size(), c.password == "s3cret&" ? 1u : 0u);
    }
    // The token as the user name (http_jwt_from username): never printed either.
    const std::string as_user = token("bob", 600);
    std::string from_user = conf + "plugin_opt_http_jwt_from username\n";
    from_user.replace(from_user.find("${username}"), 11, "${password}");
    for (const auto &[question, says] :
         {std::pair{std::vector<std::string>{"-u", as_user, "-P", "bob"}, "login of user \"(a token)\": granted"},
          {{"-u", as_user, "-P", "bob", "-i", "d", "-t", "yours", "--write"}, "user \"(a token)\": refused"}}) {
        auto [code, out] = ask(from_user, question);
        EXPECT_NE(out.find(says), std::string::npos) << out;
        EXPECT_EQ(out.find(as_user), std::string::npos) << out;
    }
    {  // nor in a request shown: the access endpoint is asked with the user name
        auto [code, out] = ask(from_user + "plugin_opt_http_acl_uri " + endpoint.url("/acl") + "\n",
                               {"-u", as_user, "-P", "bob", "-i", "d", "-t", "yours", "--write", "--show-request"});
        EXPECT_NE(out.find("username=***&"), std::string::npos) << out;
        EXPECT_EQ(out.find(as_user), std::string::npos) << out;
    }
    // ${clientid} in the claims: the version-5 library fills it from the client.
    std::string by_id = conf;
    by_id.replace(by_id.find("${username}"), 11, "${clientid}");
    for (const auto &[id, exit] : {std::pair{"bob", 0}, {"eve", 1}}) {
        auto [code, out] = ask(by_id, {"-i", id, "-u", "anyone", "-P", token("bob", 600)});
        EXPECT_EQ(code, exit) << out;
    }
}

// --show-request prints each request the endpoint then receives, in the
// order sent, the password, fixed header values and fixed query values as ***.
TEST_F(CheckTool, ShowsTheRequestItSends) {
    const std::string v5 = "listener 1883\nplugin /usr/lib/mosquitto/auth_plugin_v5.so\n";
    const std::string timeout = "plugin_opt_http_timeout_ms " + std::to_string(scaled(2000ms).count()) + "\n";
    using Received = std::vector<std::pair<std::string, std::string>>;  // target, body
    const struct {
        const char *what;
        std::string config;
        std::vector<std::string> question;
        std::vector<std::string> shown;  // lines of the output, in order
        Received received;               // what the endpoint received, in order
    } cases[] = {
        {"JSON login",
         v5 + "plugin_opt_http_user_uri " + endpoint.url("/user?key=k3y") + "\n" + timeout +
             "plugin_opt_http_user_body {\"u\": \"${username}\", \"p\": \"${password}\", \"c\": \"${clientid}\"}\n"
             "plugin_opt_http_header X-Token: t0ken\n",
         {"-i", "d1", "-u", "alice", "-P", "s3cret&"},
         {"request: POST " + endpoint.url("/user?key=***"), "  X-Token: ***", "  Content-Type: application/json",
          "  body: {\"u\":\"alice\",\"p\":\"***\",\"c\":\"d1\"}"},
         {{"/user?key=k3y", "{\"u\":\"alice\",\"p\":\"s3cret&\",\"c\":\"d1\"}"}}},
        {"GET access with placeholders",
         v5 + "plugin_opt_http_acl_uri " + endpoint.url("/authz/${clientid}") + "\n" + timeout +
             "plugin_opt_http_method get\nplugin_opt_http_acl_body {\"t\": \"${topic}\", \"a\": \"${action}\"}\n"
             "plugin_opt_http_header X-Client: ${clientid}\n",
         {"-i", "d/1", "-u", "alice", "-t", "a/b", "--write"},
         {"request: GET " + endpoint.url("/authz/d%2F1?t=a%2Fb&a=publish"), "  X-Client: d/1"},
         {{"/authz/d%2F1?t=a%2Fb&a=publish", ""}}},
        {"the form, unset",
         config(endpoint.url("/user")),
         {"-u", "alice", "-P", "s3cret&"},
         {"request: POST " + endpoint.url("/user"), "  Content-Type: application/x-www-form-urlencoded",
          "  body: username=alice&password=***"},
         {{"/user", "username=alice&password=s3cret%26"}}},
        {"login rules: the login, then the access",
         v5 + "plugin_opt_http_user_uri " + endpoint.url("/user") + "\nplugin_opt_http_acl_uri " + endpoint.url("/acl") +
             "\n" + timeout + "plugin_opt_http_login_rules true\n",
         {"-i", "d1", "-u", "alice", "-P", "s3cret&", "-t", "a/b", "--read"},
         {"request: POST " + endpoint.url("/user"), "  body: username=alice&password=***",
          "request: POST " + endpoint.url("/acl"), "  body: clientid=d1&username=alice&topic=a%2Fb&access=read"},
         {{"/user", "username=alice&password=s3cret%26"}, {"/acl", "clientid=d1&username=alice&topic=a%2Fb&access=read"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = c.question;
        args.push_back("--show-request");
        auto [code, out] = ask(c.config, args);
        std::size_t at = 0;
        for (const auto &line : c.shown) {
            at = out.find(line + "\n", at);
            EXPECT_NE(at, std::string::npos) << line << "\n" << out;
        }
        for (const char *secret : {"s3cret", "k3y", "t0ken"}) EXPECT_EQ(out.find(secret), std::string::npos) << out;
        Received received;
        for (const auto &r : endpoint.requests()) received.emplace_back(r.target, r.body);
        EXPECT_EQ(received, c.received) << out;
    }
}

}  // namespace
