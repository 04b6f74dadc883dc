// The console's own certificate, made at its first start off loopback and
// kept beside the database: no certificate authority and no openssl program
// needed; a therapist pairs a tablet with it by its fingerprint.
#include "nao_kinora_console/http/tls_certificate.h"

#include "nao_kinora_console/http/request_rules.h"
#include "nao_kinora_console/records/clinic_store.h"
#include "openssl_handles.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace nao_kinora_console
{
namespace
{
// Tablets (iPadOS among them) refuse server certificates valid for longer
// than 825 days; one is made again when it runs out.
const long kValidDays = 825;
// A tablet whose clock is a little behind still takes a new certificate.
const long kBackdate = 24 * 3600;

void check(bool done, const char* step)
{
  if (!done)
  {
    ERR_clear_error();
    throw std::runtime_error(std::string("OpenSSL cannot ") + step);
  }
}

bool isAddress(const std::string& name)
{
  unsigned char bytes[sizeof(in6_addr)];
  return inet_pton(AF_INET, name.c_str(), bytes) == 1 || inet_pton(AF_INET6, name.c_str(), bytes) == 1;
}

bool isHostName(const std::string& name)
{
  return !name.empty() &&
         std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'; });
}

void addExtension(X509* certificate, int nid, const std::string& value)
{
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  check(extension && X509_add_ext(certificate, extension.get(), -1) == 1, "add a certificate extension");
}

std::string pemOf(const std::function<int(BIO*)>& write)
{
  Bio out(BIO_new(BIO_s_mem()));
  check(out && write(out.get()) == 1, "write PEM");
  char* data = nullptr;
  const long length = BIO_get_mem_data(out.get(), &data);
  return std::string(data, length);
}

// Written whole under a temporary name, then renamed: a start cut short
// leaves no half file.
std::string writeFile(const std::string& path, const std::string& text, mode_t mode)
{
  const std::string temporary = path + ".new";
  unlink(temporary.c_str());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0)
    return std::strerror(errno);
  std::size_t done = 0;
  while (done < text.size())
  {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0)
      break;
    done += n;
  }
  const bool written = done == text.size() && fsync(fd) == 0;
  std::string why = written ? "" : std::strerror(errno);
  close(fd);
  if (why.empty() && rename(temporary.c_str(), path.c_str()) != 0)
    why = std::strerror(errno);
  if (!why.empty())
    unlink(temporary.c_str());
  return why;
}

std::string makeFolder(const std::string& folder)
{
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1))
  {
    const std::string part = folder.substr(0, slash);
    struct stat info;
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      return std::strerror(errno);
    if (stat(part.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      return std::strerror(ENOTDIR);
    if (slash == std::string::npos)
      return "";
  }
}

bool exists(const std::string& path)
{
  return access(path.c_str(), F_OK) == 0;
}
}  // namespace

ServerCertificate makeCertificate(const std::vector<std::string>& names, std::time_t from, std::time_t until)
{
  PrivateKey key(EVP_EC_gen("P-256"));
  check(key != nullptr, "make a P-256 key");
  Certificate certificate(X509_new());
  check(certificate && X509_set_version(certificate.get(), 2) == 1, "make a certificate");
  // A random serial: a browser that kept an earlier one sees a new certificate.
  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof serial) == 1, "draw a serial number");
  serial[0] &= 0x7f;
  BigNumber number(BN_bin2bn(serial, sizeof serial, nullptr));
  check(number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())), "set the serial number");
  check(ASN1_TIME_set(X509_getm_notBefore(certificate.get()), from) &&
            ASN1_TIME_set(X509_getm_notAfter(certificate.get()), until),
        "set the dates");
  check(X509_set_pubkey(certificate.get(), key.get()) == 1, "set the public key");
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  const std::string common = ("nao_kinora console " + (names.empty() ? std::string() : names.front())).substr(0, 64);
  check(X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("nao_kinora"),
                                   -1, -1, 0) == 1 &&
            X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(common.c_str()), -1, -1, 0) == 1 &&
            X509_set_issuer_name(certificate.get(), subject) == 1,
        "name the certificate");
  std::string alternatives;
  for (const std::string& name : names)
    if (isAddress(name) || isHostName(name))
      alternatives += (alternatives.empty() ? "" : ",") + std::string(isAddress(name) ? "IP:" : "DNS:") + name;
  addExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature");
  addExtension(certificate.get(), NID_ext_key_usage, "serverAuth");
  addExtension(certificate.get(), NID_subject_key_identifier, "hash");
  if (!alternatives.empty())
    addExtension(certificate.get(), NID_subject_alt_name, alternatives);
  check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "sign the certificate");

  ServerCertificate made;
  made.certificatePem = pemOf([&](BIO* out) { return PEM_write_bio_X509(out, certificate.get()); });
  made.keyPem =
      pemOf([&](BIO* out) { return PEM_write_bio_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr); });
  return made;
}

CertificateOutcome keptCertificate(const std::string& folder, const std::vector<std::string>& names)
{
  CertificateFiles files{folder + "/console-certificate.pem", folder + "/console-key.pem", "the console's certificate",
                         "the console's key"};
  std::string note;
  if (exists(files.certificate) && exists(files.key))
  {
    CertificateOutcome kept = readCertificate(files);
    if (kept.fault != CertificateFault::kExpired)
      return kept;
    note = kept.message + ": a new one is made, with a new fingerprint to pair the tablets with";
  }
  else if (exists(files.certificate) || exists(files.key))
    note = "only one of [" + files.certificate + "] and [" + files.key +
           "] is there: a new certificate is made, with a new fingerprint to pair the tablets with";

  CertificateOutcome outcome;
  std::string why;
  try
  {
    const std::time_t now = std::time(nullptr);
    const ServerCertificate made = makeCertificate(names, now - kBackdate, now + kValidDays * 24 * 3600);
    why = makeFolder(folder);
    // The key first: a certificate is never there without its key.
    if (why.empty())
      why = writeFile(files.key, made.keyPem, 0600);
    if (why.empty())
      why = writeFile(files.certificate, made.certificatePem, 0644);
  }
  catch (const std::runtime_error& error)
  {
    why = error.what();
  }
  if (!why.empty())
  {
    outcome.fault = CertificateFault::kCannotKeep;
    outcome.message = "cannot keep the console's certificate in [" + folder + "]: " + why;
    return outcome;
  }
  outcome = readCertificate(files);
  outcome.note = note;
  return outcome;
}

std::string certificateFolder(const std::string& database)
{
  // A database that is not a file (a server's address) keeps nothing beside it.
  const std::string file =
      database.empty() || database.find("://") != std::string::npos ? defaultDatabasePath() : database;
  const std::size_t slash = file.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}

std::vector<std::string> certificateNames(const std::string& bind)
{
  std::vector<std::string> names;
  if (bind != "0.0.0.0" && bind != "::")
    names.push_back(bind);
  else
  {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) == 0)
    {
      for (const ifaddrs* at = interfaces; at; at = at->ifa_next)
      {
        char text[INET6_ADDRSTRLEN] = "";
        if (at->ifa_addr && at->ifa_addr->sa_family == AF_INET)
          inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(at->ifa_addr)->sin_addr, text, sizeof text);
        // A link-local IPv6 address needs its interface named: no use in a URL.
        else if (at->ifa_addr && at->ifa_addr->sa_family == AF_INET6 &&
                 !IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6*>(at->ifa_addr)->sin6_addr))
          inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(at->ifa_addr)->sin6_addr, text, sizeof text);
        if (*text && !isLoopbackAddress(text) && std::find(names.begin(), names.end(), text) == names.end())
          names.push_back(text);
      }
      freeifaddrs(interfaces);
    }
  }
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) == 0 && isHostName(host) && std::string(host) != bind)
  {
    names.push_back(host);
    if (std::string(host).find('.') == std::string::npos)
      names.push_back(std::string(host) + ".local");
  }
  return names;
}

CertificateOutcome consoleCertificate(const std::string& certificate, const std::string& key,
                                      const std::string& database, const std::string& bind)
{
  if (certificate.empty() != key.empty())
  {
    CertificateOutcome outcome;
    outcome.fault = CertificateFault::kIncomplete;
    outcome.message = certificate.empty() ? "~tls_key [" + key + "] is given without ~tls_certificate"
                                          : "~tls_certificate [" + certificate + "] is given without ~tls_key";
    return outcome;
  }
  if (!certificate.empty())
    return readCertificate(CertificateFiles{certificate, key});
  return keptCertificate(certificateFolder(database), certificateNames(bind));
}
}  // namespace nao_kinora_console
