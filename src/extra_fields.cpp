#include "extra_fields.h"

#include <stdexcept>

namespace {

std::string text(const char *s) { return s ? s : ""; }

std::string value(const std::string &name, const ClientFacts &client, const MessageFacts *message) {
    if (name == "clientid") return text(client.clientid());
    if (name == "address") return text(client.address());
    if (name == "protocol_version") return std::to_string(client.protocol_version());
    if (name == "certificate_subject") return client.certificate_subject();
    if (message && name == "qos") return std::to_string(message->qos);
    if (message && name == "retain") return message->retain ? "true" : "false";
    throw std::invalid_argument(name);  // the settings let through no other name
}

}  // namespace

ExtraFields::ExtraFields(const std::vector<std::string> &names, const ClientFacts &client,
                         const MessageFacts *message) {
    if (names.size() > max_extra_fields) throw std::length_error("extra fields");
    for (const auto &name : names) {
        values_[count_] = value(name, client, message);
        fields_[count_] = {name.c_str(), nullptr};
        ++count_;
    }
    for (std::size_t i = 0; i < count_; ++i) fields_[i].value = values_[i].c_str();
}
