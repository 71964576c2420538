// What the broker knows of one of its clients, read through its accessors
// when a question needs it.
#pragma once

#include <string>

#include "broker_v5.h"
#include "extra_fields.h"

class BrokerClient final : public ClientFacts {
public:
    explicit BrokerClient(const mosquitto *client) noexcept : client_(client) {}
    const char *clientid() const override { return mosquitto_client_id(client_); }
    const char *username() const override { return mosquitto_client_username(client_); }
    const char *address() const override { return mosquitto_client_address(client_); }
    int protocol_version() const override { return mosquitto_client_protocol_version(client_); }
    std::string certificate_subject() const override;

private:
    const mosquitto *client_;
};
