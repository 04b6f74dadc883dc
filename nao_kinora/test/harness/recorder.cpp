// The recorder (the node's topics as the harness receives them, numbered in
// the order of receipt) and the sender.
#include "ros_harness.h"

#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>
#include <std_msgs/Int32MultiArray.h>
#include <std_msgs/String.h>
#include <ros/network.h>
#include <xmlrpcpp/XmlRpcClient.h>

#include <algorithm>
#include <stdexcept>

namespace kinora_test
{
namespace
{
const double kMasterPoll = 0.01;
const uint32_t kRecordQueue = 10000;  // never drop a recorded message
const uint32_t kSendQueue = 10;

std::vector<std::string> publishersOf(const std::string& topic)
{
  XmlRpc::XmlRpcValue args, result, state;
  args[0] = ros::this_node::getName();
  std::vector<std::string> nodes;
  if (!ros::master::execute("getSystemState", args, result, state, false))
    return nodes;
  XmlRpc::XmlRpcValue& published = state[0];
  for (int i = 0; i < published.size(); ++i)
    if (std::string(published[i][0]) == topic)
      for (int j = 0; j < published[i][1].size(); ++j)
        nodes.push_back(published[i][1][j]);
  return nodes;
}

// Whether `node` has taken the harness node as a subscriber of `topic`. A
// publisher lists the connection only after the handshake, from when on it
// sends everything it publishes; the subscriber side knows of the connection
// earlier.
bool acceptedBy(const std::string& node, const std::string& topic)
{
  const std::string self = ros::this_node::getName();
  XmlRpc::XmlRpcValue args, result, uri;
  args[0] = self;
  args[1] = node;
  std::string host;
  uint32_t port = 0;
  if (!ros::master::execute("lookupNode", args, result, uri, false) || !ros::network::splitURI(uri, host, port))
    return false;
  XmlRpc::XmlRpcClient client(host.c_str(), port, "/");
  XmlRpc::XmlRpcValue params, reply;
  params[0] = self;
  if (!client.execute("getBusInfo", params, reply) || int(reply[0]) != 1)
    return false;
  XmlRpc::XmlRpcValue& links = reply[2];
  for (int i = 0; i < links.size(); ++i)
    if (std::string(links[i][1]) == self && std::string(links[i][2]) == "o" && std::string(links[i][4]) == topic)
      return true;
  return false;
}
}  // namespace

template <class M, class Fill>
ros::Subscriber Harness::subscribe(const std::string& topic, Fill fill)
{
  ros::SubscribeOptions options;
  options.init<M>(topic, kRecordQueue,
                  [this, topic, fill](const typename M::ConstPtr& msg)
                  {
                    Event event;
                    event.topic = topic;
                    fill(*msg, event);
                    store(std::move(event));
                  });
  options.callback_queue = &recordQueue_;
  options.transport_hints = ros::TransportHints().tcpNoDelay();
  return nh_->subscribe(options);
}

void Harness::record(const std::string& topic)
{
  if (recorders_.count(topic))
    return;
  const std::string base = topic.substr(topic.rfind('/') + 1);
  ros::Subscriber sub;
  if (base == "jointAngleArray")
    sub = subscribe<std_msgs::Float32MultiArray>(topic,
                                                 [](const std_msgs::Float32MultiArray& m, Event& e)
                                                 {
                                                   e.floats = m.data;
                                                   e.layoutDims = m.layout.dim.size();
                                                   e.dataOffset = m.layout.data_offset;
                                                 });
  else if (base == "variancedJoints")
    sub = subscribe<std_msgs::Int32MultiArray>(topic,
                                               [](const std_msgs::Int32MultiArray& m, Event& e)
                                               {
                                                 e.ints = m.data;
                                                 e.layoutDims = m.layout.dim.size();
                                                 e.dataOffset = m.layout.data_offset;
                                               });
  else if (base == "talkerfilename")
    sub = subscribe<std_msgs::String>(topic, [](const std_msgs::String& m, Event& e) { e.text = m.data; });
  else if (base == "motionStartStop")
    sub = subscribe<std_msgs::Int32>(topic, [](const std_msgs::Int32& m, Event& e) { e.value = m.data; });
  else
    throw std::invalid_argument("record: no known message type for topic [" + topic + "]");
  recorders_[topic] = sub;
}

void Harness::store(Event event)
{
  std::lock_guard<std::mutex> lock(mutex_);
  // One spinner thread serves the recording queue in the order roscpp's poll
  // thread filled it, so this is the order of receipt.
  event.seq = events_.size();
  event.stamp = simTime_ ? now_ : ros::Time::now();
  lastArrival_ = ros::WallTime::now();
  events_.push_back(std::move(event));
}

bool Harness::waitForPublisher(const std::string& topic, double wallSeconds)
{
  const auto found = recorders_.find(topic);
  if (found == recorders_.end())
    throw std::invalid_argument("waitForPublisher: topic [" + topic + "] is not recorded");
  const ros::Subscriber& sub = found->second;
  const std::string resolved = ros::names::resolve(topic);
  return waitWallFor(
      [&]
      {
        if (sub.getNumPublishers() == 0)
          return false;
        const std::vector<std::string> nodes = publishersOf(resolved);
        return !nodes.empty() && std::all_of(nodes.begin(), nodes.end(),
                                             [&](const std::string& node) { return acceptedBy(node, resolved); });
      },
      wallSeconds, kMasterPoll);
}

std::vector<Event> Harness::events() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<Event> Harness::eventsOn(const std::string& topic) const
{
  std::vector<Event> on;
  for (const Event& e : events())
    if (e.topic == topic)
      on.push_back(e);
  return on;
}

std::size_t Harness::count(const std::string& topic) const
{
  return eventsOn(topic).size();
}

// ---------------------------------------------------------------- Sending

template <class M>
bool Harness::send(const std::string& topic, const M& msg)
{
  auto found = senders_.find(topic);
  if (found == senders_.end())
    found = senders_.emplace(topic, nh_->advertise<M>(topic, kSendQueue)).first;
  const ros::Publisher& pub = found->second;
  if (!waitWall([&pub] { return pub.getNumSubscribers() > 0; }, kConnectSeconds))
    return false;
  pub.publish(msg);
  return true;
}

bool Harness::publish(const std::string& topic, int value)
{
  std_msgs::Int32 msg;
  msg.data = value;
  return send(topic, msg);
}

bool Harness::publishText(const std::string& topic, const std::string& text)
{
  std_msgs::String msg;
  msg.data = text;
  return send(topic, msg);
}
}  // namespace kinora_test
