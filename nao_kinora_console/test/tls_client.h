// A client made with OpenSSL and sockets directly, for what httplib hides:
// the connection's source address, the server's certificate, a handshake
// never finished, and the handshake's time.
#ifndef NAO_KINORA_CONSOLE_TEST_TLS_CLIENT_H
#define NAO_KINORA_CONSOLE_TEST_TLS_CLIENT_H

#include <openssl/ssl.h>

#include <string>

namespace console_test
{
// A TCP connection to host:port from the address from ("" for any); -1 (and a
// test failure) when it cannot be made.
int connectTo(const std::string& host, int port, const std::string& from = "");

// Whether the server has closed the connection; reads and drops what it sent before.
bool closedByServer(int fd);

// The SHA-256 fingerprint of a PEM certificate, "AB:CD:...", as the console prints it.
std::string pemFingerprint(const std::string& pem);

class TlsClient
{
public:
  TlsClient(const std::string& host, int port, const std::string& from = "");
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  bool handshake();                 // any certificate taken; false when the server closes first
  std::string fingerprint() const;  // of the certificate shown in the handshake
  bool send(const std::string& bytes);
  std::string exchange(const std::string& bytes);  // sent, then all that comes until the server closes
  int fd() const { return fd_; }

private:
  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
};
}  // namespace console_test

#endif  // NAO_KINORA_CONSOLE_TEST_TLS_CLIENT_H
