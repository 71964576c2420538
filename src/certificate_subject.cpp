#include "certificate_subject.h"

#include <openssl/bio.h>
#include <openssl/pem.h>

#include <memory>
#include <stdexcept>

namespace {

struct BioFree {
    void operator()(BIO *b) const noexcept { BIO_free(b); }
};
struct X509Free {
    void operator()(X509 *c) const noexcept { X509_free(c); }
};

}  // namespace

std::string subject_text(X509 *cert) {
    std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253) < 0)
        throw std::runtime_error("the certificate's subject cannot be rendered");
    char *text = nullptr;
    const long length = BIO_get_mem_data(out.get(), &text);
    return std::string(text, static_cast<std::size_t>(length));
}

std::string subject_of_pem_file(const std::string &path) {
    std::unique_ptr<BIO, BioFree> in(BIO_new_file(path.c_str(), "r"));
    if (!in) throw std::runtime_error("cannot read " + path);
    std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr));
    if (!cert) throw std::runtime_error(path + " holds no PEM certificate");
    return subject_text(cert.get());
}
