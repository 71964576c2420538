// The extra fields a question carries (http_login_fields, http_acl_fields):
// the names the settings give, with this client's values. Shared by the
// version-5 library, which reads the values from the broker, and the check
// tool, which takes them from its flags.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "field_names.h"
#include "http_client.h"

// What is known of the client a question is about; each value is read only
// when a field names it.
class ClientFacts {
public:
    virtual ~ClientFacts() = default;
    virtual const char *clientid() const = 0;
    virtual const char *username() const = 0;
    virtual const char *address() const = 0;
    virtual int protocol_version() const = 0;
    // RFC 2253 text, empty without a certificate; throws when it cannot be had.
    virtual std::string certificate_subject() const = 0;
};

// What an access question adds: the message's QoS and retain flag.
struct MessageFacts {
    int qos = 0;
    bool retain = false;
};

// Every name either list may hold (field_names.h); the settings allow each once.
static_assert(std::size(login_field_names) <= max_extra_fields && std::size(acl_field_names) <= max_extra_fields);

class ExtraFields {
public:
    // message is null for a login. Throws when a value cannot be had. The
    // names point into the settings, which outlive every question.
    ExtraFields(const std::vector<std::string> &names, const ClientFacts &client, const MessageFacts *message);
    const Field *data() const noexcept { return count_ ? fields_.data() : nullptr; }
    std::size_t size() const noexcept { return count_; }

private:
    std::array<std::string, max_extra_fields> values_;
    std::array<Field, max_extra_fields> fields_{};
    std::size_t count_ = 0;
};
