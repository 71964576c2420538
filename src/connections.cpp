#include "connections.h"

#include "login_rules.h"

unsigned long Connections::admit(const void *client, const std::string &clientid, void *owner,
                                const char *username, const char *password, std::shared_ptr<const LoginRules> rules) {
    Admitted a{clientid, next_, owner, username ? username : "", password ? password : "",
               username != nullptr, password != nullptr, std::move(rules), std::nullopt};
    note_expiry(client, a);
    try {
        if (auto found = admitted_.find(client); found != admitted_.end()) forget_expiry(found->second);
        admitted_.insert_or_assign(client, std::move(a));
    } catch (...) {
        forget_expiry(a);
        throw;
    }
    offline_.erase(clientid);  // the new connection takes the session over
    return next_++;
}

const Connections::Admitted *Connections::find(const void *client) const noexcept {
    const auto found = admitted_.find(client);
    return found != admitted_.end() ? &found->second : nullptr;
}

void Connections::renew(const void *client, unsigned long serial, std::shared_ptr<const LoginRules> rules) {
    const auto found = admitted_.find(client);
    if (found == admitted_.end() || found->second.serial != serial) return;
    Admitted &a = found->second;
    const auto old_expiry = a.expiry;
    const auto old_rules = a.rules;
    a.rules = std::move(rules);
    a.expiry.reset();
    try {
        note_expiry(client, a);
    } catch (...) {
        a.rules = old_rules;
        a.expiry = old_expiry;
        throw;
    }
    if (old_expiry) expiries_.erase(*old_expiry);
}

void Connections::note_expiry(const void *client, Admitted &a) {
    if (!a.rules) return;
    if (const auto at = a.rules->expire_at()) a.expiry = expiries_.emplace(*at, client);
}

void Connections::forget_expiry(Admitted &a) noexcept {
    if (a.expiry) expiries_.erase(*a.expiry);
    a.expiry.reset();
}

std::vector<const void *> Connections::expired(std::int64_t now) {
    std::vector<const void *> out;
    std::size_t due = 0;
    for (auto it = expiries_.begin(); it != expiries_.end() && it->first <= now; ++it) ++due;
    out.reserve(due);
    while (!expiries_.empty() && expiries_.begin()->first <= now) {
        const void *client = expiries_.begin()->second;
        forget_expiry(admitted_.at(client));
        out.push_back(client);  // within the room reserved
    }
    return out;
}

std::optional<std::int64_t> Connections::next_expiry() const noexcept {
    if (expiries_.empty()) return std::nullopt;
    return expiries_.begin()->first;
}

void Connections::went_offline(const void *client, const std::string &clientid) {
    offline_.insert_or_assign(clientid, client);
}

bool Connections::offline(const void *client, const std::string &clientid) const noexcept {
    const auto found = offline_.find(clientid);
    return found != offline_.end() && found->second == client;
}

void Connections::end(const void *client) noexcept {
    const auto found = admitted_.find(client);
    if (found == admitted_.end()) return;
    forget_expiry(found->second);
    admitted_.erase(found);
}

void Connections::end_owned_by(const void *owner) noexcept {
    for (auto it = admitted_.begin(); it != admitted_.end();)
        if (it->second.owner == owner) {
            forget_expiry(it->second);
            it = admitted_.erase(it);
        } else {
            ++it;
        }
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
