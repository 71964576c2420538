#include "connections.h"

#include "login_rules.h"

unsigned long Connections::admit(const void *client, const Admission &admission) {
    Record r;
    r.line = admission.line;
    r.clientid = admission.clientid ? admission.clientid : "";
    if (admission.username) r.username = admission.username;
    if (admission.password) r.password = admission.password;
    r.rules = admission.rules;
    r.serial = next_;
    r.state = admission.deferred ? State::deferred : State::admitted;
    // A persistent session of this id that ended before: the new
    // connection takes it over, and its delayed will with it.
    const auto offline = offline_by_id_.find(r.clientid);
    const void *taken_over = admission.takes_over && offline != offline_by_id_.end() ? offline->second : nullptr;
    // Everything that may fail comes first: the record's node, room for it
    // (grown geometrically: asking for one more each time would rehash the
    // whole table every few admissions), its expiry.
    decltype(records_) one;
    one.emplace(client, std::move(r));
    auto node = one.extract(one.begin());
    if (static_cast<double>(records_.size() + 1) >
        static_cast<double>(records_.max_load_factor()) * static_cast<double>(records_.bucket_count()))
        records_.reserve(2 * records_.size() + 1);
    note_expiry(client, node.mapped());
    if (taken_over && taken_over != client) erase(taken_over);
    erase(client);  // an older record at this address: the broker freed that connection
    records_.insert(std::move(node));  // within the room reserved: cannot fail
    forgotten_.erase(client);          // a new connection at that address, known again
    return next_++;
}

void Connections::took_over(const void *client) noexcept {
    const Record *r = find(client);
    if (!r) return;
    const auto offline = offline_by_id_.find(r->clientid);
    if (offline != offline_by_id_.end() && offline->second != client) erase(offline->second);
}

const Connections::Record *Connections::find(const void *client) const noexcept {
    const auto found = records_.find(client);
    return found != records_.end() ? &found->second : nullptr;
}

void Connections::renew(const void *client, unsigned long serial, std::shared_ptr<const LoginRules> rules) {
    const auto found = records_.find(client);
    if (found == records_.end() || found->second.serial != serial || !found->second.live()) return;
    Record &r = found->second;
    const auto old_expiry = r.expiry;
    auto old_rules = std::move(r.rules);
    r.rules = std::move(rules);
    r.expiry.reset();
    try {
        note_expiry(client, r);
    } catch (...) {
        r.rules = std::move(old_rules);
        r.expiry = old_expiry;
        throw;
    }
    if (old_expiry) expiries_.erase(*old_expiry);
}

void Connections::note_expiry(const void *client, Record &r) {
    if (!r.rules) return;
    if (const auto at = r.rules->expire_at()) r.expiry = expiries_.emplace(*at, client);
}

void Connections::forget_expiry(Record &r) noexcept {
    if (r.expiry) expiries_.erase(*r.expiry);
    r.expiry.reset();
}

std::vector<const void *> Connections::expired(std::int64_t now) {
    std::vector<const void *> out;
    std::size_t due = 0;
    for (auto it = expiries_.begin(); it != expiries_.end() && it->first <= now; ++it) ++due;
    out.reserve(due);
    while (!expiries_.empty() && expiries_.begin()->first <= now) {
        const void *client = expiries_.begin()->second;
        forget_expiry(records_.at(client));
        out.push_back(client);  // within the room reserved
    }
    return out;
}

std::optional<std::int64_t> Connections::next_expiry() const noexcept {
    if (expiries_.empty()) return std::nullopt;
    return expiries_.begin()->first;
}

void Connections::end(const void *client, bool persists) noexcept {
    const auto found = records_.find(client);
    if (found == records_.end() || !found->second.live()) return;
    Record &r = found->second;
    forget_expiry(r);  // nothing left to disconnect; its rules still decide its will
    r.state = State::ended;
    r.persists = persists;
    r.password.reset();
    ++ended_;
    try {
        if (!persists) {
            just_ended_.emplace_back(client, r.serial);
            return;
        }
        offline_by_id_.insert_or_assign(r.clientid, client);
        keep_ended(client, r.serial);
    } catch (...) {
        return;  // kept until its address or id is used again
    }
}

void Connections::keep_ended(const void *client, unsigned long serial) {
    offline_.emplace_back(client, serial);
    while (offline_.size() > max_ended) {
        const auto [oldest, oldest_serial] = offline_.front();
        offline_.pop_front();
        if (const Record *o = find(oldest); o && o->serial == oldest_serial) {
            forget(oldest, *o);
            erase(oldest);
        }
    }
}

void Connections::forget(const void *client, const Record &r) noexcept {
    if (!r.rules) return;  // nothing of ours would have decided its will
    try {
        auto [it, added] = forgotten_.try_emplace(client, r.clientid);
        if (!added) {
            it->second = r.clientid;
            return;  // already in the order, at its first forgetting
        }
        try {
            forgotten_order_.push_back(client);
        } catch (...) {
            forgotten_.erase(it);
            return;
        }
    } catch (...) {
        return;  // no room to remember it: its will goes to the access endpoint, or the default
    }
    while (forgotten_order_.size() > max_forgotten) {
        forgotten_.erase(forgotten_order_.front());
        forgotten_order_.pop_front();
    }
}

bool Connections::forgotten(const void *client, const char *clientid) const noexcept {
    if (forgotten_.empty()) return false;
    const auto found = forgotten_.find(client);
    return found != forgotten_.end() && found->second == clientid;
}

void Connections::sweep() noexcept {
    for (const auto &[client, serial] : just_ended_) {
        const Record *r = find(client);
        if (!r || r->serial != serial) continue;
        // 2.0.11 asks about the will of a session that ends with its
        // connection at once: by any later call, that has happened. 2.1
        // holds such a session under its id until its delayed will has been
        // asked about, however long the delay.
        if (session_of_ && session_of_(r->clientid.c_str()) == client) {
            try {
                keep_ended(client, serial);
            } catch (...) {
                // kept until its address is used again
            }
            continue;
        }
        erase(client);
    }
    just_ended_.clear();
    // 2.1 can say whether it still holds a session; a few each time, so
    // that a sweep costs the same however many there are.
    if (!session_of_) return;
    for (int i = 0; i < 16 && !offline_.empty(); ++i) {
        const auto [client, serial] = offline_.front();
        offline_.pop_front();
        const Record *r = find(client);
        if (!r || r->serial != serial) continue;
        if (session_of_(r->clientid.c_str()) != client) {
            erase(client);
            continue;
        }
        offline_.emplace_back(client, serial);  // cannot fail: an entry was just taken off
    }
}

const std::string *Connections::kickable(const void *client) const noexcept {
    const Record *r = find(client);
    if (!r || r->state != State::admitted) return nullptr;
    // The broker disconnects by client id: only while that id is this connection's.
    if (session_of_ && session_of_(r->clientid.c_str()) != client) return nullptr;
    return &r->clientid;
}

std::vector<const void *> Connections::matching(const char *username, const char *clientid) const {
    std::vector<const void *> out;
    for (const auto &[client, r] : records_)
        if (r.state == State::admitted && (!username || (r.username && *r.username == username)) &&
            (!clientid || r.clientid == clientid))
            out.push_back(client);
    return out;
}

void Connections::end_owned_by(const void *line) noexcept {
    std::vector<const void *> owned;
    try {
        for (const auto &[client, r] : records_)
            if (r.line == line) owned.push_back(client);
    } catch (...) {
        // fall back to one pass that erases as it goes
        for (auto it = records_.begin(); it != records_.end();) {
            const void *client = it->first;
            ++it;
            if (find(client)->line == line) erase(client);
        }
        return;
    }
    for (const void *client : owned) erase(client);
}

unsigned long Connections::serial(const void *client, const std::string &clientid) const noexcept {
    const Record *r = find(client);
    return r && r->live() && r->clientid == clientid ? r->serial : 0;
}

bool Connections::offline(const void *client, const std::string &clientid) const noexcept {
    const Record *r = find(client);
    return r && r->state == State::ended && r->persists && r->clientid == clientid;
}

void Connections::erase(const void *client) noexcept {
    const auto found = records_.find(client);
    if (found == records_.end()) return;
    Record &r = found->second;
    forget_expiry(r);
    if (!r.live()) {
        --ended_;
        if (r.persists)
            if (auto by_id = offline_by_id_.find(r.clientid); by_id != offline_by_id_.end() && by_id->second == client)
                offline_by_id_.erase(by_id);
    }
    records_.erase(found);
}
