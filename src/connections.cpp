#include "connections.h"

unsigned long Connections::admit(const void *client, const std::string &clientid, void *owner,
                                const char *username, const char *password) {
    const unsigned long serial = next_++;
    admitted_.insert_or_assign(client, Admitted{clientid, serial, owner, username ? username : "",
                                                password ? password : "", username != nullptr, password != nullptr});
    offline_.erase(clientid);  // the new connection takes the session over
    return serial;
}

void Connections::went_offline(const void *client, const std::string &clientid) {
    offline_.insert_or_assign(clientid, client);
}

bool Connections::offline(const void *client, const std::string &clientid) const noexcept {
    const auto found = offline_.find(clientid);
    return found != offline_.end() && found->second == client;
}

void Connections::end(const void *client) noexcept { admitted_.erase(client); }

void Connections::end_owned_by(const void *owner) noexcept {
    for (auto it = admitted_.begin(); it != admitted_.end();)
        it = it->second.owner == owner ? admitted_.erase(it) : std::next(it);
}

unsigned long Connections::serial(const void *client, const std::string &clientid) const noexcept {
    const auto found = admitted_.find(client);
    return found != admitted_.end() && found->second.clientid == clientid ? found->second.serial : 0;
}

Connections::Ticket Connections::expect(const std::string &clientid) {
    Ticket ticket{next_++, std::make_shared<std::atomic<bool>>(true)};
    auto [it, added] = expected_.try_emplace(clientid, ticket);
    if (!added) {
        it->second.wanted->store(false);
        it->second = ticket;
    }
    return ticket;
}

void Connections::supersede(const std::string &clientid) noexcept {
    const auto found = expected_.find(clientid);
    if (found == expected_.end()) return;
    found->second.wanted->store(false);
    expected_.erase(found);
}

bool Connections::settle(const std::string &clientid, unsigned long token) noexcept {
    const auto found = expected_.find(clientid);
    if (found == expected_.end() || found->second.token != token) return false;
    expected_.erase(found);
    return true;
}

std::vector<std::pair<const void *, Connections::Admitted>> Connections::matching(const char *username,
                                                                                  const char *clientid) const {
    std::vector<std::pair<const void *, Admitted>> out;
    for (const auto &[client, a] : admitted_)
        if ((!username || (a.has_username && a.username == username)) && (!clientid || a.clientid == clientid))
            out.emplace_back(client, a);
    return out;
}
