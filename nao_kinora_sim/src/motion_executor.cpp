// motion_executor: the simulated robot side. Takes the joint rows of each
// recording from "jointAngleArray", checks every message, shows the progress
// of the recording, and can end a recording early through "motionfinished".
//
// Parameters: ~progress_every (ROS seconds between progress lines, default 5;
// 0: a line for every row), ~finish_after_rows (default 0 = never): after that
// many rows of a recording, publish "motionfinished" once.
//
// ~recordings (the node's file names, in playing order, as a list or as one
// string separated by blanks) and ~recording_dir (what the names are relative
// to): the executor then loads each as the node does and identifies every row
// it receives by its values, so it can name the rows it missed (after its own
// restart, or when the connection lost some) and any row out of order or
// repeated. A restarted executor finds the recording in progress by its rows.
//
// Holds the last well-formed row as its pose on /joint_states (joint_states.h).
#include "joint_states.h"

#include <nao_kinora/joint_message.h>
#include <nao_kinora/parameters.h>
#include <nao_kinora/recording_check.h>
#include <ros/callback_queue.h>
#include <ros/ros.h>
#include <std_msgs/Float32MultiArray.h>
#include <std_msgs/Int32.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace
{
const int kStartSignal = 0;
const int kStopSignal = 1;
// Rows can come hundreds per wall second at a high clock speed: keep them all.
const uint32_t kRowQueue = 1000;
const ros::WallDuration kPoll(0.001);  // a joint state is due every 20 ms

struct Recording
{
  std::string name;  // as on the node's command line
  std::vector<nao_kinora::JointRow> rows;
};

// True when the joint message carries exactly these values: the node sends
// the floats it loaded, so bit equality is the test.
bool carries(const std::vector<float>& data, const nao_kinora::JointRow& row)
{
  return data.size() == nao_kinora::kJointMessageSize &&
         std::memcmp(&data[1], row.data(), sizeof(float) * row.size()) == 0;
}

// Where a joint message sits in a recording, from index from on; -1 when nowhere.
int findRow(const std::vector<float>& data, const Recording& recording, int from)
{
  for (int k = std::max(from, 0); k < static_cast<int>(recording.rows.size()); ++k)
    if (carries(data, recording.rows[k]))
      return k;
  return -1;
}

// The names of ~recordings: a list of strings, or one string of names separated by blanks.
std::vector<std::string> recordingNames(const ros::NodeHandle& pnh)
{
  std::vector<std::string> names;
  XmlRpc::XmlRpcValue value;
  if (!pnh.getParam("recordings", value))
    return names;
  if (value.getType() == XmlRpc::XmlRpcValue::TypeString)
  {
    std::istringstream words(static_cast<std::string>(value));
    std::string name;
    while (words >> name)
      names.push_back(name);
  }
  else if (value.getType() == XmlRpc::XmlRpcValue::TypeArray)
  {
    for (int k = 0; k < value.size(); ++k)
      if (value[k].getType() == XmlRpc::XmlRpcValue::TypeString)
        names.push_back(static_cast<std::string>(value[k]));
      else
        ROS_ERROR("~recordings: entry %d is not a file name: ignoring it", k);
  }
  else
    ROS_ERROR("~recordings is neither a list of file names nor a string of them: rows are not identified");
  return names;
}

class MotionExecutor
{
public:
  MotionExecutor() : jointStates_(nh_)
  {
    ros::NodeHandle pnh("~");
    long finishAfter = 0;
    std::string given;
    ok_ = nao_kinora::readSecondsParam("progress_every", progressEvery_) &&
          nao_kinora::readWholeParam("finish_after_rows", finishAfter, given) && readRecordingDir();
    if (!ok_)
      return;
    finishAfterRows_ = static_cast<int>(finishAfter);
    loadRecordings(pnh);

    finishedPub_ = nh_.advertise<std_msgs::Int32>("motionfinished", 1);
    rowSub_ = nh_.subscribe("jointAngleArray", kRowQueue, &MotionExecutor::rowHandle, this);
    startStopSub_ = nh_.subscribe("motionStartStop", 10, &MotionExecutor::startStopHandle, this);
  }

  // False when a parameter was refused: the program then ends with status 1.
  bool ok() const { return ok_; }

private:
  bool readRecordingDir()
  {
    if (!nao_kinora::readTextParam("recording_dir", dir_))
      return false;
    if (!dir_.empty() && dir_.back() != '/')
      dir_ += '/';
    return true;
  }

  void loadRecordings(const ros::NodeHandle& pnh)
  {
    const std::string& dir = dir_;
    for (const std::string& name : recordingNames(pnh))
    {
      Recording recording;
      recording.name = name;
      // Kept in its place even when unreadable: the places follow the node's command line.
      if (!nao_kinora::checkRecording(dir + name, &recording.rows).playable())
        ROS_ERROR("recording %zu [%s%s] has no row: its rows cannot be identified", recordings_.size() + 1, dir.c_str(),
                  name.c_str());
      recordings_.push_back(recording);
    }
    if (!recordings_.empty())
      std::cout << "[motion] identifying rows of " << recordings_.size() << " recording(s) from " << dir << std::endl;
  }

  void startStopHandle(const std_msgs::Int32::ConstPtr& msg)
  {
    if (msg->data == kStartSignal)
    {
      ++recording_;
      rows_ = 0;
      malformed_ = 0;
      askedToFinish_ = false;
      playing_ = true;
      lastRow_ = -1;
      std::cout << "[motion] recording " << recording_ << ": start signal" << std::endl;
    }
    else if (msg->data == kStopSignal)
    {
      playing_ = false;
      printLine(ros::Time::now(), "over:");
      reportUnreceivedEnd();
    }
    else
      ROS_WARN("motionStartStop %d is neither start (0) nor stop (1)", msg->data);
  }

  void rowHandle(const std_msgs::Float32MultiArray::ConstPtr& msg)
  {
    const ros::Time now = ros::Time::now();
    if (!recordings_.empty())
      identify(msg->data);
    if (!playing_)
      ROS_WARN("joint message outside a recording (no start signal since the last stop)");
    ++rows_;
    nao_kinora::JointRow row;
    const std::string fault = nao_kinora::decodeJointMessage(msg->data, row);
    if (!fault.empty())
    {
      ++malformed_;
      ROS_ERROR("recording %d, row %d: malformed joint message: %s", recording_, rows_ - 1, fault.c_str());
    }
    else
      jointStates_.hold(row);
    // A peer started mid-session can get rows before its first /clock, at
    // ROS time 0: its times count from the first row after that.
    if (rows_ == 1 || firstRow_.isZero())
    {
      firstRow_ = now;
      lastLine_ = now;
      lastLineRows_ = rows_ - 1;
    }
    if ((now - lastLine_).toSec() >= progressEvery_)
      printProgress(now);
    if (finishAfterRows_ > 0 && rows_ >= finishAfterRows_ && !askedToFinish_)
      askToFinish();
  }

  void printProgress(const ros::Time& now)
  {
    // Rows taken at one ROS time (the clock held, or a late pass sending
    // several) have no rate.
    char rate[64] = "";
    const double span = (now - lastLine_).toSec();
    if (span > 0)
      std::snprintf(rate, sizeof rate, ", %.1f rows/s", (rows_ - lastLineRows_) / span);
    printLine(now, "", rate);
    lastLine_ = now;
    lastLineRows_ = rows_;
  }

  // "[motion] recording 2: 250 rows, 11.96 s since row 0, 25.0 rows/s"
  void printLine(const ros::Time& now, const char* what, const char* rate = "")
  {
    char line[200];
    const double elapsed = rows_ > 0 ? (now - firstRow_).toSec() : 0.0;
    std::snprintf(line, sizeof line, "[motion] recording %d: %s%s%d rows, %.2f s since row 0%s", recording_, what,
                  *what ? " " : "", rows_, elapsed, rate);
    std::cout << line;
    if (malformed_ > 0)
      std::cout << ", " << malformed_ << " malformed";
    std::cout << std::endl;
  }

  // Places a received row in the recording in progress, reporting the rows
  // skipped over on the way; a row from elsewhere is looked for in every
  // recording, as after a restart that missed the start signal.
  void identify(const std::vector<float>& data)
  {
    if (current() != 0)
    {
      const Recording& recording = *current();
      const int next = findRow(data, recording, lastRow_ + 1);
      if (next >= 0)
      {
        reportMissed(lastRow_ + 1, next);
        lastRow_ = next;
        return;
      }
      for (int k = lastRow_; k >= 0; --k)
        if (carries(data, recording.rows[k]))
        {
          if (k == lastRow_)
            reportDisorder("row " + std::to_string(k) + " repeated");
          else
            reportDisorder("row " + std::to_string(k) + " out of order, after row " + std::to_string(lastRow_));
          return;
        }
    }
    for (std::size_t r = 0; r < recordings_.size(); ++r)
    {
      const int row = findRow(data, recordings_[r], 0);
      if (row < 0)
        continue;
      // A recording of its own: the counts start again from this row.
      recording_ = static_cast<int>(r) + 1;
      rows_ = 0;
      malformed_ = 0;
      askedToFinish_ = false;
      playing_ = true;
      std::cout << "[motion] recording " << recording_ << ": identified by its rows (" << recordings_[r].name << ")"
                << std::endl;
      reportMissed(0, row);
      lastRow_ = row;
      return;
    }
    ROS_ERROR("recording %d: a joint message that is no row of any given recording", recording_);
  }

  // The recording in progress among the given ones, or 0 when unknown.
  const Recording* current() const
  {
    if (recording_ < 1 || recording_ > static_cast<int>(recordings_.size()))
      return 0;
    return &recordings_[recording_ - 1];
  }

  // "[motion] recording 2: missed rows 120..187 (68 rows)" for rows first..end-1.
  void reportMissed(int first, int end)
  {
    if (end <= first)
      return;
    std::cout << "[motion] recording " << recording_ << ": missed rows " << first << ".." << end - 1 << " ("
              << end - first << " rows)" << std::endl;
  }

  // Never happens over one connection: an error as well as a line.
  void reportDisorder(const std::string& what)
  {
    std::cout << "[motion] recording " << recording_ << ": " << what << std::endl;
    ROS_ERROR("recording %d: %s", recording_, what.c_str());
  }

  // At the stop signal: the rows after the last one received, which an early
  // end (motionfinished) leaves unsent and a lost connection leaves unreceived.
  void reportUnreceivedEnd()
  {
    if (current() == 0 || lastRow_ < 0)
      return;
    const int rows = static_cast<int>(current()->rows.size());
    if (lastRow_ + 1 < rows)
      std::cout << "[motion] recording " << recording_ << ": stop signal after row " << lastRow_ << ": rows "
                << lastRow_ + 1 << ".." << rows - 1 << " not received (" << rows - lastRow_ - 1 << " rows)"
                << std::endl;
  }

  void askToFinish()
  {
    askedToFinish_ = true;
    std_msgs::Int32 finished;
    finished.data = rows_;
    finishedPub_.publish(finished);
    std::cout << "[motion] recording " << recording_ << ": motionfinished after " << rows_ << " rows" << std::endl;
  }

public:
  // ros::spin, with the joint states published when due.
  void run()
  {
    while (ros::ok())
    {
      ros::getGlobalCallbackQueue()->callAvailable(kPoll);
      jointStates_.publishWhenDue();
    }
  }

private:
  ros::NodeHandle nh_;
  JointStates jointStates_;
  ros::Publisher finishedPub_;
  ros::Subscriber rowSub_;
  ros::Subscriber startStopSub_;
  bool ok_ = true;
  std::string dir_;  // ~recording_dir, ending in '/' unless empty
  double progressEvery_ = 5.0;
  int finishAfterRows_ = 0;
  std::vector<Recording> recordings_;  // empty: rows are not identified

  int recording_ = 0;
  int lastRow_ = -1;  // last row identified in the recording in progress
  int rows_ = 0;
  int malformed_ = 0;
  bool playing_ = false;
  bool askedToFinish_ = false;
  ros::Time firstRow_;
  ros::Time lastLine_;
  int lastLineRows_ = 0;
};
}  // namespace

int main(int argc, char** argv)
{
  ros::init(argc, argv, "motion_executor");
  MotionExecutor executor;
  if (!executor.ok())
    return 1;
  executor.run();
  return 0;
}
