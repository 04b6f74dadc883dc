#include "tls_client.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace console_test
{
namespace
{
// A console that hangs fails the test rather than holding it: no answer the
// tests wait for takes a tenth of this.
const timeval kSocketTimeout{10, 0};

std::string hexDigest(X509* certificate)
{
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
    return "";
  char text[4];
  std::string out;
  for (unsigned int k = 0; k < length; ++k)
  {
    std::snprintf(text, sizeof text, k ? ":%02X" : "%02X", digest[k]);
    out += text;
  }
  return out;
}
}  // namespace

int connectTo(const std::string& host, int port, const std::string& from)
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &to.sin_addr);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &source.sin_addr);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kSocketTimeout, sizeof kSocketTimeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSocketTimeout, sizeof kSocketTimeout);
  if (fd < 0 || (!from.empty() && bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
  {
    ADD_FAILURE() << "cannot connect to " << host << ":" << port << " from " << from << ": " << strerror(errno);
    if (fd >= 0)
      close(fd);
    return -1;
  }
  return fd;
}

bool closedByServer(int fd)
{
  char buffer[4096];
  for (;;)
  {
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
      return true;
    if (n < 0)
      return false;
  }
}

std::string pemFingerprint(const std::string& pem)
{
  BIO* text = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* certificate = PEM_read_bio_X509(text, nullptr, nullptr, nullptr);
  const std::string fingerprint = hexDigest(certificate);
  X509_free(certificate);
  BIO_free(text);
  return fingerprint;
}

TlsClient::TlsClient(const std::string& host, int port, const std::string& from)
    : fd_(connectTo(host, port, from)), context_(SSL_CTX_new(TLS_client_method()))
{
  SSL_CTX_set_verify(context_, SSL_VERIFY_NONE, nullptr);
  ssl_ = SSL_new(context_);
  SSL_set_fd(ssl_, fd_);
}

TlsClient::~TlsClient()
{
  SSL_free(ssl_);
  SSL_CTX_free(context_);
  if (fd_ >= 0)
    close(fd_);
}

bool TlsClient::handshake()
{
  return fd_ >= 0 && SSL_connect(ssl_) == 1;
}

std::string TlsClient::fingerprint() const
{
  X509* certificate = SSL_get1_peer_certificate(ssl_);
  const std::string fingerprint = hexDigest(certificate);
  X509_free(certificate);
  return fingerprint;
}

bool TlsClient::send(const std::string& bytes)
{
  return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

std::string TlsClient::exchange(const std::string& bytes)
{
  std::string answer;
  char buffer[4096];
  for (int n = send(bytes) ? 1 : 0; n > 0 && (n = SSL_read(ssl_, buffer, sizeof buffer)) > 0;)
    answer.append(buffer, n);
  return answer;
}
}  // namespace console_test
