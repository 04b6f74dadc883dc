// OpenSSL's objects held by owners that free them, so that no early return
// leaks one.
#ifndef NAO_KINORA_CONSOLE_OPENSSL_HANDLES_H
#define NAO_KINORA_CONSOLE_OPENSSL_HANDLES_H

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace nao_kinora_console
{
template <class T, void (*Free)(T*)>
struct OpenSslFree
{
  void operator()(T* object) const { Free(object); }
};

using Bio = std::unique_ptr<BIO, OpenSslFree<BIO, BIO_free_all>>;
using Certificate = std::unique_ptr<X509, OpenSslFree<X509, X509_free>>;
using PrivateKey = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY, EVP_PKEY_free>>;
using BigNumber = std::unique_ptr<BIGNUM, OpenSslFree<BIGNUM, BN_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, OpenSslFree<X509_EXTENSION, X509_EXTENSION_free>>;
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_OPENSSL_HANDLES_H
