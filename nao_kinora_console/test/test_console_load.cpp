// The console on the network while another address holds hundreds of idle,
// half-sent and finished-but-open connections and eight pages hold their
// event streams: the page on this machine is still answered at once, and
// the console is whole again as soon as they go.
#include "console_fixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using console_test::Console;
using console_test::EventStream;
using console_test::FakeCoach;
using console_test::request;
using console_test::waitWall;

namespace
{
const char* const kToken = "s3cret-token_1";
const char* const kOther = "127.0.0.2";  // another machine, as far as the console can tell
const int kEach = 200;                   // half-sent requests, and as many idle connections
const int kPages = 8;                    // the console's cap on event streams
// The console's limits (docs/console-server.md).
const double kHeaderSeconds = 5.0;
const std::size_t kPerAddress = 32;
// The page's requests never wait for other connections: the io thread only
// ever runs non-blocking steps and actions run on workers, so an answer takes
// a few milliseconds of work whatever the other connections do. Waiting for
// another connection would cost up to the header time (5 s): half of it is
// the bound, with a wide margin for a loaded machine.
const double kAnswerBound = 2.5;

// A connection to the console on 127.0.0.1 whose source address is from.
int connectFrom(const char* from, int port)
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  inet_pton(AF_INET, from, &source.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
  {
    ADD_FAILURE() << "cannot connect from " << from << ": " << strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the console has closed the connection; reads what it sent before.
bool closedByConsole(int fd)
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

std::size_t openCount(const std::vector<int>& fds)
{
  std::size_t open = 0;
  for (int fd : fds)
    open += !closedByConsole(fd);
  return open;
}

std::string statusFrom(const char* from, int port)
{
  const int fd = connectFrom(from, port);
  const std::string ask = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nX-Console-Token: " + kToken + "\r\nConnection: close\r\n\r\n";
  send(fd, ask.data(), ask.size(), MSG_NOSIGNAL);
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  char buffer[64] = {};
  const ssize_t n = recv(fd, buffer, sizeof buffer - 1, 0);
  close(fd);
  return n > 0 ? std::string(buffer, n).substr(0, 12) : "";
}
}  // namespace

TEST(ConsoleLoad, PageAnsweredWhileAnotherAddressHoldsConnections)
{
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &files));
  ASSERT_GE(files.rlim_cur, 2u * kEach + 200);

  kinora_test::Harness harness(false);
  FakeCoach coach;
  Console console({"_bind:=0.0.0.0", std::string("_token:=") + kToken});
  ASSERT_GT(console.port, 0);
  const int port = console.port;
  const std::string host = "127.0.0.1:" + std::to_string(port);
  const httplib::Headers withToken = {{"X-Console-Token", kToken}};
  httplib::Headers action = withToken;
  action.emplace("Origin", console.origin());

  std::vector<std::unique_ptr<EventStream>> pages;
  for (int k = 0; k < kPages; ++k)
  {
    pages.emplace_back(new EventStream(port, std::string("/events?token=") + kToken));
    ASSERT_GE(pages.back()->waitFor([](const EventStream::Event& e) { return e.type == "status"; }, 5), 0) << k;
  }

  {
    EventStream ninth(port, std::string("/events?token=") + kToken);
    EXPECT_TRUE(waitWall([&] { return ninth.status() != 0; }, 5));
    EXPECT_EQ(503, ninth.status()) << "a ninth page";
  }

  // Half-sent requests and finished requests on connections left open,
  // interleaved, from an address without the token.
  std::vector<int> other;
  for (int k = 0; k < kEach; ++k)
    for (const std::string& bytes :
         {"GET / HTTP/1.1\r\nHost: " + host + "\r\n", "GET /api/status HTTP/1.1\r\nHost: " + host + "\r\n\r\n"})
    {
      other.push_back(connectFrom(kOther, port));
      send(other.back(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
  const ros::WallTime opened = ros::WallTime::now();
  // The other address holds its share; the console closes the rest at once,
  // not when the header time is up.
  EXPECT_TRUE(waitWall([&] { return openCount(other) <= kPerAddress; }, kHeaderSeconds - 1.0));
  EXPECT_EQ(kPerAddress, openCount(other));

  for (int round = 0; round < 2; ++round)
  {
    const auto status = request(port, "GET", "/api/status", withToken);
    EXPECT_EQ(200, status.status) << "round " << round;
    EXPECT_LT(status.seconds, kAnswerBound) << "round " << round;
    const auto paused = request(port, "POST", "/api/pause", action, round ? "{\"pause\": false}" : "{\"pause\": true}");
    EXPECT_EQ(200, paused.status) << "round " << round;
    EXPECT_LT(paused.seconds, kAnswerBound) << "round " << round;
    std::cerr << "round " << round << ": /api/status " << status.seconds << " s, /api/pause " << paused.seconds
              << " s\n";
    ros::WallDuration(kHeaderSeconds / 2).sleep();
  }
  EXPECT_EQ((std::vector<std::string>{"pause", "resume"}), coach.calls());

  // The connections it took are closed once the header time is up.
  EXPECT_TRUE(
      waitWall([&] { return openCount(other) == 0; }, kHeaderSeconds + 3.0 - (ros::WallTime::now() - opened).toSec()))
      << openCount(other) << " connections still open";
  for (const auto& page : pages)
    EXPECT_EQ(200, page->status());

  // When they go, their address and the pages' streams are free again.
  for (int fd : other)
    close(fd);
  pages.clear();
  EXPECT_EQ("HTTP/1.1 200", statusFrom(kOther, port));
  EXPECT_TRUE(waitWall(
      [&]
      {
        EventStream again(port, std::string("/events?token=") + kToken);
        return again.waitFor([](const EventStream::Event& e) { return e.type == "status"; }, 5) >= 0;
      },
      20))
      << "no event stream for a new page";
}
