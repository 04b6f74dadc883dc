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
  const nao_kinora::SessionTimeline model = nao_kinora::planSession(ownCuesPlan({"a.txt", "b.txt", "c.txt"}, 2));
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

// Each exercise's own cues from its cue file: shown in the library with one
// figure of time, in the timeline, given a new introduction whole; a cue
// file that cannot be read makes its exercise unplayable.
TEST(ClinicApi, EachExercisesOwnCuesFromItsCueFile)
{
  ApiRig rig;
  rig.dir.write("library/b.txt.cues", R"({"introduction": [{"cue": "kollaryana.wav", "pause": 5}],
                                          "feedback": [{"row": 2, "cue": "iyi.wav"}]})");
  rig.dir.write("library/c.txt.cues", "not JSON");
  const json lib = rig.ask("GET", "/library").body;
  ASSERT_EQ(4u, lib["recordings"].size()) << "no cue file listed as an exercise";
  const json a = lib["recordings"][0], b = lib["recordings"][1], c = lib["recordings"][3];
  EXPECT_EQ("A", a["title"]);
  EXPECT_EQ(json({{"movement", a["playingTime"]}, {"introduction", 0.0}}), a["time"]);
  EXPECT_EQ("None", a["introductionWords"]);
  EXPECT_EQ("", a["cueFile"]);
  EXPECT_EQ(json({{"movement", b["playingTime"]}, {"introduction", 5.0}}), b["time"]);
  EXPECT_EQ("Introduction: arms to the side", b["introductionWords"]);
  EXPECT_EQ(1, b["feedbackCues"]);
  EXPECT_EQ("b.txt.cues", b["cueFile"]);
  EXPECT_EQ("c.txt", c["name"]);
  EXPECT_EQ(false, c["playable"]);
  EXPECT_NE(std::string::npos, c["problemWords"].back().get<std::string>().find("spoken cues cannot be read"));
  ASSERT_EQ(1u, lib["introductions"].size());
  EXPECT_EQ("Introduction: arms to the side", lib["introductions"][0]["words"]);

  // The timeline: b introduced by its own, a by none, though a plays first.
  const int64_t patient = rig.store->addPatient("P-1", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", 1.0, {"b.txt", "a.txt"}).value;
  const json t = rig.ask("GET", "/plans/" + std::to_string(plan) + "/timeline").body;
  EXPECT_DOUBLE_EQ(5.0, t["exercises"][0]["time"]["introduction"].get<double>());
  EXPECT_DOUBLE_EQ(0.0, t["exercises"][1]["time"]["introduction"].get<double>());
  EXPECT_DOUBLE_EQ(t["exercises"][0]["length"].get<double>(),
                   t["exercises"][0]["time"]["movement"].get<double>() + 5.0);
  EXPECT_EQ(R"([{"feedback":[{"cue":"iyi.wav","row":2}],"introduction":[{"cue":"kollaryana.wav","pause":5.0}]},)"
            R"({"feedback":[],"introduction":[]}])",
            rig.library.sessionCues({"b.txt", "a.txt"}));

  // a given b's introduction: its cue file written whole; then none again.
  const ApiReply set =
      rig.ask("PUT", "/library/a.txt/introduction", R"({"introduction": [{"cue": "kollaryana.wav", "pause": 5}]})");
  ASSERT_EQ(200, set.status) << set.body.dump();
  EXPECT_EQ("Introduction: arms to the side", set.body["words"]);
  EXPECT_EQ(json::parse(R"({"introduction": [{"cue": "kollaryana.wav", "pause": 5.0}], "feedback": []})"),
            json::parse(kinora_test::readFile(rig.dir.path() + "library/a.txt.cues")));
  EXPECT_EQ(
      400,
      rig.ask("PUT", "/library/a.txt/introduction", R"({"introduction": [{"cue": "../x.wav", "pause": 5}]})").status);
  EXPECT_EQ(400, rig.ask("PUT", "/library/a.txt/introduction", R"({"introduction": "kollaryana.wav"})").status);
  EXPECT_EQ(404, rig.ask("PUT", "/library/nothing.txt/introduction", R"({"introduction": []})").status);
  EXPECT_EQ(200, rig.ask("PUT", "/library/b.txt/introduction", R"({"introduction": []})").status);
  EXPECT_EQ(json::parse(R"({"introduction": [], "feedback": [{"row": 2, "cue": "iyi.wav"}]})"),
            json::parse(kinora_test::readFile(rig.dir.path() + "library/b.txt.cues")))
      << "its feedback cues kept";
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
