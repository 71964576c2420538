// Commands on $CONTROL/auth_plugin/v1 (http_control), in the broker's
// dynamic-security style: {"commands": [{"command": NAME, ...}, ...]},
// answered with {"responses": [...]} on .../response to the sender. The
// broker asks the access endpoint about WRITE to the topic first, so the
// endpoint decides who may send them. Each command is checked whole before
// it acts: a malformed one changes nothing.
//
//   disconnect  username | clientid   the matching connections go now
//   recheck     username | clientid | neither (all)
//                                     asked again behind, as at a reload
//   forget      username | neither, keepStale   kept decisions dropped

#include <nlohmann/json.hpp>

#include <string>

#include "instance.h"

namespace {

using json = nlohmann::json;

constexpr std::size_t max_payload = 64 * 1024;
const char *const response_topic = "$CONTROL/auth_plugin/v1/response";

// A member that must be a string when present; its value, or null.
bool optional_string(const json &command, const char *name, const char *&out, std::string &error) {
    out = nullptr;
    const auto found = command.find(name);
    if (found == command.end()) return true;
    if (!found->is_string()) {
        error = std::string(name) + " must be a string";
        return false;
    }
    out = found->get_ref<const std::string &>().c_str();
    return true;
}

}  // namespace

void Instance::control(const mosquitto_evt_control &event) noexcept {
    try {
        json responses = json::array();
        auto fail = [&](const std::string &command, const std::string &error) {
            responses.push_back({{"command", command}, {"error", error}});
        };
        json request, commands = json::array();  // none run unless the request is whole
        if (event.payloadlen > max_payload) {
            fail("", "the request is larger than 64 KiB");
        } else {
            const char *payload = static_cast<const char *>(event.payload);
            request = json::parse(payload, payload + event.payloadlen, nullptr, false);
            if (request.is_object() && request.contains("commands") && request["commands"].is_array())
                commands = std::move(request["commands"]);
            else
                fail("", "expected {\"commands\": [...]}");
        }
        Connections &connections = shared_->connections;
        for (const json &command : commands) {
            if (!command.is_object() || !command.contains("command") || !command["command"].is_string()) {
                fail("", "each command is an object with a \"command\" name");
                continue;
            }
            const std::string name = command["command"].get<std::string>();
            const char *username = nullptr, *clientid = nullptr;
            std::string error;
            if (!optional_string(command, "username", username, error) ||
                !optional_string(command, "clientid", clientid, error)) {
                fail(name, error);
                continue;
            }
            json response = {{"command", name}};
            if (name == "disconnect") {
                if (!username == !clientid) {
                    fail(name, "disconnect needs a username or a clientid");
                    continue;
                }
                if (username) mosquitto_kick_client_by_username(username, false);
                else mosquitto_kick_client_by_clientid(clientid, false);
            } else if (name == "recheck") {
                if (username && clientid) {
                    fail(name, "recheck takes a username, a clientid or neither");
                    continue;
                }
                // Copied first: a refusal disconnects, which ends connections here.
                const auto matching = connections.matching(username, clientid);
                for (const auto &[client, admitted] : matching) {
                    auto *owner = static_cast<Instance *>(admitted.owner);
                    if (owner && !owner->recheck(static_cast<const mosquitto *>(client), admitted))
                        mosquitto_kick_client_by_clientid(admitted.clientid.c_str(), false);
                }
                response["rechecked"] = matching.size();
            } else if (name == "forget") {
                const auto keep = command.find("keepStale");
                if (clientid || (keep != command.end() && !keep->is_boolean())) {
                    fail(name, "forget takes a username or neither, and keepStale true or false");
                    continue;
                }
                const bool keep_stale = keep != command.end() && keep->get<bool>();
                std::size_t forgotten = 0;
                for (Instance *instance : shared_->instances) forgotten += instance->checker_.forget(username, keep_stale);
                response["forgotten"] = forgotten;
            } else {
                fail(name, "unknown command");
                continue;
            }
            responses.push_back(std::move(response));
        }
        const std::string text = json{{"responses", responses}}.dump();
        // To the sender only: without one, the answer would go to every subscriber.
        const char *sender = event.client ? mosquitto_client_id(event.client) : nullptr;
        if (sender && *sender)
            mosquitto_broker_publish_copy(sender, response_topic, static_cast<int>(text.size()), text.data(), 0,
                                          false, nullptr);
    } catch (...) {
        // out of memory: no answer; what ran has run
    }
}
