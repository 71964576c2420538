// Failures inside the exchange, one per run, in the manner of curl's torture
// tests: each of the plug-in's calls into libcurl (and its own allocation of
// the body) fails in turn, then each allocation libcurl makes during a check.
// Every run must refuse with the check's code (or grant only for a real 200
// that the endpoint answered), and leave nothing allocated.
#include <gtest/gtest.h>
#include <curl/curl.h>

#include <functional>

#include "curl_interposer.h"
#include "endpoint.h"
#include "plugin_loader.h"

namespace {

// libcurl's allocator can only be replaced before its first global set-up.
class CountingAllocator : public ::testing::Environment {
    void SetUp() override { counting_allocator_install(); }
    void TearDown() override { curl_global_cleanup(); }
};
const auto *const allocator = ::testing::AddGlobalTestEnvironment(new CountingAllocator);

struct Check {
    const char *name;
    std::function<int(const Plugin &)> run;
    int refused;
};
const Check checks[] = {
    {"credential", [](const Plugin &p) { return p.unpwd_check(nullptr, "alice", "s&cret"); }, 11},
    {"access", [](const Plugin &p) { return p.acl_check(nullptr, "dev1", "alice", "a/b", 2); }, 12},
};

class InjectedFailure : public ::testing::Test {
protected:
    const Plugin &plugin = Plugin::get();
    Endpoint endpoint;
    Options opts{Options::Pairs{{"http_user_uri", endpoint.url("/user")}, {"http_acl_uri", endpoint.url("/acl")}}};
    void SetUp() override { ASSERT_EQ(plugin.init(nullptr, opts.data(), opts.size()), 0); }
    void TearDown() override {
        interposer_fail_call(0);
        counting_allocator_fail(0);
        EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), 0);
    }
};

TEST_F(InjectedFailure, EachCallIntoLibcurlFailsInTurn) {
    // Also with the decision cache on: no failure may be kept as a decision.
    Options cached{Options::Pairs{{"http_user_uri", endpoint.url("/user")},
                                  {"http_acl_uri", endpoint.url("/acl")},
                                  {"http_cache_ms", "60000"}}};
    for (const bool cache : {false, true}) {
      if (cache) {
          interposer_fail_call(0);
          ASSERT_EQ(plugin.cleanup(nullptr, nullptr, 0), 0);
          ASSERT_EQ(plugin.init(nullptr, cached.data(), cached.size()), 0);
      }
      for (const auto &check : checks) {
        int runs = 0;
        for (int n = 1; n < 100; ++n) {
            SCOPED_TRACE(::testing::Message() << check.name << " check, call " << n << " fails, cache " << cache);
            endpoint.clear();
            interposer_fail_call(n);
            int rc = check.run(plugin);
            EXPECT_EQ(interposer_live_handles(), 0);
            EXPECT_EQ(interposer_live_strings(), 0);
            if (!interposer_failed()) {  // past the last call: the plain run grants
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(endpoint.requests().size(), 1u);
                break;
            }
            ++runs;
            EXPECT_EQ(rc, check.refused);
            EXPECT_LE(endpoint.requests().size(), 1u);
        }
        // each escape, the body, a handle, every option, the transfer, the status
        EXPECT_GE(runs, 16) << check.name;
        std::printf("%s check%s: %d calls, each failed in turn\n", check.name, cache ? " (cache on)" : "", runs);
        if (cache) {  // the one real grant was kept
            interposer_fail_call(0);
            endpoint.clear();
            EXPECT_EQ(check.run(plugin), 0);
            EXPECT_EQ(endpoint.requests().size(), 0u);
        }
      }
    }
}

TEST_F(InjectedFailure, EachLibcurlAllocationFailsInTurn) {
    for (const auto &check : checks) {
        EXPECT_EQ(check.run(plugin), 0);  // warm-up: whatever libcurl sets up once
        long runs = 0, granted = 0;
        for (long n = 1; n < 5000; ++n) {
            SCOPED_TRACE(::testing::Message() << check.name << " check, allocation " << n << " fails");
            endpoint.clear();
            const long live = counting_allocator_live();
            counting_allocator_fail(n);
            int rc = check.run(plugin);
            bool failed = counting_allocator_failed();
            counting_allocator_fail(0);
            EXPECT_EQ(counting_allocator_live(), live);  // nothing of libcurl's left behind
            EXPECT_EQ(interposer_live_handles(), 0);
            EXPECT_EQ(interposer_live_strings(), 0);
            if (!failed) {
                EXPECT_EQ(rc, 0);
                break;
            }
            ++runs;
            if (rc == 0) {
                ++granted;  // libcurl did without it; then the endpoint must really have said 200
                EXPECT_EQ(endpoint.requests().size(), 1u);
            } else {
                EXPECT_EQ(rc, check.refused);
            }
        }
        EXPECT_GT(runs, 20) << check.name;
        std::printf("%s check: %ld libcurl allocations, each failed in turn (%ld runs granted after a real 200)\n",
                    check.name, runs, granted);
    }
}

}  // namespace
