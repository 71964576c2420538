// The two questions as the version-5 library asks them about a client: the
// extra fields its settings name, and the rules applied before any exchange.
// The check tool asks through these too, so that it asks what the plug-in would.
#pragma once

#include "checker.h"
#include "extra_fields.h"

// A client id or user name that is a pattern ('+' or '#'): the broker
// refuses such names access for its older interfaces, without asking.
bool has_wildcard(const char *name) noexcept;

// consult_cache false: asked of the endpoint even when a kept decision could answer.
Verdict ask_login(Checker &checker, const ClientFacts &client, const char *username, const char *password,
                  bool consult_cache = true) noexcept;

Verdict ask_access(Checker &checker, const ClientFacts &client, const char *topic, Access access,
                   const MessageFacts &message) noexcept;
