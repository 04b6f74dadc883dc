// Where a running session stands, for the people beside it: the latched
// ~status topic (nao_kinora_msgs/SessionStatus) and the node's health on
// /diagnostics. Both are published from the main thread: on every change of
// phase or of the pause, and about once a second, never per row.
#ifndef NAO_KINORA_SESSION_STATUS_H
#define NAO_KINORA_SESSION_STATUS_H

#include "nao_kinora/node_endpoints.h"
#include "nao_kinora/operator_state.h"
#include "nao_kinora/timeline.h"

#include <diagnostic_updater/diagnostic_updater.h>
#include <nao_kinora_msgs/SessionStatus.h>
#include <ros/ros.h>

#include <string>
#include <vector>

namespace nao_kinora
{
// Seconds between two status messages while nothing changes.
const double kStatusPeriodSeconds = 0.9;

class StatusPublisher
{
public:
  // plan: the session's timeline, for the estimate of the time left.
  StatusPublisher(NaoKinora& obj, const SessionTimeline& plan);
  ~StatusPublisher();
  StatusPublisher(const StatusPublisher&) = delete;
  StatusPublisher& operator=(const StatusPublisher&) = delete;

  // Publishes the status when force or when it is due; lets the diagnostics
  // publish when theirs is.
  void publish(bool force, const ros::Time& at = ros::Time());

  // What the main thread says besides the phase.
  void cueSent(const std::string& file);
  void reported(int recording, const std::vector<int>& moving);
  void skipped(int recording);

private:
  void fill(const Where& w, const ros::Time& now);
  double plannedPosition(const Where& w) const;
  const RecordingTimeline* planned(int recording) const;
  void diagnose(diagnostic_updater::DiagnosticStatusWrapper& stat);

  NaoKinora& obj_;
  const SessionTimeline& plan_;
  ros::NodeHandle privateNh_;
  ros::Publisher statusPub_;
  diagnostic_updater::Updater diagnostics_;
  nao_kinora_msgs::SessionStatus msg_;
  ros::Time lastPublished_;
  ros::Time sessionStart_;  // the greeting's start on the pause clock
  ros::Time waitStart_;     // the wait for tracking's start on the pause clock
  Phase lastPhase_;
  std::string skippedNote_;  // why the diagnostics say ERROR, once a recording was skipped
};

// The main thread's notes for the status; nothing happens without a StatusPublisher.
void noteCue(const std::string& file);
void noteReport(int recording, const std::vector<int>& moving);
void noteSkipped(int recording);
}  // namespace nao_kinora

#endif  // NAO_KINORA_SESSION_STATUS_H
