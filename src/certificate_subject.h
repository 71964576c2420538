// A certificate's subject as the endpoint reads it: RFC 2253 text.
#pragma once

#include <openssl/x509.h>

#include <string>

// Throws std::runtime_error when it cannot be rendered.
std::string subject_text(X509 *cert);
// The subject of the first certificate in a PEM file; throws
// std::runtime_error naming what went wrong.
std::string subject_of_pem_file(const std::string &path);
