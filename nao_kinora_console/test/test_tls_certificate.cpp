// The console's certificate on files in a temporary folder: given files
// taken or refused (one line naming the parameter and the file, a typed
// fault), and the one made at first start: where, its mode, its names, kept
// across starts, made again when it has expired.
#include "test_util.h"
#include "tls_client.h"

#include "nao_kinora_console/http/tls_certificate.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace nao_kinora_console;
using console_test::pemFingerprint;
using kinora_test::readFile;

namespace
{
const std::time_t kNow = std::time(nullptr);
const std::time_t kDay = 24 * 3600;

// cert.pem and key.pem of a new certificate valid from `from` to `until` days from now.
void writePair(const kinora_test::TempDir& dir, const std::string& name, long from, long until)
{
  const ServerCertificate made = makeCertificate({"10.0.0.5"}, kNow + from * kDay, kNow + until * kDay);
  dir.write(name + ".pem", made.certificatePem);
  dir.write(name + ".key", made.keyPem);
}

// The certificate in a PEM text.
X509* certificateOf(const std::string& pem)
{
  BIO* text = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* certificate = PEM_read_bio_X509(text, nullptr, nullptr, nullptr);
  BIO_free(text);
  return certificate;
}

struct GivenCase
{
  const char* certificate;
  const char* key;
  CertificateFault fault;
  std::string message;  // with DIR/ for the folder
};
}  // namespace

TEST(TlsCertificate, GivenFilesTakenOrRefusedInOneLine)
{
  kinora_test::TempDir dir;
  writePair(dir, "good", -1, 365);
  writePair(dir, "other", -1, 365);
  writePair(dir, "expired", -800, -1);
  writePair(dir, "future", 2, 365);
  dir.write("garbage.pem", "not a certificate\n");
  const GivenCase cases[] = {
      {"good.pem", "good.key", CertificateFault::kNone, ""},
      {"missing.pem", "good.key", CertificateFault::kUnreadable,
       "~tls_certificate [DIR/missing.pem] cannot be read: No such file or directory"},
      {"good.pem", "missing.key", CertificateFault::kUnreadable,
       "~tls_key [DIR/missing.key] cannot be read: No such file or directory"},
      {"garbage.pem", "good.key", CertificateFault::kNotPem,
       "~tls_certificate [DIR/garbage.pem] holds no PEM certificate"},
      {"good.pem", "garbage.pem", CertificateFault::kNotPem,
       "~tls_key [DIR/garbage.pem] holds no PEM private key without a passphrase"},
      {"good.pem", "other.key", CertificateFault::kKeyMismatch,
       "~tls_key [DIR/other.key] is not the key of ~tls_certificate [DIR/good.pem]"},
      {"expired.pem", "expired.key", CertificateFault::kExpired, "~tls_certificate [DIR/expired.pem] expired on 20"},
      {"future.pem", "future.key", CertificateFault::kNotYetValid,
       "~tls_certificate [DIR/future.pem] is not valid before 20"},
      {"good.pem", "", CertificateFault::kIncomplete, "~tls_certificate [DIR/good.pem] is given without ~tls_key"},
      {"", "good.key", CertificateFault::kIncomplete, "~tls_key [DIR/good.key] is given without ~tls_certificate"},
  };
  for (const GivenCase& c : cases)
  {
    const std::string at = std::string(c.certificate) + " " + c.key;
    const auto path = [&](const char* name) { return *name ? dir.path() + name : std::string(); };
    const CertificateOutcome outcome = consoleCertificate(path(c.certificate), path(c.key), "", "10.0.0.5");
    EXPECT_EQ(static_cast<int>(c.fault), static_cast<int>(outcome.fault)) << at;
    std::string message = c.message;
    for (std::size_t k; (k = message.find("DIR/")) != std::string::npos;)
      message.replace(k, 4, dir.path());
    EXPECT_EQ(0u, outcome.message.find(message)) << at << ": " << outcome.message;
    EXPECT_EQ(std::string::npos, outcome.message.find('\n')) << at;
    EXPECT_EQ(outcome.ok(), outcome.certificate.context != nullptr) << at;
  }
  const CertificateOutcome good = consoleCertificate(dir.path() + "good.pem", dir.path() + "good.key", "", "");
  EXPECT_EQ(pemFingerprint(readFile(dir.path() + "good.pem")), good.certificate.fingerprint);
  EXPECT_EQ(95u, good.certificate.fingerprint.size());  // 32 bytes, as AB:CD:...
}

TEST(TlsCertificate, MadeOnceKeptAndMadeAgainWhenExpired)
{
  kinora_test::TempDir dir;
  const std::string folder = dir.path() + "clinic/room";  // made, as the database's folder would be
  const std::string certificatePath = folder + "/console-certificate.pem", keyPath = folder + "/console-key.pem";
  EXPECT_EQ(folder, certificateFolder(folder + "/clinic.db"));

  const CertificateOutcome first = keptCertificate(folder, {"10.0.0.5", "robot-room"});
  ASSERT_TRUE(first.ok()) << first.message;
  EXPECT_EQ("", first.note);
  struct stat info;
  ASSERT_EQ(0, stat(keyPath.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  EXPECT_EQ(pemFingerprint(readFile(certificatePath)), first.certificate.fingerprint);
  X509* made = certificateOf(readFile(certificatePath));
  EXPECT_EQ(1, X509_check_ip_asc(made, "10.0.0.5", 0));
  EXPECT_EQ(1, X509_check_host(made, "robot-room", 0, 0, nullptr));
  EXPECT_EQ(0, X509_check_ip_asc(made, "10.0.0.6", 0));
  X509_free(made);

  // Kept: the same files and fingerprint at the next start.
  const std::string key = readFile(keyPath);
  const CertificateOutcome again = keptCertificate(folder, {"10.0.0.6"});
  ASSERT_TRUE(again.ok()) << again.message;
  EXPECT_EQ(first.certificate.fingerprint, again.certificate.fingerprint);
  EXPECT_EQ(key, readFile(keyPath));
  EXPECT_EQ("", again.note);

  // Expired: made again, and said so.
  writePair(dir, "expired", -800, -1);
  ASSERT_EQ(0, rename((dir.path() + "expired.pem").c_str(), certificatePath.c_str()));
  ASSERT_EQ(0, rename((dir.path() + "expired.key").c_str(), keyPath.c_str()));
  const CertificateOutcome renewed = keptCertificate(folder, {"10.0.0.5"});
  ASSERT_TRUE(renewed.ok()) << renewed.message;
  EXPECT_EQ(0u, renewed.note.find("the console's certificate [" + certificatePath + "] expired on ")) << renewed.note;
  EXPECT_EQ(pemFingerprint(readFile(certificatePath)), renewed.certificate.fingerprint);
  EXPECT_NE(first.certificate.fingerprint, renewed.certificate.fingerprint);

  // A damaged certificate is refused, and left for someone to look at.
  dir.write("clinic/room/console-certificate.pem", "damaged\n");
  const CertificateOutcome damaged = keptCertificate(folder, {"10.0.0.5"});
  EXPECT_EQ(static_cast<int>(CertificateFault::kNotPem), static_cast<int>(damaged.fault));
  EXPECT_EQ("the console's certificate [" + certificatePath + "] holds no PEM certificate", damaged.message);
  EXPECT_EQ("damaged\n", readFile(certificatePath));

  // A folder that cannot be made.
  const CertificateOutcome nowhere = keptCertificate(certificatePath + "/sub", {"10.0.0.5"});
  EXPECT_EQ(static_cast<int>(CertificateFault::kCannotKeep), static_cast<int>(nowhere.fault));
  EXPECT_EQ("cannot keep the console's certificate in [" + certificatePath + "/sub]: Not a directory", nowhere.message);
}

TEST(TlsCertificate, FolderAndNames)
{
  setenv("ROS_HOME", "/var/kinora", 1);
  EXPECT_EQ("/var/kinora/nao_kinora", certificateFolder(""));
  EXPECT_EQ("/var/kinora/nao_kinora", certificateFolder("postgresql://kinora@db:5432/clinic"));
  EXPECT_EQ("/data", certificateFolder("/data/clinic.db"));
  EXPECT_EQ(".", certificateFolder("clinic.db"));

  char host[256] = "";
  gethostname(host, sizeof host - 1);
  const std::vector<std::string> one = certificateNames("10.0.0.5");
  ASSERT_GE(one.size(), 2u);
  EXPECT_EQ("10.0.0.5", one[0]);
  EXPECT_EQ(host, one[1]);
  for (const std::string& name : certificateNames("0.0.0.0"))
    EXPECT_TRUE(name != "0.0.0.0" && name.compare(0, 4, "127.") != 0 && name != "::1") << name;
}
