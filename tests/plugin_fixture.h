// A test of the loaded plug-in that initialises it afresh for each case, in
// the connection mode its parameter names (true: http_keepalive).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "plugin_loader.h"

class PluginFixture : public ::testing::TestWithParam<bool> {
protected:
    const Plugin &plugin = Plugin::get();

    void TearDown() override { EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), 0); }

    // Initialises with these pairs plus the connection mode; a clean-up
    // first, so that each call starts from nothing.
    int configure(Options::Pairs pairs) {
        EXPECT_EQ(plugin.cleanup(nullptr, nullptr, 0), 0);
        pairs.emplace_back("http_keepalive", GetParam() ? "true" : "false");
        options_ = std::make_unique<Options>(std::move(pairs));
        return plugin.init(nullptr, options_->data(), options_->size());
    }
    int unpwd(const char *user, const char *pass) { return plugin.unpwd_check(nullptr, user, pass); }
    int acl(const char *id, const char *user, const char *topic, int access) {
        return plugin.acl_check(nullptr, id, user, topic, access);
    }

private:
    std::unique_ptr<Options> options_;
};

inline std::string connection_mode(const ::testing::TestParamInfo<bool> &p) {
    return p.param ? "keepalive" : "fresh_connection";
}
