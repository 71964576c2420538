// The options as start-up made them ready, each worked out once and handed
// down to what runs the checks: the settings and each question's request
// plan (its templates, parsed and checked at start-up).
#pragma once

#include "request_template.h"
#include "settings.h"

struct Configuration {
    Settings settings;
    RequestPlan login_plan, access_plan;
};
