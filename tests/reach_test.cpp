// Reaching endpoints that want more than a URL: extra request headers (a
// shared secret) and a Unix domain socket, in both connection modes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "endpoint.h"
#include "hostile_server.h"
#include "plugin_fixture.h"

namespace fs = std::filesystem;

namespace {

constexpr int OK = 0, AUTH_DENIED = 11, ACL_DENIED = 12;

using Reach = PluginFixture;

TEST_P(Reach, ExtraHeadersArriveExactlyAndInOrder) {
    HostileServer server([](HostileServer &, int fd) {
        HostileServer::send_all(fd, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    });
    ASSERT_EQ(configure({{"http_user_uri", server.url()},
                         {"http_acl_uri", server.url()},
                         {"http_header", "Authorization: Bearer s3cr3t-t0ken"},
                         {"http_header", "X-Broker: edge-1"}}),
              OK);
    for (int which = 0; which < 2; ++which) {
        SCOPED_TRACE(which ? "access" : "credential");
        EXPECT_EQ(which ? plugin.acl_check(nullptr, "id", "u", "t", 1) : plugin.unpwd_check(nullptr, "u", "p"), OK);
        const std::string request = server.last_request();
        const std::size_t auth = request.find("\r\nAuthorization: Bearer s3cr3t-t0ken\r\n");
        const std::size_t broker = request.find("\r\nX-Broker: edge-1\r\n");
        ASSERT_NE(auth, std::string::npos) << request;
        ASSERT_NE(broker, std::string::npos) << request;
        EXPECT_LT(auth, broker) << request;
        EXPECT_LT(broker, request.find("\r\n\r\n"));
    }
}

TEST_P(Reach, AUnixSocketEndpointDecidesByStatusLikeTcp) {
    std::string tmpl = (fs::temp_directory_path() / "auth_plugin_sock.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    const std::string path = tmpl + "/endpoint.sock";
    const Options::Pairs pairs{{"http_user_uri", "http://auth.local/user"},  // gives Host and path
                               {"http_acl_uri", "http://auth.local/acl"},
                               {"http_unix_socket", path}};
    {
        auto endpoint = Endpoint::on_unix_socket(path);
        ASSERT_EQ(configure(pairs), OK);
        for (int status : {200, 403, 500, 204}) {
            SCOPED_TRACE(status);
            endpoint->clear();
            endpoint->answer(status);
            EXPECT_EQ(plugin.unpwd_check(nullptr, "alice", "secret"), status == 200 ? OK : AUTH_DENIED);
            EXPECT_EQ(plugin.acl_check(nullptr, "dev1", "alice", "a/b", 2), status == 200 ? OK : ACL_DENIED);
            auto requests = endpoint->requests();
            ASSERT_EQ(requests.size(), 2u);
            EXPECT_EQ(requests[0].path, "/user");
            EXPECT_EQ(requests[0].body, "username=alice&password=secret");
            EXPECT_EQ(requests[1].path, "/acl");
        }
        EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), OK);  // kept connections close before the endpoint goes
    }
    // Nobody listening there any more: refused.
    ASSERT_EQ(configure(pairs), OK);
    EXPECT_EQ(plugin.unpwd_check(nullptr, "alice", "secret"), AUTH_DENIED);
    fs::remove_all(tmpl);
}

INSTANTIATE_TEST_SUITE_P(Modes, Reach, ::testing::Values(false, true), connection_mode);

}  // namespace
