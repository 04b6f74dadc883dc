// The console's TLS certificate: given as PEM files, or made once beside the
// database and kept there; checked whole before the console serves with it,
// and named by its SHA-256 fingerprint, which a therapist compares to pair a
// tablet with this console.
#ifndef NAO_KINORA_CONSOLE_TLS_CERTIFICATE_H
#define NAO_KINORA_CONSOLE_TLS_CERTIFICATE_H

#include <boost/asio/ssl/context.hpp>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace nao_kinora_console
{
struct ServerCertificate
{
  std::string certificatePem;  // the certificate, then any chain that came with it
  std::string keyPem;
  std::string fingerprint;                             // SHA-256 of the certificate, "AB:CD:..." as browsers show it
  std::shared_ptr<boost::asio::ssl::context> context;  // serves with both
};

enum class CertificateFault
{
  kNone,
  kIncomplete,   // one of the two files named without the other
  kUnreadable,   // a file that cannot be read
  kNotPem,       // no certificate, or no private key without a passphrase, in it
  kKeyMismatch,  // the key is not the certificate's
  kExpired,
  kNotYetValid,
  kCannotKeep,  // a made certificate cannot be written
};

struct CertificateOutcome
{
  CertificateFault fault = CertificateFault::kNone;
  std::string message;  // the fault in one line, naming the parameter and the file
  std::string note;     // for a warning: why a kept certificate was replaced
  ServerCertificate certificate;
  bool ok() const { return fault == CertificateFault::kNone; }
};

// The two PEM files and how the messages call them.
struct CertificateFiles
{
  std::string certificate;
  std::string key;
  std::string certificateName = "~tls_certificate";
  std::string keyName = "~tls_key";
};

// Reads the certificate and its key, refused when either is unreadable, the
// key is not the certificate's, or the certificate is out of its dates.
CertificateOutcome readCertificate(const CertificateFiles& files);

// A new self-signed certificate (EC P-256 key) for names (IP addresses and
// DNS names, its subjectAltName), valid from one time to another.
ServerCertificate makeCertificate(const std::vector<std::string>& names, std::time_t from, std::time_t until);

// The certificate kept in folder (console-certificate.pem, console-key.pem
// with mode 0600): read when it is there, made for names and written when it
// is not, and made again, with a note, when it has expired.
CertificateOutcome keptCertificate(const std::string& folder, const std::vector<std::string>& names);

// The console's certificate for its parameters: the given files when named,
// else the one kept beside the database.
CertificateOutcome consoleCertificate(const std::string& certificate, const std::string& key,
                                      const std::string& database, const std::string& bind);

// Where a made certificate is kept: the folder of the database file, or of
// the default database when there is no database file.
std::string certificateFolder(const std::string& database);

// The names a made certificate carries for a console bound to address: the
// address itself (every address of this machine but loopback ones for a
// wildcard), and the host name with and without ".local".
std::vector<std::string> certificateNames(const std::string& bind);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_TLS_CERTIFICATE_H
