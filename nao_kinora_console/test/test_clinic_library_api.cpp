// The exercise library and a plan's timeline as the clinic's requests give
// them: what the node would load and play, and a recording's problems in
// words without the folder's path.
#include "clinic_api_fixture.h"

#include <gtest/gtest.h>

#include <nao_kinora/command_line.h>
#include <nao_kinora/timeline.h>

namespace
{
using namespace clinic_test;
using nlohmann::json;

TEST(ClinicApi, TimelineIsTheNodesModel)
{
  ApiRig rig;
  const int64_t patient = rig.store->addPatient("P-1", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", 1.0, {"a.txt", "b.txt", "c.txt"}).value;
  nao_kinora::setRecordingDir(rig.dir.path() + "library/");
  const nao_kinora::SessionTimeline model = nao_kinora::planSession({3, {"a.txt", "b.txt", "c.txt"}, 2});
  const json t = rig.ask("GET", "/plans/" + std::to_string(plan) + "/timeline?first=2").body;
  EXPECT_EQ("", t["error"]);
  EXPECT_EQ(2, t["first"]);
  EXPECT_DOUBLE_EQ(model.length(), t["length"].get<double>());
  ASSERT_EQ(2u, t["exercises"].size());
  for (std::size_t k = 0; k < 2; ++k)
  {
    EXPECT_EQ(model.recordings[k].name, t["exercises"][k]["name"]);
    EXPECT_EQ(static_cast<int>(k) + 2, t["exercises"][k]["position"]);
    EXPECT_DOUBLE_EQ(model.recordings[k].length(), t["exercises"][k]["length"].get<double>());
    EXPECT_EQ(model.recordings[k].opening.size() + model.recordings[k].feedback.size(),
              t["exercises"][k]["cues"].get<std::size_t>());
  }
}

TEST(ClinicApi, LibraryAsTheNodeWouldSeeIt)
{
  ApiRig rig;
  const json lib = rig.ask("GET", "/library").body;
  ASSERT_EQ(4u, lib["recordings"].size());
  const json a = lib["recordings"][0];
  const json broken = lib["recordings"][2];
  EXPECT_EQ("a.txt", a["name"]);
  EXPECT_EQ(true, a["playable"]);
  EXPECT_EQ(5, a["rows"]);
  EXPECT_EQ((std::vector<std::string>{nao_kinora::jointName(3), nao_kinora::jointName(5)}),
            a["movingJoints"].get<std::vector<std::string>>());
  EXPECT_EQ((std::vector<std::string>{"left shoulder roll", "left elbow roll"}),
            a["movingWords"].get<std::vector<std::string>>());
  EXPECT_EQ("broken.txt", broken["name"]);
  EXPECT_EQ(false, broken["playable"]);
  ASSERT_EQ(1u, broken["problems"].size());
  EXPECT_NE(std::string::npos, broken["problems"][0].get<std::string>().find("broken.txt:1"));
  EXPECT_EQ(json::array({"Not an exercise: line 1 is not a row of joint angles."}), broken["problemWords"]);

  const json rows = rig.ask("GET", "/library/b.txt/rows").body;
  ASSERT_EQ(8u, rows["rows"].size());
  EXPECT_EQ(22u, rows["joints"].size());
  EXPECT_FLOAT_EQ(0.7f, rows["rows"][7][3].get<float>());
  EXPECT_FLOAT_EQ(2.0f, rows["rows"][0][22].get<float>());  // row 0 is held 2 s, as the node holds it
}

TEST(ClinicApi, RecordingProblemsInWordsWithoutThePath)
{
  using nao_kinora::RecordingProblem;
  const std::pair<RecordingProblem, std::string> problems[] = {
      {{RecordingProblem::kCannotOpen, 0, ""}, "The file cannot be opened."},
      {{RecordingProblem::kNoRow, 0, ""}, "Not an exercise: the file is empty."},
      {{RecordingProblem::kNoRow, 3, ""}, "Not an exercise: line 3 is not a row of joint angles."},
      {{RecordingProblem::kStopsEarly, 41, ""},
       "Only the first 40 rows play: line 41 is not a row of joint angles, and nothing after it is played."},
      {{RecordingProblem::kOddDuration, 7, ""},
       "Line 7 holds its pose for an odd time (below zero, not a number, or over an hour)."},
  };
  for (const auto& p : problems)
    EXPECT_EQ(p.second, nao_kinora_console::problemWords(p.first));
}
}  // namespace
