// The session log's line for a tracking result: its fields, in the order the
// console reads them, degrees to 0.1, and no score when nobody was seen.
#include <nao_kinora/tracking_result_log.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
nao_kinora_msgs::JointRange range(const std::string& joint, bool seen, float person, float robot)
{
  nao_kinora_msgs::JointRange r;
  r.joint = joint;
  r.seen = seen;
  r.person_degrees = person;
  r.robot_degrees = robot;
  return r;
}

nao_kinora_msgs::TrackingResult result(bool seen, float score, const std::string& endedBy)
{
  nao_kinora_msgs::TrackingResult r;
  r.recording = 2;
  r.file = "03_arms_to_the_side.txt";
  r.ended_by = endedBy;
  r.seen = seen;
  r.seconds = 12.46f;
  r.follow_score = score;
  r.joints = {range("left shoulder abduction", seen, seen ? 127.96f : 0.0f, 160.04f),
              range("right shoulder abduction", false, 0.0f, 159.96f)};
  return r;
}
}  // namespace

TEST(TrackingResultLog, FieldsInTheConsolesOrder)
{
  struct Case
  {
    nao_kinora_msgs::TrackingResult in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {result(true, 81.6f, "completed"),
       R"({"recording":2,"file":"03_arms_to_the_side.txt","ended by":"completed","seen":true,"seconds":12.5,)"
       R"("follow":82,"joints":[{"joint":"left shoulder abduction","seen":true,"person":128.0,"robot":160.0},)"
       R"({"joint":"right shoulder abduction","seen":false,"person":0.0,"robot":160.0}]})"},
      {result(false, -1.0f, "timeout"),
       R"({"recording":2,"file":"03_arms_to_the_side.txt","ended by":"timeout","seen":false,"seconds":12.5,)"
       R"("follow":null,"joints":[{"joint":"left shoulder abduction","seen":false,"person":0.0,"robot":160.0},)"
       R"({"joint":"right shoulder abduction","seen":false,"person":0.0,"robot":160.0}]})"},
      // Seen, but no moving joint was: no score either.
      {result(true, -1.0f, "skipped"),
       R"({"recording":2,"file":"03_arms_to_the_side.txt","ended by":"skipped","seen":true,"seconds":12.5,)"
       R"("follow":null,"joints":[{"joint":"left shoulder abduction","seen":true,"person":128.0,"robot":160.0},)"
       R"({"joint":"right shoulder abduction","seen":false,"person":0.0,"robot":160.0}]})"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.out, nao_kinora::trackingResultFields(c.in).dump());
}
