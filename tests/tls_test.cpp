// https endpoints. Certificate verification stays as libcurl has it, on: an
// endpoint whose certificate is not trusted is refused before any request.
// The trusted case runs only where tests/tls_trusted.sh has put a test CA in
// place of the trust store, inside a private mount namespace.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include <httplib.h>

#include "plugin_loader.h"
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

}  // namespace
