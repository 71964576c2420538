// Rules in a login's answer: the answer format, how one access check is
// decided by them, and the answer's body and Content-Type as the HTTP
// client keeps them.

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "failing_allocations.h"
#include "http_client.h"
#include "json_answer.h"
#include "login_rules.h"
#include "timing.h"

namespace {

using Match = LoginRules::Match;
using Answered = LoginRules::Answered;

std::string rules_of(int n) {
    std::string acl;
    for (int i = 0; i < n; ++i)
        acl += std::string(i ? "," : "") + R"({"permission":"allow","action":"all","topic":"t/)" + std::to_string(i) + "\"}";
    return R"({"acl":[)" + acl + "]}";
}

// Each invalid answer is refused with a message naming what was wrong;
// SECRET stands for a value, which no message may quote.
TEST(LoginRulesFormat, EachInvalidShapeIsRefusedNamingWhatWasWrong) {
    const struct {
        std::string body;
        const char *error;
    } cases[] = {
        {"[]", "not a JSON object"},
        {"SECRET", "not valid JSON"},
        {R"({"result":"SECRET"})", "result must be"},
        {R"({"result":null})", "result must be"},
        {R"({"is_superuser":"true"})", "is_superuser must be true or false"},
        {R"({"expire_at":1.5})", "expire_at must be"},
        {R"({"expire_at":-1})", "expire_at must be"},
        {R"({"expire_at":"1700000000"})", "expire_at must be"},
        {R"({"acl":{}})", "acl must be a list"},
        {R"({"acl":[1]})", "rule 1: not an object"},
        {R"({"acl":[{"permission":"allow","action":"all","topic":"a"},{"action":"all","topic":"a"}]})",
         "rule 2: permission must be"},
        {R"({"acl":[{"permission":"SECRET","action":"all","topic":"a"}]})", "rule 1: permission must be"},
        {R"({"acl":[{"permission":"deny","topic":"a"}]})", "rule 1: action must be"},
        {R"({"acl":[{"permission":"deny","action":"read","topic":"a"}]})", "rule 1: action must be"},
        {R"({"acl":[{"permission":"deny","action":"all"}]})", "rule 1: give either topic or topics"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a","topics":["b"]}]})", "give either topic or topics"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":""}]})", "rule 1: topic must be a valid"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"eq "}]})", "topic must be a valid"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a/#/b"}]})", "topic must be a valid"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a+/b"}]})", "topic must be a valid"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a/${peerhost}"}]})", "topic must be a valid"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":1}]})", "topic must be a valid"},
        {R"({"acl":[{"permission":"deny","action":"all","topics":[]}]})", "topics must be a list"},
        {R"({"acl":[{"permission":"deny","action":"all","topics":["a",1]}]})", "topics must be a list"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a","qos":[3]}]})", "rule 1: qos must be"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a","qos":1}]})", "qos must be"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a","qos":[1.0]}]})", "qos must be"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a","retain":"SECRET"}]})", "retain must be"},
        {R"({"acl":[{"permission":"deny","action":"all","topic":"a","clientid":"SECRET"}]})", "rule 1: unknown member"},
        {R"({"result":"deny","result":"allow"})", "the answer gives a member twice"},
        {R"({"acl":[{"permission":"deny","permission":"allow","action":"all","topic":"a"}]})",
         "rule 1: a member is given twice"},
        {rules_of(1001), "acl has more than 1000 rules"},
        {R"({"pad":")" + std::string(Body::limit, 'x') + "\"}", "larger than 65536 bytes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body.substr(0, 120));
        const RulesRead read = read_json_body(c.body);
        EXPECT_TRUE(read.refused());
        EXPECT_NE(std::string(read.error).find(c.error), std::string::npos) << read.error;
        EXPECT_EQ(std::string(read.error).find("SECRET"), std::string::npos) << read.error;
    }
}

TEST(LoginRulesFormat, EachMemberIsReadAndAbsentOnesTakeTheirDefaults) {
    const struct {
        const char *body;
        Answered result;
        bool superuser, acl;
        long expire_at;  // -1: none
        std::size_t rules;
    } cases[] = {
        {"{}", Answered::allow, false, false, -1, 0},
        {R"({"result":"deny"})", Answered::deny, false, false, -1, 0},
        {R"({"result":"ignore","is_superuser":false})", Answered::ignore, false, false, -1, 0},
        {R"({"result":"allow","is_superuser":true})", Answered::allow, true, false, -1, 0},
        {R"({"acl":[]})", Answered::allow, false, true, -1, 0},  // present and empty is not absent
        {R"({"expire_at":1700000000,"client_attrs":{"a":"b"},"x":[[1]]})", Answered::allow, false, false, 1700000000, 0},
        {R"({"acl":[{"permission":"deny","action":"all","topics":["a","b/#"]},
                    {"permission":"allow","action":"publish","topic":"eq c","qos":[],"retain":"all"}]})",
         Answered::allow, false, true, -1, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        const RulesRead read = read_json_body(c.body);
        ASSERT_TRUE(read.rules) << read.error;
        EXPECT_EQ(read.rules->result(), c.result);
        EXPECT_EQ(read.rules->is_superuser(), c.superuser);
        EXPECT_EQ(read.rules->has_acl(), c.acl);
        EXPECT_EQ(read.rules->expire_at().value_or(-1), c.expire_at);
        EXPECT_EQ(read.rules->rule_count(), c.rules);
    }
    const std::string deep = std::string(30000, '[') + std::string(30000, ']');  // skipped, never built
    EXPECT_TRUE(read_json_body(R"({"other":)" + deep + "}").rules);
    const RulesRead most = read_json_body(rules_of(1000));  // the limit itself is allowed
    ASSERT_TRUE(most.rules) << most.error;
    EXPECT_EQ(most.rules->rule_count(), 1000u);
}

TEST(LoginRulesFormat, RunningOutOfMemoryRefusesAndNeverThrows) {
    if (!FAILING_ALLOCATIONS) GTEST_SKIP() << "allocation failures are not injected under ThreadSanitizer";
    const std::string body = R"({"acl":[{"permission":"allow","action":"all","topics":["a/${username}/#","b"]}]})";
    bool read = false;
    for (long n = 0; n < 1000 && !read; ++n) {
        allocations_to_failure = n;
        allocation_failed = false;
        const RulesRead r = read_json_body(body);
        allocations_to_failure = -1;
        read = !allocation_failed;
        EXPECT_EQ(r.rules != nullptr, read) << n;
        if (!read) {
            EXPECT_STREQ(r.error, "out of memory while reading the answer");
        }
    }
    EXPECT_TRUE(read);
}

struct Check {
    Access access;
    const char *topic;
    Match expected;
    const char *username = "alice";
    const char *clientid = "dev1";
    int qos = 1;
    bool retain = false;
};
struct Table {
    const char *what;
    std::string acl;  // the "acl" member's list
    std::vector<Check> checks;
};
constexpr Access W = Access::write, R = Access::read, S = Access::subscribe;
constexpr Match allow = Match::allow, deny = Match::deny, none = Match::none;

std::string rule(const char *permission, const char *action, const char *topic, const char *more = "") {
    return std::string(R"({"permission":")") + permission + R"(","action":")" + action + R"(","topic":")" + topic +
           "\"" + more + "}";
}

TEST(LoginRulesMatching, TheFirstMatchingRuleDecides) {
    std::string deep_rule = "d/", deep_topic = "d/";  // past the levels a decision keeps at hand
    for (int i = 0; i < 40; ++i) deep_rule += "+/", deep_topic += "x/";
    deep_rule += "${username}";
    const std::string deep_alice = deep_topic + "alice", deep_bob = deep_topic + "bob";
    const std::vector<Table> tables = {
        {"deep topics", "[" + rule("allow", "all", deep_rule.c_str()) + "]",
         {{W, deep_alice.c_str(), allow}, {W, deep_bob.c_str(), none}, {S, deep_alice.c_str(), allow}}},
        {"actions: WRITE is publish, READ and SUBSCRIBE are subscribe; UNSUBSCRIBE is not for rules",
         "[" + rule("allow", "publish", "p") + "," + rule("allow", "subscribe", "s") + "," +
             rule("allow", "all", "b") + "]",
         {{W, "p", allow}, {R, "p", none}, {S, "p", none}, {W, "s", none}, {R, "s", allow}, {S, "s", allow},
          {W, "b", allow}, {R, "b", allow}, {Access::unsubscribe, "b", none}, {Access::none, "b", none}}},
        {"wildcards; a wildcard first level meets no '$' topic",
         "[" + rule("allow", "all", "a/+/c") + "," + rule("allow", "all", "b/#") + "," +
             rule("allow", "all", "$SYS/#") + "," + rule("deny", "all", "+/+") + "," + rule("deny", "all", "#") + "]",
         {{W, "a/x/c", allow}, {W, "a//c", allow}, {W, "a/x/y", deny}, {W, "b", allow}, {W, "b/x/y", allow},
          {W, "bb", deny}, {R, "$SYS/x", allow}, {R, "$other/x", none}, {W, "/x", deny}}},
        {"eq: the text as it is", "[" + rule("allow", "all", "eq a/#") + "," + rule("deny", "all", "a/#") + "]",
         {{W, "a/#", allow}, {R, "a/x", deny}, {S, "a/#", allow}, {S, "a/+", deny}}},
        {"first match", "[" + rule("deny", "publish", "t/secret") + "," + rule("allow", "publish", "t/#") + "]",
         {{W, "t/secret", deny}, {W, "t/open", allow}, {W, "u", none}}},
        {"first match, the other order",
         "[" + rule("allow", "publish", "t/#") + "," + rule("deny", "publish", "t/secret") + "]",
         {{W, "t/secret", allow}}},
        {"placeholders are literal values, never wildcards",
         "[" + rule("allow", "all", "u/${username}/#") + "," + rule("allow", "all", "c/${clientid}") + "," +
             rule("allow", "all", "x/dev-${clientid}-y") + "," + rule("deny", "all", "#") + "]",
         {{W, "u/alice/t", allow},
          {W, "u/bob/t", deny},
          {W, "u/x/t", deny, "#"},
          {S, "u/#", deny, "#"},
          {S, "u/+/t", deny, "+"},
          {S, "u/alice/#", allow},
          {W, "u/alice/t", deny, nullptr},  // no user name: the rule does not match
          {W, "u/a/b/t", deny, "a/b"},      // a value never spans levels
          {W, "c/dev1", allow},
          {W, "c/dev1", deny, "alice", nullptr},
          {W, "x/dev-dev1-y", allow},
          {W, "x/dev-dev2-y", deny}}},
        {"a client's own name beginning with '$' grants nothing at the first level",
         "[" + rule("allow", "all", "${clientid}/#") + "," + rule("allow", "all", "${username}/+") + "," +
             rule("allow", "all", "${clientid}-in/#") + "," + rule("allow", "all", "u/${username}") + "]",
         {{W, "$CONTROL/auth_plugin", none, "a", "$CONTROL"},
          {S, "$SYS/#", none, "a", "$SYS"},
          {R, "$SYS/broker/uptime", none, "a", "$SYS"},
          {S, "$share/g/$SYS/#", none, "a", "$SYS"},
          {W, "$SYS/x", none, "$SYS", "d"},
          {W, "$share/x", none, "$share", "d"},
          {W, "$SYS-in/x", none, "a", "$SYS"},
          {W, "u/$SYS", allow, "$SYS", "d"},  // not the first level: an ordinary topic
          {W, "dev1/x", allow},
          {S, "alice/+", allow}}},
        {"subscribe: an allow rule must cover the filter, a deny rule only meet it",
         "[" + rule("allow", "subscribe", "s/+/x") + "," + rule("deny", "subscribe", "d/+/x") + "," +
             rule("allow", "subscribe", "w/#") + "]",
         {{S, "s/a/x", allow}, {S, "s/+/x", allow}, {S, "s/#", none}, {S, "s/a/#", none}, {S, "d/a/#", deny},
          {S, "d/#", deny}, {S, "d/a/y", none}, {S, "w/#", allow}, {S, "w", allow}, {S, "#", deny},
          {S, "$share/g/s/a/x", allow}, {S, "+/a/x", deny}, {R, "s/a/x", allow}, {R, "d/a/x", deny},
          {R, "s/a/y", none}}},
        {"subscribe: '+/#' covers '#', and neither meets '$' topics",
         "[" + rule("allow", "subscribe", "+/#") + "," + rule("deny", "subscribe", "#") + "]",
         {{S, "#", allow}, {S, "$SYS/#", none}, {S, "a/+", allow}}},
        {"subscribe: a deny rule with a '$' first level",
         "[" + rule("deny", "subscribe", "$SYS/#") + "," + rule("deny", "subscribe", "${username}/x") + "]",
         {{S, "#", none, "$me"}, {S, "+/x", none, "$me"}, {S, "#", deny}, {S, "$SYS/+", deny},
          {S, "$me/x", deny, "$me"}}},
        {"qos lists; retain is a condition of publish only",
         "[" + rule("deny", "publish", "q", R"(,"qos":[2])") + "," + rule("allow", "all", "q", R"(,"qos":[0,1])") +
             "," + rule("deny", "all", "r", R"(,"retain":true)") + "," + rule("allow", "all", "r") + "]",
         {{W, "q", deny, "alice", "dev1", 2}, {W, "q", allow, "alice", "dev1", 1}, {R, "q", none, "alice", "dev1", 2},
          {W, "r", deny, "alice", "dev1", 0, true}, {W, "r", allow, "alice", "dev1", 0, false},
          {R, "r", deny, "alice", "dev1", 0, false}, {S, "r", deny}}},
        {"rules told apart by their text at a level keep their order with those that have none there",
         "[" + rule("allow", "all", "c/1") + "," + rule("deny", "all", "+/x") + "," + rule("allow", "all", "a/x") + "," +
             rule("allow", "all", "b/x") + "," + rule("allow", "all", "a/#") + "," + rule("deny", "all", "eq a/y") + "]",
         {{W, "a/x", deny}, {W, "b/y", none}, {W, "c/1", allow}, {W, "a/y", allow}, {S, "+/y", none}, {S, "a/+", deny},
          {S, "a/y", allow}}},
        {"topics: one rule, several filters",
         R"([{"permission":"allow","action":"publish","topics":["a","b/${username}"]}])",
         {{W, "a", allow}, {W, "b/alice", allow}, {W, "c", none}}},
    };
    for (const Table &t : tables) {
        SCOPED_TRACE(t.what);
        const RulesRead read = read_json_body(R"({"acl":)" + t.acl + "}");
        ASSERT_TRUE(read.rules) << read.error;
        for (const Check &c : t.checks) {
            SCOPED_TRACE(std::string(access_word(c.access)) + " " + c.topic + " as " + (c.username ? c.username : "(none)"));
            EXPECT_EQ(read.rules->decide(c.access, c.topic, c.qos, c.retain, c.username, c.clientid), c.expected);
        }
    }
}

TEST(LoginRulesMatching, SuperuserIsOnlyAFlagAndADecisionAllocatesNothing) {
    const RulesRead read = read_json_body(
        R"({"is_superuser":true,"acl":[{"permission":"deny","action":"all","topic":"a/${username}/+/#"}]})");
    ASSERT_TRUE(read.rules) << read.error;
    EXPECT_TRUE(read.rules->is_superuser());
    if (!FAILING_ALLOCATIONS) GTEST_SKIP() << "allocations are not counted under ThreadSanitizer";
    allocations_to_failure = 1L << 30;  // counts down with each allocation
    const Match d = read.rules->decide(Access::write, "a/alice/b/c", 0, false, "alice", "dev1");
    const Match s = read.rules->decide(Access::subscribe, "$share/g/a/+/b", 0, false, "alice", "dev1");
    const long left = allocations_to_failure;
    allocations_to_failure = -1;
    EXPECT_EQ(d, Match::deny);
    EXPECT_EQ(s, Match::deny);
    EXPECT_EQ(left, 1L << 30);
}

TEST(AnswerHeaders, ContentTypeIsJsonByItsMediaTypeAlone) {
    const struct {
        const char *line;
        bool json;
    } cases[] = {
        {"Content-Type: application/json\r\n", true},
        {"content-type:Application/JSON; charset=utf-8\r\n", true},
        {"Content-Type: application/json ;charset=utf-8\r\n", true},
        {"Content-Type: application/json-seq\r\n", false},
        {"Content-Type: text/plain\r\n", false},
        {"Content-Type:\r\n", false},
        {"X-Content-Type: application/json\r\n", false},
    };
    for (const auto &c : cases) {
        Answer a;
        read_header_line(a, "HTTP/1.1 200 OK\r\n", 17);
        read_header_line(a, c.line, std::strlen(c.line));
        EXPECT_EQ(a.json, c.json) << c.line;
        read_header_line(a, "HTTP/1.1 200 OK\r\n", 17);  // a new block forgets it
        EXPECT_FALSE(a.json);
        EXPECT_EQ(a.content_types, 0);
    }
    // Every Content-Type line is counted; the type shown is the last one's,
    // printable and cut short.
    Answer a;
    read_header_line(a, "HTTP/1.1 200 OK\r\n", 17);
    const std::string hostile = "Content-Type: te\x01xt/\"html\" " + std::string(100, 'x') + "\r\n";
    for (const char *line : {"Content-Type: application/json\r\n", hostile.c_str()})
        read_header_line(a, line, std::strlen(line));
    EXPECT_EQ(a.content_types, 2);
    EXPECT_EQ(std::string(a.media_type), "te?xt/?html??" + std::string(27, 'x'));
}

TEST(AnswerBody, AFailedAllocationMarksTheBodyLost) {
    if (!FAILING_ALLOCATIONS) GTEST_SKIP() << "allocation failures are not injected under ThreadSanitizer";
    Body body;
    allocations_to_failure = 0;
    keep_body(body, "{\"result\":\"deny\", \"padding\": \"more than fits inline\"}", 50);
    allocations_to_failure = -1;
    EXPECT_TRUE(body.lost);
    keep_body(body, "{}", 2);
    EXPECT_TRUE(body.bytes.empty());
}

// A real server on loopback answering a login with a body and a Content-Type.
class BodyServer {
public:
    BodyServer() {
        server_.Post("/user", [this](const httplib::Request &, httplib::Response &res) {
            res.set_content(body_, type_);
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        if (port_ <= 0 || !wait_until([this] { return server_.is_running(); })) std::abort();
    }
    ~BodyServer() {
        server_.stop();
        thread_.join();
    }
    void answer(std::string body, std::string type) {  // before a request, not during
        body_ = std::move(body);
        type_ = std::move(type);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/user"; }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::string body_, type_;
};

TEST(AnswerBody, KeptOnRequestWithinTheLimitThroughARealExchange) {
    BodyServer server;
    Settings settings;
    settings.http_timeout_ms = 20000;
    HttpClient client(settings);
    const std::string url = server.url();
    auto post = [&](bool keep) {
        Request r;
        r.fixed_url = &url;
        r.body.reset(strdup("username=a&password=b"));
        r.length = 21;
        return client.send(r, keep);
    };

    const std::string rules = R"({"result":"allow","acl":[{"permission":"allow","action":"all","topic":"a/#"}]})";
    server.answer(rules, "application/json; charset=utf-8");
    Answer a = post(true);
    ASSERT_EQ(a.outcome(), Outcome::granted);
    EXPECT_TRUE(a.json);
    ASSERT_TRUE(a.body);
    EXPECT_EQ(a.body->bytes, rules);
    const RulesRead read = read_json_answer(a);
    ASSERT_TRUE(read.rules) << read.error;
    EXPECT_EQ(read.rules->decide(Access::write, "a/b", 0, false, "u", "c"), Match::allow);

    a = post(false);  // not asked for: dropped, as ever
    EXPECT_TRUE(a.json);
    EXPECT_FALSE(a.body);

    server.answer("{}", "text/plain");  // a body not of JSON's type: refused, naming the type
    a = post(true);
    EXPECT_FALSE(a.json);
    EXPECT_FALSE(read_json_answer(a).rules);
    EXPECT_NE(std::string(read_json_answer(a).error).find("\"text/plain\""), std::string::npos);

    server.answer("", "text/plain");  // an empty 200: no rules, and no error
    a = post(true);
    EXPECT_FALSE(read_json_answer(a).rules);
    EXPECT_FALSE(read_json_answer(a).refused());

    server.answer(std::string(Body::limit, ' ') + "{}", "application/json");  // past the limit
    a = post(true);
    EXPECT_EQ(a.outcome(), Outcome::granted);  // the transfer itself is not failed
    ASSERT_TRUE(a.body);
    EXPECT_TRUE(a.body->too_large);
    EXPECT_TRUE(a.body->bytes.empty());
    EXPECT_NE(std::string(read_json_answer(a).error).find("larger than"), std::string::npos);

    server.answer(std::string(Body::limit - 2, ' ') + "{}", "application/json");  // exactly the limit
    a = post(true);
    ASSERT_TRUE(a.body);
    EXPECT_FALSE(a.body->too_large);
    EXPECT_EQ(a.body->bytes.size(), Body::limit);
    EXPECT_TRUE(read_json_answer(a).rules);
}

}  // namespace
