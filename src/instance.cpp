#include "instance.h"

#include <openssl/bio.h>
#include <openssl/x509.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

using Clock = Figures::Clock;

struct BioFree {
    void operator()(BIO *b) const noexcept { BIO_free(b); }
};
struct X509Free {
    void operator()(X509 *c) const noexcept { X509_free(c); }
};

// The client certificate's subject as RFC 2253 text; empty without one.
// Throws when it cannot be rendered.
std::string certificate_subject(const mosquitto *client) {
    std::unique_ptr<X509, X509Free> cert(static_cast<X509 *>(mosquitto_client_certificate(client)));
    if (!cert) return {};
    std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(cert.get()), 0, XN_FLAG_RFC2253) < 0)
        throw std::runtime_error("subject");
    char *text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    return std::string(text, static_cast<std::size_t>(length));
}

std::string text(const char *s) { return s ? s : ""; }

// The extra fields the settings name, with their values for one question.
// The names point into the settings, which outlive every check.
class ExtraFields {
public:
    // acl is null for a login. Throws when a value cannot be had.
    ExtraFields(const std::vector<std::string> &names, const mosquitto *client, const mosquitto_evt_acl_check *acl) {
        for (const auto &name : names) {
            if (count_ == values_.size()) break;  // the settings allow no more
            values_[count_] = value(name, client, acl);
            fields_[count_] = {name.c_str(), nullptr};
            ++count_;
        }
        for (std::size_t i = 0; i < count_; ++i) fields_[i].value = values_[i].c_str();
    }
    const Field *data() const noexcept { return count_ ? fields_.data() : nullptr; }
    std::size_t size() const noexcept { return count_; }

private:
    static std::string value(const std::string &name, const mosquitto *client, const mosquitto_evt_acl_check *acl) {
        if (name == "clientid") return text(mosquitto_client_id(client));
        if (name == "address") return text(mosquitto_client_address(client));
        if (name == "protocol_version") return std::to_string(mosquitto_client_protocol_version(client));
        if (name == "certificate_subject") return certificate_subject(client);
        if (acl && name == "qos") return std::to_string(acl->qos);
        if (acl && name == "retain") return acl->retain ? "true" : "false";
        throw std::invalid_argument(name);  // the settings let through no other name
    }

    std::array<std::string, 4> values_;
    std::array<Field, 4> fields_{};
    std::size_t count_ = 0;
};

// The version-5 access codes, as the endpoint reads them.
const char *access_word_v5(int access) noexcept {
    switch (access) {
    case MOSQ_ACL_READ: return "read";
    case MOSQ_ACL_WRITE: return "write";
    case MOSQ_ACL_SUBSCRIBE: return "subscribe";
    case MOSQ_ACL_UNSUBSCRIBE: return "unsubscribe";
    default: return "none";
    }
}

bool has_wildcard(const char *name) noexcept { return name && std::strpbrk(name, "+#"); }

Verdict refused() noexcept { return {}; }
Verdict granted() noexcept {
    Verdict v;
    v.granted = true;
    return v;
}

}  // namespace

CurlGlobal::CurlGlobal() {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("libcurl");
}
CurlGlobal::~CurlGlobal() { curl_global_cleanup(); }

Instance::Instance(Settings settings) : checker_(std::move(settings)) {
    const Settings &s = checker_.settings();
    if (s.http_stats_interval_s > 0)
        figures_ = std::make_unique<Figures>(std::chrono::seconds(s.http_stats_interval_s), s.http_stats_topic,
                                             Clock::now());
}

int Instance::login(const mosquitto_evt_basic_auth &event) noexcept {
    const auto start = figures_ ? Clock::now() : Clock::time_point();
    Verdict v;
    try {
        const ExtraFields extra(settings().http_login_fields, event.client, nullptr);
        v = checker_.login(event.username, event.password, extra.data(), extra.size());
    } catch (...) {
        v = refused();  // a value that could not be had refuses
    }
    if (figures_) figures_->login(v, Clock::now() - start);
    return v.granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_AUTH;
}

int Instance::access(const mosquitto_evt_acl_check &event) noexcept {
    const auto start = figures_ ? Clock::now() : Clock::time_point();
    const Verdict v = decide_access(event);
    if (figures_) figures_->access(v, Clock::now() - start);
    return v.granted ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ACL_DENIED;
}

Verdict Instance::decide_access(const mosquitto_evt_acl_check &event) noexcept {
    const Settings &s = settings();
    const char *clientid = mosquitto_client_id(event.client);
    const char *username = mosquitto_client_username(event.client);
    // The broker applies this rule for its older interfaces only: a name that
    // is a pattern must not reach an endpoint that may match on it.
    if (s.http_acl_uri && (has_wildcard(clientid) || has_wildcard(username))) return refused();
    const bool subscription = event.access == MOSQ_ACL_SUBSCRIBE || event.access == MOSQ_ACL_UNSUBSCRIBE;
    if (subscription && !s.http_check_subscribe) return granted();
    try {
        const ExtraFields extra(s.http_acl_fields, event.client, &event);
        return checker_.access(clientid, username, event.topic, access_word_v5(event.access), extra.data(),
                               extra.size());
    } catch (...) {
        return refused();
    }
}

void Instance::tick(mosquitto_evt_tick &event) noexcept {
    if (!figures_) return;
    const auto now = Clock::now();
    try {
        for (const auto &[topic, payload] : figures_->due(now))
            mosquitto_broker_publish_copy(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                          0, true, nullptr);
    } catch (...) {
        // no figures this time; the counts go on
    }
    // 2.1 calls again no sooner than this and bounds its wait by it (it reads
    // the field 2.0.11's header calls next_ns as milliseconds); 2.0.11 calls
    // about ten times a second whatever it says.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(figures_->until_due(now)).count();
    event.next_s = static_cast<time_t>(ms / 1000);
    event.next_ns = static_cast<long>(ms % 1000);
}
