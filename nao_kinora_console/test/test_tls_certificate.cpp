// The console's certificate on files in a temporary folder: given files
// taken or refused (a typed fault, one line naming the parameter and the
// file), and the one made at first start: its mode and names, kept across
// starts, made again once expired, refused when damaged.
#include "test_util.h"
#include "tls_client.h"

#include "nao_kinora_console/http/tls_certificate.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

using namespace nao_kinora_console;
using console_test::pemFingerprint;
using kinora_test::readFile;
using Fault = CertificateFault;

namespace
{
// NAME.pem and NAME.key of a certificate valid from `from` to `until` days from now.
void writePair(const kinora_test::TempDir& dir, const std::string& name, long from, long until)
{
  const std::time_t now = std::time(nullptr), day = 24 * 3600;
  const ServerCertificate made = makeCertificate({"10.0.0.5", "robot-room"}, now + from * day, now + until * day);
  dir.write(name + ".pem", made.certificatePem);
  dir.write(name + ".key", made.keyPem);
}
}  // namespace

TEST(TlsCertificate, GivenFilesTakenOrRefusedInOneLine)
{
  kinora_test::TempDir dir;
  for (const auto& pair : {std::make_tuple("good", -1, 365), std::make_tuple("other", -1, 365),
                           std::make_tuple("expired", -800, -1), std::make_tuple("future", 2, 365)})
    writePair(dir, std::get<0>(pair), std::get<1>(pair), std::get<2>(pair));
  dir.write("garbage.pem", "not a certificate\n");
  const struct
  {
    const char *certificate, *key;
    Fault fault;
    std::string message;  // D/ for the folder
  } cases[] = {
      {"good.pem", "good.key", Fault::kNone, ""},
      {"missing.pem", "good.key", Fault::kUnreadable, "~tls_certificate [D/missing.pem] cannot be read: No such file"},
      {"good.pem", "missing.key", Fault::kUnreadable, "~tls_key [D/missing.key] cannot be read: No such file"},
      {"garbage.pem", "good.key", Fault::kNotPem, "~tls_certificate [D/garbage.pem] holds no PEM certificate"},
      {"good.pem", "garbage.pem", Fault::kNotPem, "~tls_key [D/garbage.pem] holds no PEM private key without a"},
      {"good.pem", "other.key", Fault::kKeyMismatch, "~tls_key [D/other.key] is not the key of ~tls_certificate [D/"},
      {"expired.pem", "expired.key", Fault::kExpired, "~tls_certificate [D/expired.pem] expired on 20"},
      {"future.pem", "future.key", Fault::kNotYetValid, "~tls_certificate [D/future.pem] is not valid before 20"},
      {"good.pem", "", Fault::kIncomplete, "~tls_certificate [D/good.pem] is given without ~tls_key"},
      {"", "good.key", Fault::kIncomplete, "~tls_key [D/good.key] is given without ~tls_certificate"},
  };
  const auto path = [&](const char* name) { return *name ? dir.path() + name : std::string(); };
  for (const auto& c : cases)
  {
    const CertificateOutcome outcome = consoleCertificate(path(c.certificate), path(c.key), "", "10.0.0.5");
    EXPECT_EQ(static_cast<int>(c.fault), static_cast<int>(outcome.fault)) << c.certificate << " " << c.key;
    std::string message = c.message;
    for (std::size_t k; (k = message.find("D/")) != std::string::npos;)
      message.replace(k, 2, dir.path());
    EXPECT_EQ(0u, outcome.message.find(message)) << outcome.message;
    EXPECT_EQ(std::string::npos, outcome.message.find('\n')) << outcome.message;
    EXPECT_EQ(outcome.ok(), outcome.certificate.context != nullptr) << outcome.message;
  }
  EXPECT_EQ(pemFingerprint(readFile(path("good.pem"))),
            consoleCertificate(path("good.pem"), path("good.key"), "", "").certificate.fingerprint);
}

TEST(TlsCertificate, MadeOnceKeptAndMadeAgainWhenExpired)
{
  kinora_test::TempDir dir;
  const std::string folder = dir.path() + "clinic/room";  // made, as the database's folder would be
  const std::string certificatePath = folder + "/console-certificate.pem", keyPath = folder + "/console-key.pem";
  EXPECT_EQ(folder, certificateFolder(folder + "/clinic.db"));
  setenv("ROS_HOME", "/var/kinora", 1);
  EXPECT_EQ("/var/kinora/nao_kinora", certificateFolder(""));  // the default database's
  EXPECT_EQ("10.0.0.5", certificateNames("10.0.0.5").front());

  const CertificateOutcome first = keptCertificate(folder, {"10.0.0.5", "robot-room"});
  ASSERT_TRUE(first.ok() && first.note.empty()) << first.message << first.note;
  struct stat info;
  ASSERT_EQ(0, stat(keyPath.c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  EXPECT_EQ(pemFingerprint(readFile(certificatePath)), first.certificate.fingerprint);
  const std::string pem = readFile(certificatePath);
  BIO* text = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* made = PEM_read_bio_X509(text, nullptr, nullptr, nullptr);
  EXPECT_EQ(1, X509_check_ip_asc(made, "10.0.0.5", 0));
  EXPECT_EQ(1, X509_check_host(made, "robot-room", 0, 0, nullptr));
  EXPECT_EQ(0, X509_check_ip_asc(made, "10.0.0.6", 0));
  X509_free(made);
  BIO_free(text);

  // Kept, whatever names a later start has (and, in test_console_tls, served again).
  const CertificateOutcome again = keptCertificate(folder, {"10.0.0.6"});
  EXPECT_TRUE(again.ok() && again.note.empty() && pem == readFile(certificatePath)) << again.message << again.note;

  // Expired: made again, and said so.
  writePair(dir, "expired", -800, -1);
  ASSERT_EQ(0, rename((dir.path() + "expired.pem").c_str(), certificatePath.c_str()));
  ASSERT_EQ(0, rename((dir.path() + "expired.key").c_str(), keyPath.c_str()));
  const CertificateOutcome renewed = keptCertificate(folder, {"10.0.0.5"});
  ASSERT_TRUE(renewed.ok()) << renewed.message;
  EXPECT_EQ(0u, renewed.note.find("the console's certificate [" + certificatePath + "] expired on ")) << renewed.note;
  EXPECT_EQ(pemFingerprint(readFile(certificatePath)), renewed.certificate.fingerprint);
  EXPECT_NE(first.certificate.fingerprint, renewed.certificate.fingerprint);

  // Damaged: refused, and left for someone to look at.
  dir.write("clinic/room/console-certificate.pem", "damaged\n");
  const CertificateOutcome damaged = keptCertificate(folder, {"10.0.0.5"});
  EXPECT_EQ(static_cast<int>(Fault::kNotPem), static_cast<int>(damaged.fault));
  EXPECT_EQ("the console's certificate [" + certificatePath + "] holds no PEM certificate", damaged.message);
  EXPECT_EQ("damaged\n", readFile(certificatePath));

  const CertificateOutcome nowhere = keptCertificate(certificatePath + "/sub", {"10.0.0.5"});
  EXPECT_EQ(static_cast<int>(Fault::kCannotKeep), static_cast<int>(nowhere.fault));
  EXPECT_EQ("cannot keep the console's certificate in [" + certificatePath + "/sub]: Not a directory", nowhere.message);
}
