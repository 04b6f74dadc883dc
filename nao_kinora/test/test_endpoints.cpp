// The node's endpoints as the ROS graph sees them: what the master lists, what
// each publisher answers at the TCPROS handshake, and how names move with a
// namespace or a remapping. The node object runs in endpoints_probe.
#include "ros_harness.h"

#include <gtest/gtest.h>
#include <nao_msgs/AllAngles.h>
#include <ros/network.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>
#include <std_msgs/Int32MultiArray.h>
#include <std_msgs/String.h>
#include <xmlrpcpp/XmlRpcClient.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <sstream>

using kinora_test::Harness;

namespace
{
const char kNode[] = "/nao_kinora";
const char kCaller[] = "/kinora_handshake";

struct Endpoint
{
  std::string topic;
  std::string type;
  std::string md5;
  std::string definition;
};

const char kString[] = "std_msgs/String";
const char kInt32[] = "std_msgs/Int32";
const char kStringMd5[] = "992ce8a1687cec8c8bd883ec73ca41d1";
const char kInt32Md5[] = "da5909fbe378aeaf85e547e830cc1bb7";

template <class M>
std::string definitionOf()
{
  return ros::message_traits::definition<M>();
}

std::vector<Endpoint> publishedTopics()
{
  const std::string text = definitionOf<std_msgs::String>();
  return {
      {"jointAngleArray", "std_msgs/Float32MultiArray", "6a40e0ffa6a17a503ac3f8616991b1f6",
       definitionOf<std_msgs::Float32MultiArray>()},
      {"speech", kString, kStringMd5, text},
      {"all_angles", "nao_msgs/AllAngles", "4793d391be83a6ad2e527fa302927289", definitionOf<nao_msgs::AllAngles>()},
      {"talkerfilename", kString, kStringMd5, text},
      {"talkertext", kString, kStringMd5, text},
      {"listen", kString, kStringMd5, text},
      {"motionStartStop", kInt32, kInt32Md5, definitionOf<std_msgs::Int32>()},
      {"variancedJoints", "std_msgs/Int32MultiArray", "1d99f79f8b325b44fee908053e9c945b",
       definitionOf<std_msgs::Int32MultiArray>()},
  };
}

std::vector<Endpoint> subscribedTopics()
{
  return {{"speechtotext", kString, kStringMd5, ""},
          {"textsent", kString, kStringMd5, ""},
          {"trackingfinished", kInt32, kInt32Md5, ""},
          {"motionfinished", kInt32, kInt32Md5, ""}};
}

// ------------------------------------------------------------ the master's view

XmlRpc::XmlRpcValue askMaster(const std::string& method, XmlRpc::XmlRpcValue args)
{
  XmlRpc::XmlRpcValue result, payload;
  if (!ros::master::execute(method, args, result, payload, true))
    throw std::runtime_error("master call " + method + " failed");
  return payload;
}

XmlRpc::XmlRpcValue callerArgs()
{
  XmlRpc::XmlRpcValue args;
  args[0] = kCaller;
  return args;
}

// What the master knows about the graph: for each topic, its type and the
// nodes that publish and subscribe it.
struct Graph
{
  std::map<std::string, std::string> types;
  std::map<std::string, std::set<std::string>> publishers;
  std::map<std::string, std::set<std::string>> subscribers;

  // The topics a node publishes (or subscribes), with their types.
  std::map<std::string, std::string> of(const std::string& node, bool published) const
  {
    std::map<std::string, std::string> topics;
    for (const auto& entry : published ? publishers : subscribers)
      if (entry.second.count(node))
        topics[entry.first] = types.at(entry.first);
    return topics;
  }
};

void readRegistrations(XmlRpc::XmlRpcValue& list, std::map<std::string, std::set<std::string>>& into)
{
  for (int i = 0; i < list.size(); ++i)
    for (int j = 0; j < list[i][1].size(); ++j)
      into[std::string(list[i][0])].insert(std::string(list[i][1][j]));
}

Graph graph()
{
  Graph g;
  XmlRpc::XmlRpcValue state = askMaster("getSystemState", callerArgs());
  readRegistrations(state[0], g.publishers);
  readRegistrations(state[1], g.subscribers);
  XmlRpc::XmlRpcValue types = askMaster("getTopicTypes", callerArgs());
  for (int i = 0; i < types.size(); ++i)
    g.types[std::string(types[i][0])] = std::string(types[i][1]);
  return g;
}

// The probe subscribes last, so its last subscription marks it ready.
bool waitUntilRegistered(Harness& h, const std::string& node, const std::string& lastTopic)
{
  return h.waitWall([&] { return graph().subscribers[lastTopic].count(node) > 0; }, kinora_test::kConnectSeconds);
}

std::map<std::string, std::string> expectedTopics(const std::vector<Endpoint>& endpoints, const std::string& ns)
{
  std::map<std::string, std::string> topics;
  for (const Endpoint& e : endpoints)
    topics[ns + "/" + e.topic] = e.type;
  return topics;
}

// ------------------------------------------------------------ raw TCPROS

typedef std::map<std::string, std::string> Header;

void appendLength(std::string& out, uint32_t n)
{
  for (int i = 0; i < 4; ++i)
    out += char((n >> (8 * i)) & 0xff);
}

std::string encodeHeader(const Header& header)
{
  std::string body;
  for (const auto& field : header)
  {
    const std::string text = field.first + "=" + field.second;
    appendLength(body, text.size());
    body += text;
  }
  std::string framed;
  appendLength(framed, body.size());
  return framed + body;
}

uint32_t readLength(const std::string& bytes, size_t at)
{
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i)
    n |= uint32_t(uint8_t(bytes[at + i])) << (8 * i);
  return n;
}

Header decodeHeader(const std::string& body)
{
  Header header;
  for (size_t at = 0; at + 4 <= body.size();)
  {
    const std::string field = body.substr(at + 4, readLength(body, at));
    at += 4 + field.size();
    const size_t eq = field.find('=');
    header[field.substr(0, eq)] = field.substr(eq + 1);
  }
  return header;
}

// Where the node's TCPROS server takes subscribers for a topic.
void tcprosAddress(const std::string& node, const std::string& topic, std::string& host, uint32_t& port)
{
  XmlRpc::XmlRpcValue args = callerArgs();
  args[1] = node;
  const std::string uri = askMaster("lookupNode", args);
  std::string apiHost;
  uint32_t apiPort = 0;
  if (!ros::network::splitURI(uri, apiHost, apiPort))
    throw std::runtime_error("bad node URI " + uri);
  XmlRpc::XmlRpcClient client(apiHost.c_str(), apiPort, "/");
  XmlRpc::XmlRpcValue params, reply;
  params[0] = kCaller;
  params[1] = topic;
  params[2][0][0] = "TCPROS";
  if (!client.execute("requestTopic", params, reply) || int(reply[0]) != 1)
    throw std::runtime_error(node + " does not offer " + topic);
  host = std::string(reply[2][1]);
  port = int(reply[2][2]);
}

// A subscriber connection made by hand, so the test chooses what it announces.
// It stays open (and counted by the publisher, if accepted) until destroyed.
class RawSubscriber
{
public:
  RawSubscriber(const std::string& node, const std::string& topic, const std::string& type, const std::string& md5)
  {
    std::string host;
    uint32_t port = 0;
    tcprosAddress(node, topic, host, port);
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), nullptr, &found) != 0)
      throw std::runtime_error("cannot resolve " + host);
    fd_ = socket(found->ai_family, SOCK_STREAM, 0);
    const timeval timeout = {5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    const bool connected = connect(fd_, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected)
      throw std::runtime_error("cannot connect to " + host + ":" + std::to_string(port));
    const std::string request =
        encodeHeader({{"callerid", kCaller}, {"topic", topic}, {"type", type}, {"md5sum", md5}, {"tcp_nodelay", "1"}});
    if (write(fd_, request.data(), request.size()) != ssize_t(request.size()))
      throw std::runtime_error("cannot send the connection header");
    reply_ = decodeHeader(readExactly(readLength(readExactly(4), 0)));
  }
  ~RawSubscriber() { close(fd_); }
  RawSubscriber(const RawSubscriber&) = delete;
  RawSubscriber& operator=(const RawSubscriber&) = delete;

  const Header& reply() const { return reply_; }

private:
  std::string readExactly(size_t n)
  {
    std::string bytes(n, '\0');
    for (size_t got = 0; got < n;)
    {
      const ssize_t r = read(fd_, &bytes[got], n - got);
      if (r <= 0)
        throw std::runtime_error("connection closed before the reply header was read");
      got += r;
    }
    return bytes;
  }

  int fd_ = -1;
  Header reply_;
};

class Endpoints : public ::testing::Test
{
protected:
  Endpoints() : h(false) {}

  // Starts the probe with extra command-line arguments and waits for it to register.
  void startProbe(const std::vector<std::string>& args, const std::string& node, const std::string& lastTopic)
  {
    probe = h.start(ENDPOINTS_PROBE, args);
    ASSERT_TRUE(waitUntilRegistered(h, node, lastTopic)) << probe->err();
  }

  Harness h;
  std::unique_ptr<kinora_test::Process> probe;
};
}  // namespace

TEST_F(Endpoints, MasterListsEightPublishedAndFourSubscribedTopicsWithTheirTypes)
{
  startProbe({}, kNode, "/motionfinished");
  const Graph g = graph();

  std::map<std::string, std::string> published = g.of(kNode, true);
  published.erase("/rosout");  // every roscpp node logs there
  EXPECT_EQ(expectedTopics(publishedTopics(), ""), published);
  EXPECT_EQ(expectedTopics(subscribedTopics(), ""), g.of(kNode, false));
}

// The handshake reply shows what each publisher announces: type, MD5 sum,
// definition text and whether it is latched.
TEST_F(Endpoints, EveryPublisherAnnouncesItsTypeAndIsNotLatched)
{
  startProbe({}, kNode, "/motionfinished");
  for (const Endpoint& e : publishedTopics())
  {
    SCOPED_TRACE(e.topic);
    RawSubscriber sub(kNode, "/" + e.topic, e.type, e.md5);
    const Header& reply = sub.reply();
    EXPECT_EQ(0u, reply.count("error")) << reply.at("error");
    EXPECT_EQ(e.type, reply.at("type"));
    EXPECT_EQ(e.md5, reply.at("md5sum"));
    EXPECT_EQ(e.definition, reply.at("message_definition"));
    EXPECT_EQ("0", reply.at("latching"));
    EXPECT_EQ(kNode, reply.at("callerid"));
  }
}

// A peer built with a different message definition gets an error at the
// handshake and is never counted as a subscriber; the right sum connects.
TEST_F(Endpoints, WrongMd5IsRefusedAtTheHandshake)
{
  startProbe({}, kNode, "/motionfinished");
  const std::string wrongForAllAngles = ros::message_traits::md5sum<std_msgs::Float32MultiArray>();
  const std::string wrongForJoints = ros::message_traits::md5sum<std_msgs::Int32MultiArray>();
  const struct
  {
    Endpoint endpoint;
    std::string wrongMd5;
  } cases[] = {{publishedTopics()[2], wrongForAllAngles}, {publishedTopics()[0], wrongForJoints}};

  for (const auto& c : cases)
  {
    const Endpoint& e = c.endpoint;
    SCOPED_TRACE(e.topic);
    RawSubscriber wrong(kNode, "/" + e.topic, e.type, c.wrongMd5);
    ASSERT_EQ(1u, wrong.reply().count("error"));
    EXPECT_NE(std::string::npos, wrong.reply().at("error").find(c.wrongMd5)) << wrong.reply().at("error");
    EXPECT_EQ(0u, wrong.reply().count("md5sum"));

    RawSubscriber right(kNode, "/" + e.topic, e.type, e.md5);
    EXPECT_EQ(e.md5, right.reply().at("md5sum"));
    const std::string counted = "subscribers " + e.topic + " ";
    ASSERT_TRUE(h.waitWall([&] { return !kinora_test::linesWith(probe->err(), counted).empty(); }, 5)) << probe->err();
    // Both connections are still open: a count of 2 would mean the wrong one was taken.
    EXPECT_EQ(std::vector<std::string>{counted + "1"}, kinora_test::linesWith(probe->err(), counted));
  }
}

TEST_F(Endpoints, AllNamesMoveIntoTheNodesNamespace)
{
  const std::string node = "/robot1/nao_kinora";
  startProbe({"__ns:=/robot1"}, node, "/robot1/motionfinished");
  const Graph g = graph();

  std::map<std::string, std::string> published = g.of(node, true);
  published.erase("/rosout");
  EXPECT_EQ(expectedTopics(publishedTopics(), "/robot1"), published);
  EXPECT_EQ(expectedTopics(subscribedTopics(), "/robot1"), g.of(node, false));
  EXPECT_EQ(0u, g.types.count("/talkerfilename"));
  EXPECT_EQ(0u, g.types.count("/motionfinished"));
}

// A remapped subscription is not only registered under its new name: a message
// sent there reaches the callback.
TEST_F(Endpoints, RemappedNamesAreUsedForPublishingAndSubscribing)
{
  startProbe({"talkerfilename:=/audio/cue", "motionfinished:=/robot/done"}, kNode, "/robot/done");
  const Graph g = graph();

  std::map<std::string, std::string> published = g.of(kNode, true);
  EXPECT_EQ(kString, published["/audio/cue"]);
  EXPECT_EQ(0u, published.count("/talkerfilename"));
  EXPECT_EQ(kString, published["/speech"]);
  std::map<std::string, std::string> subscribed = g.of(kNode, false);
  EXPECT_EQ(kInt32, subscribed["/robot/done"]);
  EXPECT_EQ(0u, subscribed.count("/motionfinished"));
  EXPECT_EQ(kInt32, subscribed["/trackingfinished"]);

  ASSERT_TRUE(h.publish("/robot/done", 5));
  ASSERT_TRUE(h.waitWall([&] { return probe->out() == "Motionfinished5\n"; }, 5)) << probe->out();
}
