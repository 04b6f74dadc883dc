#include "nao_kinora_console/records/session_ingest.h"

namespace nao_kinora_console
{
using nlohmann::json;

json speedsToJson(const std::vector<SpeedAt>& speeds)
{
  json list = json::array();
  for (const SpeedAt& s : speeds)
    list.push_back({{"speed", s.speed}, {"at", s.at < 0 ? json() : json(s.at)}});
  return list;
}

std::vector<SpeedAt> speedsFromJson(const std::string& text)
{
  const json list = json::parse(text, nullptr, false);
  std::vector<SpeedAt> out;
  if (!list.is_array())
    return out;
  for (const json& item : list)
  {
    if (item.is_number())  // a record from before times were kept
      out.push_back({item.get<double>(), -1});
    else if (item.is_object() && item.value("speed", json()).is_number())
      out.push_back(
          {item["speed"].get<double>(), item.value("at", json()).is_number() ? item["at"].get<double>() : -1});
  }
  return out;
}

const char* planKeptName(PlanKept kept)
{
  return kept == PlanKept::kAtUpgrade ? "upgrade" : kept == PlanKept::kNone ? "none" : "start";
}

json trackingToJson(const ExerciseTracking& t)
{
  if (!t.present)
    return nullptr;
  json joints = json::array();
  for (const JointRange& j : t.joints)
    joints.push_back({{"joint", j.joint}, {"seen", j.seen}, {"person_degrees", j.person}, {"robot_degrees", j.robot}});
  return {{"ended_by", t.endedBy},
          {"seen", t.seen},
          {"seconds", t.seconds},
          {"follow", t.follow < 0 ? json() : json(t.follow)},
          {"joints", joints}};
}

json exerciseToJson(const ExerciseRecord& r)
{
  return {{"position", r.position},
          {"recording", r.recording},
          {"outcome", r.outcome},
          {"playing_time", r.playingTime},
          {"paused_time", r.pausedTime},
          {"tracking_wait", r.trackingWait},
          {"timeout_fired", r.timeoutFired},
          {"speeds", speedsToJson(r.speeds)},
          {"moving_joints", r.movingJoints},
          {"variances", r.variances},
          {"tracking", trackingToJson(r.tracking)}};
}

json foldToJson(const SessionFold& f)
{
  return {{"outcome", f.outcome},
          {"first_time", f.firstTime},
          {"last_time", f.lastTime},
          {"end_time", f.endTime},
          {"speed", f.speed},
          {"end_requested", f.endRequested},
          {"paused_since", f.pausedSince},
          {"paused_exercise", f.pausedExercise},
          {"started_at", f.startedAt},
          {"paused_in_play", f.pausedInPlay},
          {"wait_since", f.waitSince},
          {"skip_requested", f.skipRequested},
          {"all_rows_sent", f.allRowsSent}};
}

bool foldFromJson(const std::string& text, SessionFold& f)
{
  const json j = json::parse(text, nullptr, false);
  if (!j.is_object())
    return false;
  try
  {
    SessionFold read;
    read.outcome = j.at("outcome").get<std::string>();
    read.firstTime = j.at("first_time").get<double>();
    read.lastTime = j.at("last_time").get<double>();
    read.endTime = j.at("end_time").get<double>();
    read.speed = j.at("speed").get<double>();
    read.endRequested = j.at("end_requested").get<bool>();
    read.pausedSince = j.at("paused_since").get<double>();
    read.pausedExercise = j.at("paused_exercise").get<int>();
    read.startedAt = j.at("started_at").get<double>();
    read.pausedInPlay = j.at("paused_in_play").get<double>();
    read.waitSince = j.at("wait_since").get<double>();
    read.skipRequested = j.at("skip_requested").get<bool>();
    read.allRowsSent = j.at("all_rows_sent").get<bool>();
    read.exercises = std::move(f.exercises);
    f = std::move(read);
    return true;
  }
  catch (const json::exception&)
  {
    return false;
  }
}
}  // namespace nao_kinora_console
