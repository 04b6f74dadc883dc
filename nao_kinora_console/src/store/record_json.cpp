#include "nao_kinora_console/store/session_ingest.h"

namespace nao_kinora_console
{
using nlohmann::json;

json exerciseToJson(const ExerciseRecord& r)
{
  return {{"position", r.position},          {"recording", r.recording},    {"outcome", r.outcome},
          {"playing_time", r.playingTime},   {"paused_time", r.pausedTime}, {"tracking_wait", r.trackingWait},
          {"timeout_fired", r.timeoutFired}, {"speeds", r.speeds},          {"moving_joints", r.movingJoints},
          {"variances", r.variances}};
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
