// The person tracker's results in the clinic's record: the session log's
// "tracking result" lines stored with their exercises (a table, on both back
// ends, each log read whole and a few bytes at a time), the report's words,
// the export's fields, each joint's range per session for the patient's
// plot, and the plan's side matching kept with its sessions.
#include "clinic_record_rig.h"

#include "nao_kinora_console/records/tracking_words.h"

#include <gtest/gtest.h>

namespace
{
using namespace clinic_test;
using nlohmann::ordered_json;

ordered_json joint(const char* name, bool seen, ordered_json person, double robot)
{
  return {{"joint", name}, {"seen", seen}, {"person", person}, {"robot", robot}};
}

// The node's line for a result, as the tracker's contract has it.
std::string result(double t, int k, const std::string& file, const char* endedBy, bool seen, ordered_json follow,
                   ordered_json joints, double seconds = 12.5)
{
  return line(t, "tracking result",
              {{"recording", k},
               {"file", file},
               {"ended by", endedBy},
               {"seen", seen},
               {"seconds", seconds},
               {"follow", follow},
               {"joints", joints}});
}

ExerciseTracking tracked(const std::string& endedBy, bool seen, double seconds, double follow,
                         std::vector<JointRange> joints)
{
  ExerciseTracking t;
  t.present = true;
  t.endedBy = endedBy;
  t.seen = seen;
  t.seconds = seconds;
  t.follow = follow;
  t.joints = std::move(joints);
  return t;
}

const ExerciseTracking kNone;
const std::string kFirst = "01_exercise.txt";
const ordered_json kTwoJoints = {joint("left shoulder flexion", true, 128.0, 160.0),
                                 joint("right shoulder flexion", true, 120.4, 158.5)};
const ExerciseTracking kTwoJointsKept =
    tracked("completed", true, 12.5, 82,
            {{"left shoulder flexion", true, 128, 160}, {"right shoulder flexion", true, 120.4, 158.5}});

struct TrackingCase
{
  const char* name;
  std::string log;
  std::vector<ExerciseTracking> expected;  // per exercise, in the order played
};

const std::string kClosing = line(60, "cue", {{"kind", "closing"}, {"file", "bitis.wav"}});

const TrackingCase kCases[] = {
    {"after trackingfinished",
     playedExercise(1, 5) + result(19, 1, kFirst, "completed", true, 82, kTwoJoints),
     {kTwoJointsKept}},
    {"not seen",
     playedExercise(1, 5) +
         result(19, 1, kFirst, "timeout", false, nullptr, {joint("left elbow flexion", false, 0.0, 90.0)}, 30),
     {tracked("timeout", false, 30, -1, {{"left elbow flexion", false, 0, 90}})}},
    {"a joint hidden in an exercise seen",
     playedExercise(1, 5) +
         result(19, 1, kFirst, "skipped", true, 40.5,
                {joint("left knee flexion", false, 55.0, 40.0), joint("left hip flexion", true, 30.0, 35.0)}),
     {tracked("skipped", true, 12.5, 40.5, {{"left knee flexion", false, 0, 40}, {"left hip flexion", true, 30, 35}})}},
    {"once the next exercise has begun",
     playedExercise(1, 5) + playedExercise(2, 20) + result(36, 1, kFirst, "completed", true, 82, kTwoJoints),
     {kTwoJointsKept, kNone}},
    {"after the closing cue",
     playedExercise(1, 5) + kClosing + result(61, 1, kFirst, "ended", true, 82, kTwoJoints),
     {tracked("ended", true, 12.5, 82, kTwoJointsKept.joints)}},
    {"long after the closing cue: another run's",
     playedExercise(1, 5) + kClosing + result(71, 1, kFirst, "completed", true, 82, kTwoJoints),
     {kNone}},
    {"naming another recording",
     playedExercise(1, 5) + result(19, 1, "09_other.txt", "completed", true, 82, kTwoJoints),
     {kNone}},
    {"for an exercise not played",
     playedExercise(1, 5) + result(19, 7, kFirst, "completed", true, 82, kTwoJoints),
     {kNone}},
    {"the later of two counts",
     playedExercise(1, 5) + result(19, 1, kFirst, "completed", true, 82, kTwoJoints) +
         result(20, 1, kFirst, "completed", true, 60, {joint("left shoulder flexion", true, 90.0, 160.0)}),
     {tracked("completed", true, 12.5, 60, {{"left shoulder flexion", true, 90, 160}})}},
    {"odd fields left out",
     playedExercise(1, 5) +
         line(19, "tracking result",
              {{"recording", 1},
               {"ended by", 7},
               {"seen", true},
               {"seconds", -3},
               {"follow", "high"},
               {"joints",
                {"left shoulder flexion",
                 {{"seen", true}},
                 joint("", true, 10.0, 10.0),
                 joint("right elbow flexion", true, "far", 95.0),
                 joint("right elbow flexion", true, 70.0, 95.0),
                 {{"joint", "left hip abduction"}, {"seen", "yes"}, {"person", 20}, {"robot", 25}}}}}),
     {tracked("", true, 0, -1, {{"right elbow flexion", true, 0, 95}, {"left hip abduction", false, 0, 25}})}},
};

class ClinicTracking : public ::testing::TestWithParam<Backend>
{
protected:
  kinora_test::TempDir dir;
  StoreDatabase database{GetParam(), dir.path()};
  std::unique_ptr<ClinicStore> store = openStore(database.where());
  int sessions = 0;

  // A session over the log, read in pieces of step bytes (0: whole), on a
  // patient of its own (one left running would refuse another session).
  int64_t run(const std::string& log, std::size_t step)
  {
    const std::string name = "log" + std::to_string(++sessions);
    const std::string path = dir.write(name, "");
    const int64_t patient = store->addPatient("P-" + name, "").value;
    const int64_t id = store->beginSession({patient, 0, 1, path, 0, 100}).value;
    for (std::size_t at = 0; at < log.size(); at += step ? step : log.size())
    {
      append(path, log.substr(at, step ? step : log.size()));
      EXPECT_TRUE(store->ingestLog(id).ok());
    }
    return id;
  }
};
INSTANTIATE_TEST_SUITE_P(Backends, ClinicTracking, ::testing::ValuesIn(kBackends),
                         [](const ::testing::TestParamInfo<Backend>& info) { return backendName(info.param); });

void expectTracking(const ExerciseTracking& want, const ExerciseTracking& got)
{
  EXPECT_EQ(want.present, got.present);
  EXPECT_EQ(want.endedBy, got.endedBy);
  EXPECT_EQ(want.seen, got.seen);
  EXPECT_DOUBLE_EQ(want.seconds, got.seconds);
  EXPECT_DOUBLE_EQ(want.follow, got.follow);
  ASSERT_EQ(want.joints.size(), got.joints.size());
  for (std::size_t k = 0; k < want.joints.size(); ++k)
  {
    EXPECT_EQ(want.joints[k].joint, got.joints[k].joint) << k;
    EXPECT_EQ(want.joints[k].seen, got.joints[k].seen) << k;
    EXPECT_DOUBLE_EQ(want.joints[k].person, got.joints[k].person) << k;
    EXPECT_DOUBLE_EQ(want.joints[k].robot, got.joints[k].robot) << k;
  }
}

TEST_P(ClinicTracking, ResultsAreStoredWithTheirExercise)
{
  for (const TrackingCase& c : kCases)
    for (const std::size_t step : {std::size_t(0), std::size_t(97)})
    {
      SCOPED_TRACE(std::string(c.name) + (step ? ", read 97 bytes at a time" : ", read whole"));
      const int64_t id = run(c.log, step);
      // Read back by a console opened afresh: what is stored, not what was kept in memory.
      const auto exercises = openStore(database.where())->exercises(id);
      ASSERT_TRUE(exercises.ok()) << exercises.error;
      ASSERT_EQ(c.expected.size(), exercises.value.size());
      for (std::size_t k = 0; k < c.expected.size(); ++k)
        expectTracking(c.expected[k], exercises.value[k].tracking);
    }
}

struct WordsCase
{
  ExerciseTracking tracking;
  std::string words;
};

TEST(ClinicTrackingWords, AsTheReportShowsThem)
{
  const WordsCase cases[] = {
      {tracked("completed", true, 9, 82, {{"left shoulder flexion", true, 128.4, 160.0}}),
       "Left shoulder flexion 128° (robot 160°) · follow 82"},
      {kTwoJointsKept,
       "Left shoulder flexion 128° (robot 160°) · Right shoulder flexion 120° (robot 159°) · follow 82"},
      {tracked("timeout", false, 30, -1, {{"left elbow flexion", false, 0, 90}}), "not seen"},
      {tracked("skipped", true, 4, 40.5, {{"left knee flexion", false, 0, 39.6}, {"left hip flexion", true, 29.5, 35}}),
       "Left knee flexion not seen (robot 40°) · Left hip flexion 30° (robot 35°) · follow 41"},
      {tracked("completed", true, 9, 100, {}), "follow 100"},
      {tracked("completed", true, 9, 0, {{"right hip abduction", true, 0.4, 12}}),
       "Right hip abduction 0° (robot 12°) · follow 0"},
      {kNone, ""},
  };
  for (const WordsCase& c : cases)
    EXPECT_EQ(c.words, trackingWords(c.tracking));
  EXPECT_EQ("Left knee flexion not seen (robot 40°); Left hip flexion 30° (robot 35°)",
            rangesWords(cases[3].tracking.joints));
}

// Two sessions with results and one without: the export carries each
// exercise's result (JSON: the numbers; CSV: four fields at the end), and the
// plot's data is each joint's largest range per session.
TEST_P(ClinicTracking, ExportAndProgress)
{
  setenv("TZ", "UTC", 1);
  tzset();
  const int64_t p = store->addPatient("P-0007", "").value;
  const int64_t plan = store->savePlan(p, "week 1", 1.0, {kFirst, "02_exercise.txt"}, false).value;
  std::vector<int64_t> ids;
  const std::string logs[] = {
      playedExercise(1, 5) + result(19, 1, kFirst, "completed", true, 82, kTwoJoints) + playedExercise(2, 20) +
          result(35, 2, "02_exercise.txt", "timeout", true, 64.25,
                 {joint("left shoulder flexion", true, 131.5, 150.0), joint("left elbow flexion", false, 0.0, 80.0)}) +
          kClosing,
      playedExercise(1, 5) +
          result(19, 1, kFirst, "completed", false, nullptr, {joint("left shoulder flexion", false, 0.0, 160.0)}) +
          kClosing,
      playedExercise(1, 5) +
          result(19, 1, kFirst, "completed", true, 90, {joint("left shoulder flexion", true, 140.0, 160.0)}) + kClosing,
  };
  for (int k = 0; k < 3; ++k)
  {
    const std::string log = dir.write("s" + std::to_string(k), "");
    ids.push_back(store->beginSession({p, plan, 1, log, 0, 1000.0 + 100 * k}).value);
    append(log, logs[k]);
    ASSERT_TRUE(store->ingestLog(ids.back()).ok());
  }
  EXPECT_FALSE(store->session(ids[0]).value.planMirror);

  const nlohmann::json j = nlohmann::json::parse(store->exportJson(p).value);
  EXPECT_EQ(false, j["plans"][0]["mirror"]);
  EXPECT_EQ(false, j["sessions"][0]["plan_mirror"]);
  EXPECT_EQ(nlohmann::json::parse(R"({"ended_by": "timeout", "seen": true, "seconds": 12.5, "follow": 64.25,
    "joints": [{"joint": "left shoulder flexion", "seen": true, "person_degrees": 131.5, "robot_degrees": 150.0},
               {"joint": "left elbow flexion", "seen": false, "person_degrees": 0.0, "robot_degrees": 80.0}]})"),
            j["sessions"][0]["exercises"][1]["tracking"]);
  EXPECT_TRUE(j["sessions"][1]["exercises"][0]["tracking"]["follow"].is_null());
  EXPECT_EQ(false, j["sessions"][1]["exercises"][0]["tracking"]["seen"]);

  const std::string csv = store->exportCsv(p, nullptr).value;
  const std::string header = csv.substr(0, csv.find("\r\n"));
  EXPECT_EQ(",tracked_by,seen,follow,ranges", header.substr(header.find(",checkin_note") + 13));
  const auto row = [&](int k)
  {
    std::size_t at = 0;
    for (int n = 0; n <= k; ++n)
      at = csv.find("\r\n", at) + 2;
    return csv.substr(at, csv.find("\r\n", at) - at);
  };
  const auto ends = [](const std::string& text, const std::string& end)
  { return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0; };
  EXPECT_TRUE(ends(row(0),
                   ",completed,1,82.000,Left shoulder flexion 128° (robot 160°); Right shoulder flexion 120° "
                   "(robot 159°)"))
      << row(0);
  EXPECT_TRUE(ends(row(1),
                   ",timeout,1,64.250,Left shoulder flexion 132° (robot 150°); Left elbow flexion not seen "
                   "(robot 80°)"))
      << row(1);
  EXPECT_TRUE(ends(row(2), ",completed,0,,Left shoulder flexion not seen (robot 160°)")) << row(2);

  // The plot: the first session's best left shoulder flexion is 131.5 of
  // its two exercises; the second session saw nobody; the third 140.
  const auto ranges = store->sessionRanges(p);
  ASSERT_TRUE(ranges.ok()) << ranges.error;
  std::vector<std::string> got;
  for (const SessionRange& r : ranges.value)
    got.push_back(std::to_string(r.sessionId - ids[0]) + " " + r.joint + " " + std::to_string(r.person) + " " +
                  std::to_string(r.robot));
  EXPECT_EQ((std::vector<std::string>{"0 left shoulder flexion 131.500000 160.000000",
                                      "0 right shoulder flexion 120.400000 158.500000",
                                      "2 left shoulder flexion 140.000000 160.000000"}),
            got);
  // The latest two sessions only, as the patient's page asks.
  ASSERT_EQ(1u, store->sessionRanges(p, 2).value.size());
  EXPECT_EQ(ids[2], store->sessionRanges(p, 2).value[0].sessionId);
}

// Deleting the patient leaves none of their results behind.
TEST(ClinicTrackingDelete, LeavesNoRangeInTheFile)
{
  kinora_test::TempDir dir;
  const std::string path = dir.path() + "clinic.db";
  auto store = openStore(path);
  const int64_t p = store->addPatient("GONE-1", "").value;
  const std::string log = dir.write("log", "");
  const int64_t s = store->beginSession({p, 0, 1, log}).value;
  append(log, playedExercise(1, 5) +
                  result(19, 1, kFirst, "completed", true, 82, {joint("gone-joint-40917", true, 12.0, 20.0)}) +
                  kClosing);
  ASSERT_TRUE(store->ingestLog(s).ok());
  const auto bytes = [&] { return kinora_test::readFile(path) + kinora_test::readFile(path + "-wal"); };
  ASSERT_NE(std::string::npos, bytes().find("gone-joint-40917"));
  ASSERT_TRUE(store->deletePatient(p, "GONE-1").ok());
  EXPECT_EQ(std::string::npos, bytes().find("gone-joint-40917"));
}

// The node says its closing cue and pauses before it ends: the follower reads
// the session on until the node has ended, so the tracker's result for the
// last exercise, logged then, is kept; after that, nothing more is read.
TEST(ClinicTrackingFollower, TheLastResultIsReadWhileTheNodeSaysGoodbye)
{
  NodeRig node;
  ApiRig& rig = node.rig;
  const int64_t plan = addPlan(rig, addPatient(rig, "P-0002"), 1.0, {"a.txt"});
  const int64_t s = node.start("/plans/" + std::to_string(plan) + "/start")["session"];
  const std::string log = rig.store->sessionLog(s).value;
  append(log, line(5, "recording loaded", {{"recording", 1}, {"path", "/l/a.txt"}}) +
                  line(6, "start signal", {{"recording", 1}}) + line(9, "last row sent", {{"row", 4}}) +
                  line(9, "report", {{"recording", 1}}) + line(9, "stop signal", {{"recording", 1}}) +
                  line(10, "cue", {{"kind", "closing"}}));
  node.follower.round();
  EXPECT_EQ("completed", rig.store->session(s).value.outcome);
  EXPECT_FALSE(rig.store->exercises(s).value.at(0).tracking.present);
  append(log, result(12, 1, "a.txt", "completed", true, 82, {joint("left shoulder flexion", true, 128.0, 160.0)}));
  node.follower.round();
  EXPECT_EQ(82, rig.store->exercises(s).value.at(0).tracking.follow);
  rig.dir.write("stop", "");
  node.waitExits();
  node.follower.round();
  // Closed: a line written after the node ended is not this session's.
  append(log, result(13, 1, "a.txt", "completed", true, 10, {}));
  node.follower.round();
  EXPECT_EQ("Left shoulder flexion 128° (robot 160°) · follow 82",
            trackingWords(rig.store->exercises(s).value.at(0).tracking));
  EXPECT_EQ("completed", rig.store->session(s).value.outcome);
}

struct MirrorCase
{
  const char* body;  // a plan's fields besides name, speed and items
  int status;
  std::string says;
  bool mirror;  // as stored, when saved
};

// The plan's side matching through the clinic's requests: saved, refused
// when not true or false, copied to the session started from it, and to the
// session that takes that one up again even after the plan changed.
TEST(ClinicTrackingMirror, PlanSettingKeptWithItsSessions)
{
  const MirrorCase cases[] = {
      {"", 201, "", true},
      {R"(, "mirror": false)", 201, "", false},
      {R"(, "mirror": true)", 201, "", true},
      {R"(, "mirror": "no")", 400, "mirror: must be true or false", true},
      {R"(, "mirror": 0)", 400, "mirror: must be true or false", true},
      {R"(, "mirror": null)", 400, "mirror: must be true or false", true},
  };
  NodeRig node;
  ApiRig& rig = node.rig;
  rig.dir.write("stop", "");  // each stand-in ends once started
  const int64_t patient = addPatient(rig, "P-0001");
  int n = 0;
  for (const MirrorCase& c : cases)
  {
    SCOPED_TRACE(c.body);
    const std::string body =
        R"({"name": "plan )" + std::to_string(++n) + R"(", "speed": 1, "items": ["a.txt"])" + c.body + "}";
    const ApiReply r = rig.ask("POST", "/patients/" + std::to_string(patient) + "/plans", body);
    EXPECT_EQ(c.status, r.status) << r.body.dump();
    EXPECT_EQ(c.says, r.body.value("message", ""));
    if (r.status == 201)
    {
      EXPECT_EQ(c.mirror, rig.store->plan(r.body["id"]).value.mirror);
    }
  }
  const std::string sides = R"({"name": "sides", "speed": 1, "items": ["a.txt", "b.txt"], "mirror": )";
  const int64_t plan = rig.ask("POST", "/patients/" + std::to_string(patient) + "/plans", sides + "false}").body["id"];
  const json page = rig.ask("GET", "/patients/" + std::to_string(patient)).body;
  ASSERT_EQ(4u, page["plans"].size());
  EXPECT_EQ(plan, page["plans"][3]["id"]);
  EXPECT_EQ(false, page["plans"][3]["mirror"]);

  const int64_t first = node.start("/plans/" + std::to_string(plan) + "/start")["session"];
  EXPECT_EQ(false, rig.ask("GET", S(first)).body["session"]["planMirror"]);
  append(rig.store->sessionLog(first).value, line(5, "recording loaded", {{"recording", 1}, {"path", "/l/a.txt"}}) +
                                                 line(6, "start signal", {{"recording", 1}}) + line(7, "end") +
                                                 line(8, "cue", {{"kind", "closing"}}));
  rig.store->ingestLog(first);
  // The plan now matches sides as a mirror; the session ended in exercise 1
  // is taken up again with its own copy.
  ASSERT_EQ(200, rig.ask("PUT", "/plans/" + std::to_string(plan), sides + "true}").status);
  EXPECT_TRUE(rig.store->plan(plan).value.mirror);
  const int64_t again = node.start(S(first) + "/resume")["session"];
  EXPECT_FALSE(rig.store->session(again).value.planMirror);
  append(rig.store->sessionLog(again).value, line(5, "cue", {{"kind", "closing"}}));
  rig.store->ingestLog(again);
  const int64_t fresh = node.start("/plans/" + std::to_string(plan) + "/start")["session"];
  EXPECT_TRUE(rig.store->session(fresh).value.planMirror);
  EXPECT_EQ(true, rig.ask("GET", S(fresh)).body["session"]["planMirror"]);
}
}  // namespace
