// Failures inside the exchange: no handle, or a value libcurl cannot escape.
// Each refuses with the check's own code, sends nothing, and leaves nothing
// allocated.
#include <gtest/gtest.h>

#include "curl_interposer.h"
#include "endpoint.h"
#include "plugin_loader.h"

namespace {

TEST(InjectedFailure, RefusesSendsNothingLeaksNothing) {
    const Plugin &plugin = Plugin::get();
    Endpoint endpoint;
    Options opts(Options::Pairs{{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")}});
    ASSERT_EQ(plugin.init(nullptr, opts.data(), opts.size()), 0);

    struct Case {
        const char *what;
        int fail_handle, fail_escape;
        int unpwd, acl;
        std::size_t requests;
    } cases[] = {
        {"nothing fails", 0, 0, 0, 0, 2},
        {"no handle", 1, 0, 11, 12, 0},
        {"first value", 0, 1, 11, 12, 0},
        {"second value", 0, 2, 11, 12, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        endpoint.clear();
        interposer_arm(c.fail_handle, c.fail_escape);
        EXPECT_EQ(plugin.unpwd_check(nullptr, "alice", "secret"), c.unpwd);
        interposer_arm(c.fail_handle, c.fail_escape);
        EXPECT_EQ(plugin.acl_check(nullptr, "dev1", "alice", "a/b", 2), c.acl);
        EXPECT_EQ(endpoint.requests().size(), c.requests);
        EXPECT_EQ(interposer_live_handles(), 0);
        EXPECT_EQ(interposer_live_strings(), 0);
    }
    // the third and fourth access fields, which only the access check has
    for (int at : {3, 4}) {
        SCOPED_TRACE(at);
        endpoint.clear();
        interposer_arm(0, at);
        EXPECT_EQ(plugin.acl_check(nullptr, "dev1", "alice", "a/b", 2), 12);
        EXPECT_TRUE(endpoint.requests().empty());
        EXPECT_EQ(interposer_live_handles(), 0);
        EXPECT_EQ(interposer_live_strings(), 0);
    }
    interposer_arm(0, 0);
    EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), 0);
}

}  // namespace
