// The options as start-up made them ready, each worked out once and handed
// down to what runs the checks: the settings and each question's request
// plan (its templates, parsed and checked at start-up).
#pragma once

#include <memory>

#include "request_template.h"
#include "settings.h"

class TokenKeys;
class TokenVerifier;

struct Configuration {
    Settings settings;
    RequestPlan login_plan, access_plan;
    // Signed tokens (http_jwt_*): the verifier of the claims, and the keys of
    // http_jwt_secret_file read at start (a key set is fetched later); null
    // when not configured.
    std::shared_ptr<const TokenVerifier> token_verifier;
    std::shared_ptr<const TokenKeys> token_secret;
    // Which library runs the checks: only auth_plugin_v5.so applies a token's
    // acl and ends its connection at its expiry.
    Interface which = Interface::v2;
};
