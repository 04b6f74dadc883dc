// The console where other machines can reach it, bound to an address of a
// veth pair in a network namespace each test process makes for itself (in
// main): it speaks TLS with the certificate whose fingerprint it printed,
// refuses plain HTTP, closes handshakes never finished at the header time
// while it serves another machine, and serves the same certificate after a
// restart; a given certificate is served, or refused in one line.
#include "console_fixture.h"
#include "test_util.h"
#include "tls_client.h"

#include "nao_kinora_console/http/tls_certificate.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sched.h>
#include <unistd.h>

#include <algorithm>

using console_test::closedByServer;
using console_test::connectTo;
using console_test::Console;
using console_test::FakeCoach;
using console_test::pemFingerprint;
using console_test::request;
using console_test::TlsClient;
using console_test::waitWall;
using kinora_test::readFile;
using nlohmann::json;

namespace
{
const char* const kToken = "s3cret-token_1";
const char* const kAddress = "10.233.0.1";  // the console's end of the veth pair
const char* const kOther = "10.233.0.2";    // another machine, as far as the console can tell
const double kExitSeconds = 10.0;
// The console's limits (docs/console-server.md).
const double kHeaderSeconds = 5.0;
const int kPerAddress = 32;
const int kHandshakes = 20;                                                           // timed, for the figure
const std::string kPartialHello("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11);  // "512 bytes follow"

std::string namespaceFault = "not set up";  // "" once main has made the namespace

#define NEEDS_NAMESPACE()      \
  if (!namespaceFault.empty()) \
  GTEST_SKIP() << "no network namespace of its own: " << namespaceFault

const std::vector<std::string> kParams{std::string("_bind:=") + kAddress, std::string("_token:=") + kToken};
const httplib::Headers kWithToken{{"X-Console-Token", kToken}};

std::string keptFolder()
{
  return std::string(std::getenv("ROS_HOME")) + "/nao_kinora";
}

// Bytes sent in plain on a new connection: the console's answer (its head,
// and the body its length announces), and whether the console then closed it.
std::string plainExchange(int port, const std::string& bytes, bool& closed)
{
  const int fd = connectTo(kAddress, port, kOther);
  std::string answer;
  char buffer[4096];
  ssize_t n = -1;
  if (fd >= 0 && send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()))
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
    {
      answer.append(buffer, n);
      const std::size_t head = answer.find("\r\n\r\n");
      const std::size_t length = answer.find("Content-Length: ");
      if (head != std::string::npos &&
          (length > head || answer.size() >= head + 4 + std::stoul(answer.substr(length + 16))))
        break;
    }
  closed = n == 0 || (n > 0 && recv(fd, buffer, sizeof buffer, 0) == 0);
  if (fd >= 0)
    close(fd);
  return answer;
}
}  // namespace

TEST(ConsoleTls, HandshakeFingerprintPlainRefusedStallsAndRestart)
{
  NEEDS_NAMESPACE();
  kinora_test::Harness harness(false);
  FakeCoach coach;
  std::string fingerprint;
  {
    Console console(kParams);
    ASSERT_GT(console.port, 0);
    EXPECT_TRUE(console.tls && console.host == kAddress);
    fingerprint = console.fingerprint;
    EXPECT_EQ(pemFingerprint(readFile(keptFolder() + "/console-certificate.pem")), fingerprint);
    std::vector<double> seconds;
    for (int k = 0; k < kHandshakes; ++k)
    {
      const ros::WallTime start = ros::WallTime::now();
      TlsClient client(kAddress, console.port, kOther);
      ASSERT_TRUE(client.handshake()) << k;
      seconds.push_back((ros::WallTime::now() - start).toSec());
      EXPECT_EQ(fingerprint, client.fingerprint()) << k;
    }
    std::sort(seconds.begin(), seconds.end());
    std::cerr << "TLS handshake with its connection, " << kHandshakes << " in a row: median "
              << seconds[kHandshakes / 2] * 1000 << " ms, slowest " << seconds.back() * 1000 << " ms\n";
    // The page shows the same fingerprint, for pairing a tablet.
    const auto about = request(console.endpoint(), "GET", "/api/about", kWithToken);
    EXPECT_EQ(json({{"tls", true}, {"address", console.origin() + "/"}, {"fingerprint", fingerprint}}),
              json::parse(about.body, nullptr, false));
    // An action's Origin is the page's https origin; the same host in plain is another.
    for (const std::string& origin : {"http://" + console.hostPort(), console.origin()})
    {
      httplib::Headers headers = kWithToken;
      headers.emplace("Origin", origin);
      EXPECT_EQ(origin == console.origin() ? 200 : 403,
                request(console.endpoint(), "POST", "/api/pause", headers, "{\"pause\": true}").status);
    }
    // Plain HTTP: never the page, never an action.
    const std::string host = "Host: " + console.hostPort() + "\r\nX-Console-Token: " + kToken + "\r\n";
    for (const std::string& ask : {"GET / HTTP/1.1\r\n" + host + "\r\n",
                                   "POST /api/pause HTTP/1.1\r\n" + host + "Origin: http://" + console.hostPort() +
                                       "\r\nContent-Length: 15\r\n\r\n{\"pause\": true}"})
    {
      bool closed = false;
      const std::string answer = plainExchange(console.port, ask, closed);
      EXPECT_EQ(0u, answer.find("HTTP/1.1 400 Bad Request\r\n")) << answer;
      EXPECT_NE(std::string::npos, answer.find("\r\nConnection: close\r\n")) << answer;
      EXPECT_EQ("This console answers over HTTPS only: open https://" + console.hostPort() +
                    "/ with its access link's ?token=.\n",
                answer.substr(answer.find("\r\n\r\n") + 4));
      EXPECT_TRUE(closed);
    }
    EXPECT_EQ(std::vector<std::string>{"pause"}, coach.calls());

    // Handshakes never finished: half of them send nothing, half the start
    // of a ClientHello. They hold every place of their address: one more is
    // closed at once, not when the header time is up.
    std::vector<int> stalled;
    for (int k = 0; k < kPerAddress; ++k)
    {
      stalled.push_back(connectTo(kAddress, console.port, kOther));
      if (k % 2)
        send(stalled.back(), kPartialHello.data(), kPartialHello.size(), MSG_NOSIGNAL);
    }
    const ros::WallTime opened = ros::WallTime::now();
    const int extra = connectTo(kAddress, console.port, kOther);
    EXPECT_TRUE(waitWall([&] { return closedByServer(extra); }, kHeaderSeconds - 1.0));
    close(extra);
    TlsClient elsewhere(kAddress, console.port, kAddress);
    ASSERT_TRUE(elsewhere.handshake());
    EXPECT_EQ(0u, elsewhere.exchange("GET /api/status HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n")
                      .find("HTTP/1.1 200 OK\r\n"));
    const auto open = [&]
    { return std::count_if(stalled.begin(), stalled.end(), [](int fd) { return !closedByServer(fd); }); };
    EXPECT_TRUE(waitWall([&] { return open() == 0; }, kHeaderSeconds + 3.0 - (ros::WallTime::now() - opened).toSec()))
        << open() << " connections still open";
    for (int fd : stalled)
      close(fd);
    console.process->interrupt();
    ASSERT_TRUE(console.process->waitExit(kExitSeconds));
  }
  // The next start serves the same certificate, from the files it kept.
  Console again(kParams);
  ASSERT_GT(again.port, 0);
  EXPECT_EQ(fingerprint, again.fingerprint);
  TlsClient client(kAddress, again.port, kOther);
  ASSERT_TRUE(client.handshake());
  EXPECT_EQ(fingerprint, client.fingerprint());
}

TEST(ConsoleTls, GivenCertificateServedOrRefusedNamingTheParameter)
{
  NEEDS_NAMESPACE();
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  const std::time_t now = std::time(nullptr);
  const auto made = nao_kinora_console::makeCertificate({kAddress}, now - 3600, now + 3600 * 24 * 30);
  const auto other = nao_kinora_console::makeCertificate({kAddress}, now - 3600, now + 3600 * 24 * 30);
  const std::string certificate = dir.write("room.pem", made.certificatePem);
  const std::string otherKey = dir.write("other.key", other.keyPem);
  std::vector<std::string> params = kParams;
  params.insert(params.end(), {"_tls_certificate:=" + certificate, "_tls_key:=" + otherKey, "__name:=refused"});
  // Every fault is in test_tls_certificate's table; here, that the program ends on one.
  auto refused = console_test::startConsole(params);
  ASSERT_TRUE(refused->waitExit(kExitSeconds));
  EXPECT_EQ(1, refused->exitStatus());
  const std::string err = refused->err();
  EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << "one line: " << err;
  EXPECT_NE(std::string::npos, err.find("~tls_key [" + otherKey + "] is not the key of ~tls_certificate")) << err;
  EXPECT_EQ("", refused->out());

  params[3] = "_tls_key:=" + dir.write("room.key", made.keyPem);
  params.pop_back();
  Console console(params);
  ASSERT_GT(console.port, 0);
  EXPECT_EQ(pemFingerprint(made.certificatePem), console.fingerprint);
  TlsClient client(kAddress, console.port, kOther);
  ASSERT_TRUE(client.handshake());
  EXPECT_EQ(console.fingerprint, client.fingerprint());
  EXPECT_NE(0, access((keptFolder() + "/console-certificate.pem").c_str(), F_OK)) << "made one all the same";
}

int main(int argc, char** argv)
{
  testing::InitGoogleTest(&argc, argv);
  // Every process started from here on (master, console) lives in the namespace.
  if (!testing::GTEST_FLAG(list_tests))
  {
    if (unshare(CLONE_NEWNET) != 0)
      namespaceFault = std::string("unshare: ") + std::strerror(errno);
    else if (std::system("ip link set lo up && ip link add kinora0 type veth peer name kinora1 && "
                         "ip addr add 10.233.0.1/24 dev kinora0 && ip addr add 10.233.0.2/24 dev kinora1 && "
                         "ip link set kinora0 up && ip link set kinora1 up") != 0)
      namespaceFault = "cannot set the veth pair up";
    else
      namespaceFault.clear();
  }
  return RUN_ALL_TESTS();
}
