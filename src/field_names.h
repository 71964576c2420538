// The names the extra-field options may hold (http_login_fields,
// http_acl_fields): plain data, so that the option table (settings.cpp)
// reads them without the fields' own code (extra_fields.h).
#pragma once

inline constexpr const char *login_field_names[] = {"clientid", "address", "protocol_version", "certificate_subject"};
inline constexpr const char *acl_field_names[] = {"address", "qos", "retain"};
