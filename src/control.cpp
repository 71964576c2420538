// Commands on $CONTROL/auth_plugin/v1 (http_control), in the broker's
// dynamic-security style: {"commands": [{"command": NAME, ...}, ...]},
// answered with {"responses": [...]} on .../response to the sender. The
// broker asks the access endpoint about WRITE to the topic first, so the
// endpoint decides who may send them. Each command is checked whole before
// it acts: a malformed one changes nothing.
//
//   disconnect  username | clientid   the matching connections go now, and
//                                     the kept decisions about their users
//                                     with them (else they walk back in)
//   recheck     username | clientid | neither (all)
//                                     the connections this library admitted,
//                                     on every line, each asked again by its
//                                     own line (behind, as at a reload)
//   forget      username | neither, keepStale   kept decisions dropped
//
// A message may hold many commands: each connection is re-checked at most
// once per message, and one re-checked already is merged behind the
// exchange in flight, so that a message costs what its distinct
// connections do.

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <unordered_map>

#include "instance.h"

namespace {

using json = nlohmann::json;

constexpr std::size_t max_payload = 64 * 1024;
constexpr std::size_t max_listed = 100;  // connections named in one answer
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

std::size_t Instance::withdraw_pending(const char *username, const char *clientid, std::set<std::string> &users) {
    std::size_t n = 0;
    for (Instance *instance : shared_->instances)
        if (instance->scheduler_) n += instance->scheduler_->withdraw(username, clientid, users);
    return n;
}

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
        // Each connection's re-check in this message, asked once.
        std::unordered_map<const void *, Recheck> rechecked;
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
                // Whose kept decisions go with them: the user named, or the
                // users of the connections of that client id.
                std::set<std::string> users;
                const auto ours = connections.matching(username, clientid);
                for (const void *client : ours)
                    if (const auto *r = connections.find(client); r && r->username) users.insert(*r->username);
                if (username) users.insert(username);
                // Pending logins: the broker's kick
                // by client id does not reach them, and the answer may
                // predate the command.
                const std::size_t waiting = withdraw_pending(username, clientid, users);
                std::size_t forgotten = 0;
                for (const std::string &user : users)
                    for (Instance *instance : shared_->instances)
                        forgotten += instance->checker_.forget(user.c_str(), false);
                if (username) mosquitto_kick_client_by_username(username, false);
                else mosquitto_kick_client_by_clientid(clientid, false);
                response["disconnected"] = ours.size();  // of the connections this library admitted
                if (waiting) response["refused_waiting"] = waiting;
                response["forgotten"] = forgotten;
            } else if (name == "recheck") {
                if (username && clientid) {
                    fail(name, "recheck takes a username, a clientid or neither");
                    continue;
                }
                std::size_t asked = 0, disconnected = 0, skipped = 0;
                json not_rechecked = json::array();
                for (const void *client : connections.matching(username, clientid)) {
                    auto [it, first] = rechecked.try_emplace(client, Recheck::not_asked_failed);
                    if (first) {
                        const auto *r = connections.find(client);
                        auto *line = r ? static_cast<Instance *>(const_cast<void *>(r->line)) : nullptr;
                        it->second = line ? line->recheck(static_cast<const mosquitto *>(client))
                                          : Recheck::not_asked_failed;
                        // Refused at once: it goes now (the one guarded kick).
                        if (it->second == Recheck::refused) kick(client);
                    }
                    switch (it->second) {
                    case Recheck::pending:
                    case Recheck::granted: ++asked; break;
                    case Recheck::refused:
                        ++asked;
                        ++disconnected;
                        break;
                    case Recheck::not_asked_no_password:
                    case Recheck::not_asked_failed: {
                        ++skipped;
                        const auto *r = connections.find(client);
                        if (not_rechecked.size() >= max_listed) break;  // the count says the rest
                        not_rechecked.push_back(
                            {{"clientid", r ? r->clientid : ""},
                             {"why", it->second == Recheck::not_asked_no_password
                                         ? "its login carried no password to ask with"
                                         : "it could not be asked (out of memory, or it ended)"}});
                        break;
                    }
                    }
                }
                // Pending logins, whose answer may predate the
                // command: refused when it comes (their clients try again).
                std::set<std::string> users;
                response["rechecked"] = asked;
                response["disconnected"] = disconnected;
                if (const std::size_t waiting = withdraw_pending(username, clientid, users))
                    response["refused_waiting"] = waiting;
                if (skipped) {
                    response["not_rechecked"] = skipped;
                    response["not_rechecked_connections"] = std::move(not_rechecked);  // the first max_listed
                }
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
