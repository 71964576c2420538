#include "broker_client.h"

#include <memory>

#include "certificate_subject.h"

std::string BrokerClient::certificate_subject() const {
    // The broker hands over a reference of its own to free.
    const std::unique_ptr<X509, void (*)(X509 *)> cert(static_cast<X509 *>(mosquitto_client_certificate(client_)),
                                                       X509_free);
    return cert ? subject_text(cert.get()) : std::string();
}
