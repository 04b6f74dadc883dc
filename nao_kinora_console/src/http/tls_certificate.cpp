// Reading and checking the console's certificate with OpenSSL's C API, and
// the server context made from it.
#include "nao_kinora_console/http/tls_certificate.h"

#include "openssl_handles.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nao_kinora_console
{
namespace
{
bool readFile(const std::string& path, std::string& text, std::string& why)
{
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file)
  {
    why = std::strerror(errno);
    return false;
  }
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    text.append(chunk, n);
  const bool failed = std::ferror(file);
  if (failed)
    why = std::strerror(errno);
  std::fclose(file);
  return !failed;
}

// A key with a passphrase is refused rather than asked for on the terminal.
int noPassphrase(char*, int, int, void*)
{
  return -1;
}

std::string fingerprintOf(X509* certificate)
{
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  X509_digest(certificate, EVP_sha256(), digest, &length);
  static const char* const kHex = "0123456789ABCDEF";
  std::string text;
  for (unsigned int k = 0; k < length; ++k)
  {
    if (k)
      text += ':';
    text += kHex[digest[k] >> 4];
    text += kHex[digest[k] & 15];
  }
  return text;
}

std::string dateOf(const ASN1_TIME* time)
{
  std::tm parts{};
  char text[32] = "an unreadable date";
  if (ASN1_TIME_to_tm(time, &parts) == 1)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

CertificateOutcome refused(CertificateFault fault, const std::string& message)
{
  CertificateOutcome outcome;
  outcome.fault = fault;
  outcome.message = message;
  ERR_clear_error();  // what OpenSSL noted is said in the message
  return outcome;
}

// The server side of TLS 1.2 and 1.3 with the given files; "" or the reason
// its certificate chain or key is not taken.
std::string makeContext(ServerCertificate& certificate)
{
  namespace ssl = boost::asio::ssl;
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                       ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
  boost::system::error_code error;
  context->use_certificate_chain(boost::asio::buffer(certificate.certificatePem), error);
  if (error)
    return "its chain is not taken: " + error.message();
  context->use_private_key(boost::asio::buffer(certificate.keyPem), ssl::context::pem, error);
  if (error)
    return "its key is not taken: " + error.message();
  certificate.context = context;
  return "";
}
}  // namespace

CertificateOutcome readCertificate(const CertificateFiles& files)
{
  const std::string certificateAt = files.certificateName + " [" + files.certificate + "]";
  const std::string keyAt = files.keyName + " [" + files.key + "]";
  CertificateOutcome outcome;
  ServerCertificate& read = outcome.certificate;
  std::string why;
  if (!readFile(files.certificate, read.certificatePem, why))
    return refused(CertificateFault::kUnreadable, certificateAt + " cannot be read: " + why);
  if (!readFile(files.key, read.keyPem, why))
    return refused(CertificateFault::kUnreadable, keyAt + " cannot be read: " + why);

  Bio certificateText(BIO_new_mem_buf(read.certificatePem.data(), static_cast<int>(read.certificatePem.size())));
  Certificate certificate(PEM_read_bio_X509(certificateText.get(), nullptr, noPassphrase, nullptr));
  if (!certificate)
    return refused(CertificateFault::kNotPem, certificateAt + " holds no PEM certificate");
  Bio keyText(BIO_new_mem_buf(read.keyPem.data(), static_cast<int>(read.keyPem.size())));
  PrivateKey key(PEM_read_bio_PrivateKey(keyText.get(), nullptr, noPassphrase, nullptr));
  if (!key)
    return refused(CertificateFault::kNotPem, keyAt + " holds no PEM private key without a passphrase");
  if (X509_check_private_key(certificate.get(), key.get()) != 1)
    return refused(CertificateFault::kKeyMismatch, keyAt + " is not the key of " + certificateAt);
  if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0)
    return refused(CertificateFault::kExpired,
                   certificateAt + " expired on " + dateOf(X509_get0_notAfter(certificate.get())));
  if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) >= 0)
    return refused(CertificateFault::kNotYetValid,
                   certificateAt + " is not valid before " + dateOf(X509_get0_notBefore(certificate.get())));
  read.fingerprint = fingerprintOf(certificate.get());
  why = makeContext(read);
  if (!why.empty())
    return refused(CertificateFault::kNotPem, certificateAt + ": " + why);
  return outcome;
}
}  // namespace nao_kinora_console
