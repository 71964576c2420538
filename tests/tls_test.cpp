// https endpoints. Certificate verification stays as libcurl has it, on: an
// endpoint whose certificate is not trusted is refused before any request.
// The trusted case runs only where tests/tls_trusted.sh has put a test CA in
// place of the trust store, inside a private mount namespace.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>

#include <httplib.h>

#include "concurrent_exchanges.h"
#include "loopback.h"
#include "plugin_loader.h"
#include "process.h"
#include "timing.h"

namespace fs = std::filesystem;

namespace {

class TlsEndpoint {
public:
    // With require_client_cert, only clients with a certificate from the test CA get through.
    explicit TlsEndpoint(const fs::path &dir, bool require_client_cert = false)
        : server_((dir / "server.pem").c_str(), (dir / "server.key").c_str(),
                  require_client_cert ? (dir / "ca.pem").c_str() : nullptr) {
        server_.Post("/ok", [this](const httplib::Request &, httplib::Response &res) { ++requests, res.status = 200; });
        server_.Post("/deny", [this](const httplib::Request &, httplib::Response &res) { ++requests, res.status = 403; });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] {
            server_.listen_after_bind();
            ended_ = true;
        });
        // Until it runs, stop() would not reach the listening thread.
        if (!wait_until([this] { return server_.is_running() || ended_; })) std::abort();
    }
    ~TlsEndpoint() {
        server_.stop();
        thread_.join();
    }
    std::string url(const char *path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }
    std::atomic<int> requests{0};

private:
    httplib::SSLServer server_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> ended_{false};
};

// The certificates: those tls_trusted.sh made, or fresh ones.
class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char *given = std::getenv("AUTH_PLUGIN_TLS_DIR")) {
            dir_ = given;
        } else {
            std::string tmpl = (fs::temp_directory_path() / "auth_plugin_tls.XXXXXX").string();
            ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
            dir_ = tmpl;
            owned_ = true;
            ASSERT_EQ(std::system((std::string(MAKE_CERTS) + " " + dir_.string()).c_str()), 0);
        }
        endpoint_ = std::make_unique<TlsEndpoint>(dir_);
    }
    void TearDown() override {
        endpoint_.reset();
        if (owned_) fs::remove_all(dir_);
    }
    // Both checks against path, in both connection modes, with these options too.
    void expect(const char *path, int unpwd, int acl, const Options::Pairs &extra = {}) {
        const Plugin &plugin = Plugin::get();
        for (const char *keepalive : {"false", "true"}) {
            SCOPED_TRACE(std::string(path) + ", keepalive " + keepalive);
            Options::Pairs pairs{{"http_user_uri", endpoint_->url(path)},
                                 {"http_acl_uri", endpoint_->url(path)},
                                 {"http_keepalive", keepalive}};
            pairs.insert(pairs.end(), extra.begin(), extra.end());
            Options opts(std::move(pairs));
            ASSERT_EQ(plugin.init(nullptr, opts.data(), opts.size()), 0);
            EXPECT_EQ(plugin.unpwd_check(nullptr, "alice", "secret"), unpwd);
            EXPECT_EQ(plugin.acl_check(nullptr, "dev1", "alice", "a/b", 1), acl);
            EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), 0);
        }
    }
    std::string file(const char *name) const { return (dir_ / name).string(); }
    std::unique_ptr<TlsEndpoint> endpoint_;
    fs::path dir_;

private:
    bool owned_ = false;
};

TEST_F(Tls, UntrustedCertificateIsRefusedBeforeAnyRequest) {
    if (std::getenv("AUTH_PLUGIN_TLS_TRUSTED")) GTEST_SKIP() << "the test CA is trusted here";
    expect("/ok", 11, 12);
    EXPECT_EQ(endpoint_->requests.load(), 0);
}

TEST_F(Tls, APrivateCaIsTrustedWhenNamed) {
    if (std::getenv("AUTH_PLUGIN_TLS_TRUSTED")) GTEST_SKIP() << "the test CA is trusted here anyway";
    expect("/ok", 0, 0, {{"http_cafile", file("ca.pem")}});
    expect("/deny", 11, 12, {{"http_cafile", file("ca.pem")}});
    EXPECT_EQ(endpoint_->requests.load(), 8);
    // A bundle that does not hold the CA trusts nothing here.
    expect("/ok", 11, 12, {{"http_cafile", file("client.pem")}});
    EXPECT_EQ(endpoint_->requests.load(), 8);
}

TEST_F(Tls, AClientCertificateIsShownWhenTheEndpointRequiresOne) {
    if (std::getenv("AUTH_PLUGIN_TLS_TRUSTED")) GTEST_SKIP();
    endpoint_ = std::make_unique<TlsEndpoint>(dir_, true);
    const Options::Pairs trust{{"http_cafile", file("ca.pem")}};
    expect("/ok", 11, 12, trust);  // none shown: the handshake fails
    EXPECT_EQ(endpoint_->requests.load(), 0);
    Options::Pairs with_cert = trust;
    with_cert.insert(with_cert.end(), {{"http_certfile", file("client.pem")}, {"http_keyfile", file("client.key")}});
    expect("/ok", 0, 0, with_cert);
    expect("/deny", 11, 12, with_cert);
    EXPECT_EQ(endpoint_->requests.load(), 8);
}

TEST_F(Tls, TrustedEndpointIsDecidedByStatus) {
    if (!std::getenv("AUTH_PLUGIN_TLS_TRUSTED")) GTEST_SKIP() << "runs under tests/tls_trusted.sh";
    expect("/ok", 0, 0);
    expect("/deny", 11, 12);
    EXPECT_EQ(endpoint_->requests.load(), 8);
}


// HTTP/2 offered by ALPN to an endpoint that speaks nothing else (nghttpd:
// a file answers 200, a missing one 404): with http_version 2, exchanges run
// at once share a connection; with 1.1 none is answered, nothing granted.
TEST_F(Tls, WithHttp2ExchangesRunAtOnceShareOneConnection) {
    const char *nghttpd = "/usr/sbin/nghttpd";
    if (!fs::exists(nghttpd)) GTEST_SKIP() << "no nghttpd (Debian's nghttp2-server)";
    const fs::path docroot = dir_ / "h2";
    fs::create_directories(docroot);
    std::ofstream(docroot / "user") << "ok";
    const LoopbackListener port(false);
    const std::string log = (dir_ / "nghttpd.log").string();
    Process server({nghttpd, "-v", "--address=127.0.0.1", "-d", docroot.string(), std::to_string(port.port()),
                    file("server.key"), file("server.pem")},
                   log);
    const auto read_log = [&] {
        std::ifstream in(log);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ASSERT_TRUE(wait_until([&] { return read_log().find("listen 127.0.0.1") != std::string::npos; })) << read_log();
    // The connections that carried requests (nghttpd's numbering), and the requests, in its log.
    const auto seen = [&] {
        const std::string text = read_log();
        std::set<std::string> ids;
        std::size_t posts = 0;
        const std::regex post(R"((\[id=\d+\]).*:method: POST)");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), post); it != std::sregex_iterator(); ++it, ++posts)
            ids.insert((*it)[1].str());
        return std::make_pair(ids, posts);
    };
    const std::string granted = "https://127.0.0.1:" + std::to_string(port.port()) + "/user",
                      refused = "https://127.0.0.1:" + std::to_string(port.port()) + "/refused";
    constexpr std::size_t n = 20;
    const struct Case {
        long version;
        std::size_t requests, most_connections;  // that carried them
    } cases[] = {{2, n, 2}, {1, 0, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.version);
        Settings settings;
        settings.http_cafile = file("ca.pem");
        settings.http_version = c.version;
        HttpClient client(settings);
        const auto before = seen();
        std::map<std::size_t, Outcome> outcomes;
        {
            ConcurrentExchanges exchanges(client, 64);
            for (std::size_t i = 0; i < n; ++i) {
                Request r;
                r.fixed_url = i % 2 ? &refused : &granted;
                r.body.reset(strdup("username=u&password=p"));
                r.length = std::strlen(r.body.get());
                ASSERT_TRUE(exchanges.submit(i, std::move(r)));
            }
            ASSERT_TRUE(wait_until([&] {
                for (const auto &[token, answer] : exchanges.take()) outcomes[token] = answer.outcome();
                return outcomes.size() == n;
            })) << read_log();
        }
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_EQ(outcomes[i], !c.requests ? Outcome::no_answer : i % 2 ? Outcome::refused : Outcome::granted) << i;
        ASSERT_TRUE(wait_until([&] { return seen().second == before.second + c.requests; })) << read_log();
        std::size_t used = 0;
        for (const auto &id : seen().first) used += before.first.count(id) == 0;
        EXPECT_LE(used, c.most_connections);
    }
}

}  // namespace
