// The clinic's requests without HTTP: one table of every refusal (bad code,
// speed, plan items, unknown ids, bodies, Start while a session runs), each
// leaving the records as they were; then what the accepted ones answer.
#include "clinic_api_fixture.h"

#include <gtest/gtest.h>

#include <map>

#include <nao_kinora/command_line.h>
#include <nao_kinora/timeline.h>
#include "nao_kinora_console/session/status_view.h"

namespace
{
using namespace clinic_test;
using nlohmann::json;

struct Refusal
{
  const char* name;
  const char* method;
  std::string target;  // {p}: the patient, {plan}: their plan, {s}: their session
  std::string body;
  int status;
  std::string says;  // part of the answer's message
  bool coachRunning = false;
};

void PrintTo(const Refusal& c, std::ostream* out)
{
  *out << c.method << " " << c.target;
}

std::string fill(std::string text, const std::map<std::string, std::string>& values)
{
  for (const auto& v : values)
    for (std::size_t at; (at = text.find(v.first)) != std::string::npos;)
      text.replace(at, v.first.size(), v.second);
  return text;
}

const std::string kPlan = R"({"name": "week 2", "speed": 1.0, "items": ["a.txt"]})";
const std::string kNoPatient = "This patient is not in the records (they may have been deleted).";
const std::string kNoPlan = "This plan is not in the records (it may have been deleted).";
const std::string kNoSession = "This session is not in the records (it may have been deleted with its patient).";

const Refusal kRefusals[] = {
    {"code is a name", "POST", "/patients", R"({"code": "Jane Doe"})", 400, "patient code: only letters"},
    {"code empty", "POST", "/patients", R"({"code": ""})", 400, "patient code: empty"},
    {"code too long", "POST", "/patients", "{\"code\": \"" + std::string(33, 'P') + "\"}", 400, "at most 32"},
    {"code taken", "POST", "/patients", R"({"code": "P-0001"})", 409, "A patient with the code P-0001 already exists."},
    {"code taken in another case", "POST", "/patients", R"({"code": "p-0001"})", 409,
     "A patient with the code P-0001 already exists."},
    {"code missing", "POST", "/patients", R"({"note": "x"})", 400, "code: missing"},
    {"code a number", "POST", "/patients", R"({"code": 7})", 400, "code: must be text"},
    {"note a list", "POST", "/patients", R"({"code": "P-0009", "note": []})", 400, "note: must be text"},
    {"body not JSON", "POST", "/patients", "{", 400, "body: not a JSON object"},
    {"body a list", "POST", "/patients", "[1]", 400, "body: not a JSON object"},
    {"body too large", "POST", "/patients", "{\"code\": \"" + std::string(16400, 'P') + "\"}", 413, "body: at most"},
    {"unknown patient", "GET", "/patients/999", "", 404, kNoPatient},
    {"patient id not a number", "GET", "/patients/x1", "", 404, "no such clinic request"},
    {"note of unknown patient", "PUT", "/patients/999", R"({"note": ""})", 404, kNoPatient},
    {"export of unknown patient", "GET", "/patients/999/export.csv", "", 404, kNoPatient},
    {"delete with another code", "DELETE", "/patients/{p}", R"({"confirm": "P-0002"})", 400,
     "To delete this patient, type their code P-0001 exactly."},
    {"delete without a code", "DELETE", "/patients/{p}", "{}", 400, "confirm: missing"},
    {"delete unknown patient", "DELETE", "/patients/999", R"({"confirm": "P-0001"})", 404, kNoPatient},
    {"delete while their session runs", "DELETE", "/patients/{p}", R"({"confirm": "P-0001"})", 409,
     "A session of this patient is running: end it before deleting them."},
    {"speed too slow", "POST", "/patients/{p}/plans", R"({"name": "w", "speed": 0.2, "items": []})", 400,
     "speed: 0.2; from 0.25 to 2.0"},
    {"speed too fast", "PUT", "/plans/{plan}", R"({"name": "w", "speed": 2.5, "items": []})", 400, "speed: 2.5"},
    {"speed as text", "POST", "/patients/{p}/plans", R"({"name": "w", "speed": "fast", "items": []})", 400,
     "speed: must be a number"},
    {"speed missing", "POST", "/patients/{p}/plans", R"({"name": "w", "items": []})", 400, "speed: missing"},
    {"unplayable recording", "POST", "/patients/{p}/plans", R"({"name": "w", "speed": 1, "items": ["broken.txt"]})",
     400, "items: broken.txt cannot be played"},
    // The robot's joint limits (fast.txt allows up to 1.378x, far.txt goes past a range).
    {"plan faster than an exercise allows", "POST", "/patients/{p}/plans",
     R"({"name": "w", "speed": 1.5, "items": ["a.txt", "fast.txt"]})", 400,
     "speed: 1.5× is too fast for fast.txt: the left shoulder would move faster than the robot can at 0:02.0; it "
     "allows at most 1.37×"},
    {"plan edited faster than an exercise allows", "PUT", "/plans/{plan}",
     R"({"name": "w", "speed": 2, "items": ["fast.txt"]})", 400, "speed: 2× is too fast for fast.txt"},
    {"exercise past the robot's range", "POST", "/patients/{p}/plans",
     R"({"name": "w", "speed": 1, "items": ["far.txt"]})", 400,
     "items: far.txt cannot be played (At 0:02.1 the left shoulder goes further than the robot can.)"},
    {"start a plan saved faster than an exercise allows", "POST", "/plans/{fast}/start", "{}", 409,
     "speed: 2× is too fast for fast.txt"},
    {"recording not in the library", "PUT", "/plans/{plan}",
     R"({"name": "w", "speed": 1, "items": ["a.txt", "zz.txt"]})", 400, "zz.txt is not in the exercise library"},
    {"recording in another folder", "POST", "/patients/{p}/plans",
     R"({"name": "w", "speed": 1, "items": ["../clinic.db"]})", 400, "recording"},
    {"items not a list", "POST", "/patients/{p}/plans", R"({"name": "w", "speed": 1, "items": "a.txt"})", 400,
     "items: must be a list"},
    {"item not text", "POST", "/patients/{p}/plans", R"({"name": "w", "speed": 1, "items": [3]})", 400,
     "items: must be a list"},
    {"plan name empty", "POST", "/patients/{p}/plans", R"({"name": "", "speed": 1, "items": []})", 400,
     "plan name: empty"},
    {"plan name taken", "POST", "/patients/{p}/plans", R"({"name": "week 1", "speed": 1, "items": []})", 409,
     "This patient already has a plan called \"week 1\": choose another name."},
    {"plan of unknown patient", "POST", "/patients/999/plans", kPlan, 404, kNoPatient},
    {"edit unknown plan", "PUT", "/plans/999", kPlan, 404, kNoPlan},
    {"delete unknown plan", "DELETE", "/plans/999", "", 404, kNoPlan},
    {"timeline of unknown plan", "GET", "/plans/999/timeline", "", 404, kNoPlan},
    {"start unknown plan", "POST", "/plans/999/start", "{}", 404, kNoPlan},
    {"start an empty plan", "POST", "/plans/{empty}/start", "{}", 400, "items: the plan has no exercise"},
    {"start while a session runs", "POST", "/plans/{plan}/start", "{}", 409, "A session is running", true},
    {"resume while a session runs", "POST", "/sessions/{ended}/resume", "{}", 409, "A session is running", true},
    {"resume a running session", "POST", "/sessions/{s}/resume", "{}", 409, "is running"},
    {"resume unknown session", "POST", "/sessions/999/resume", "{}", 404, kNoSession},
    {"unknown session", "GET", "/sessions/999", "", 404, kNoSession},
    {"check-in of unknown session", "POST", "/sessions/999/checkins", R"({"position": 1})", 404, kNoSession},
    {"effort 11", "POST", "/sessions/{s}/checkins", R"({"position": 1, "effort": 11})", 400,
     "effort: must be a whole number from 0 to 10"},
    {"pain -1", "POST", "/sessions/{s}/checkins", R"({"position": 1, "pain": -1})", 400, "pain: must be"},
    {"effort 2.5", "POST", "/sessions/{s}/checkins", R"({"position": 1, "effort": 2.5})", 400, "effort: must be"},
    {"check-in without position", "POST", "/sessions/{s}/checkins", R"({"effort": 2})", 400, "position: missing"},
    {"check-in note a number", "POST", "/sessions/{s}/checkins", R"({"position": 1, "note": 5})", 400,
     "note: must be text"},
    {"rows of unknown recording", "GET", "/library/zz.txt/rows", "", 404, "zz.txt is not in the exercise library"},
    {"unknown request", "GET", "/nothing", "", 404, "no such clinic request"},
    {"library written to", "POST", "/library", "{}", 405, "read only"},
    {"patients deleted whole", "DELETE", "/patients", "{}", 405, "use GET or POST"},
    {"plan list read", "GET", "/patients/{p}/plans", "", 405, "use POST"},
};

// Three rows of 0.1 s of the left shoulder: its pitch 0.6 rad further in each
// (6 rad/s, within its 8.268 up to 1.378x), or its roll out to 1.5 rad at row
// 2, past its 1.3264.
std::string shoulderRecording(int column, const std::vector<std::string>& angles)
{
  std::string text;
  for (const std::string& a : angles)
    for (int j = 0; j < 23; ++j)
      text += (j == column ? a : j == 5 ? "-0.5" : j == 9 ? "0.5" : j == 22 ? "0.1" : "0") + (j < 22 ? " " : "\n");
  return text;
}
const std::string kFast = shoulderRecording(2, {"0", "0.6", "1.2"});
const std::string kFar = shoulderRecording(3, {"0", "0.5", "1.5"});

class ClinicApiRefusals : public ::testing::TestWithParam<std::tuple<Refusal, Backend>>
{
};

// The API's flows that keep records, on both back ends.
class ClinicApiOn : public ::testing::TestWithParam<Backend>
{
};

// Everything the store holds of every patient, to see that nothing changed.
std::string records(ApiRig& rig)
{
  std::string all;
  for (const Patient& p : rig.store->patients().value)
    all += rig.store->exportJson(p.id).value;
  return all;
}

TEST_P(ClinicApiRefusals, RefusedNamingTheFieldAndNothingChanges)
{
  const Refusal& c = std::get<0>(GetParam());
  ApiRig rig("/bin/true", nullptr, std::get<1>(GetParam()));
  const int64_t patient = rig.store->addPatient("P-0001", "").value;
  const int64_t plan = rig.store->savePlan(patient, "week 1", 1.0, {"a.txt", "b.txt"}).value;
  const int64_t empty = rig.store->savePlan(patient, "empty", 1.0, {}).value;
  rig.dir.write("library/fast.txt", kFast);
  rig.dir.write("library/far.txt", kFar);
  // As a plan saved before the limits came in: the store takes any speed.
  const int64_t fast = rig.store->savePlan(patient, "fast", 2.0, {"fast.txt"}).value;
  // One running session per patient: the ended one first.
  const int64_t ended = rig.store->beginSession({patient, plan, 1, rig.dir.path() + "e.jsonl"}).value;
  rig.store->closeSession(ended);
  const int64_t session = rig.store->beginSession({patient, plan, 1, rig.dir.path() + "s.jsonl"}).value;
  rig.coachRunning = c.coachRunning;
  const std::string before = records(rig);
  const std::map<std::string, std::string> ids = {
      {"{p}", std::to_string(patient)}, {"{plan}", std::to_string(plan)}, {"{empty}", std::to_string(empty)},
      {"{fast}", std::to_string(fast)}, {"{s}", std::to_string(session)}, {"{ended}", std::to_string(ended)}};

  const ApiReply reply = rig.ask(c.method, fill(c.target, ids), c.body);
  EXPECT_EQ(c.status, reply.status) << reply.body.dump();
  EXPECT_EQ(false, reply.body.value("ok", true));
  EXPECT_NE(std::string::npos, reply.body.value("message", "").find(c.says)) << reply.body.dump();
  EXPECT_EQ(before, records(rig));
  EXPECT_TRUE(rig.changes.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ClinicApiRefusals,
                         ::testing::Combine(::testing::ValuesIn(kRefusals), ::testing::ValuesIn(kBackends)),
                         [](const ::testing::TestParamInfo<std::tuple<Refusal, Backend>>& info)
                         {
                           std::string name = std::get<0>(info.param).name;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch)))
                               ch = '_';
                           return name + "_" + backendName(std::get<1>(info.param));
                         });
INSTANTIATE_TEST_SUITE_P(Backends, ClinicApiOn, ::testing::ValuesIn(kBackends),
                         [](const ::testing::TestParamInfo<Backend>& info) { return backendName(info.param); });

TEST_P(ClinicApiOn, PatientPlanAndPageAsTheTherapistBuildsThem)
{
  ApiRig rig("/bin/true", nullptr, GetParam());
  const ApiReply added = rig.ask("POST", "/patients", R"({"code": "P-0007", "note": "left knee"})");
  ASSERT_EQ(201, added.status) << added.body.dump();
  const std::string p = "/patients/" + std::to_string(added.body["id"].get<int64_t>());
  const ApiReply plan =
      rig.ask("POST", p + "/plans", R"({"name": "week 1", "speed": 0.5, "items": ["a.txt", "b.txt", "a.txt"]})");
  ASSERT_EQ(201, plan.status) << plan.body.dump();
  const std::string planPath = "/plans/" + std::to_string(plan.body["id"].get<int64_t>());
  // Reordered and one removed: the last edit is the plan.
  ASSERT_EQ(200, rig.ask("PUT", planPath, R"({"name": "week 1b", "speed": 0.75, "items": ["b.txt", "a.txt"]})").status);

  const ApiReply page = rig.ask("GET", p);
  ASSERT_EQ(200, page.status);
  EXPECT_EQ("P-0007", page.body["patient"]["code"]);
  EXPECT_EQ("left knee", page.body["patient"]["note"]);
  ASSERT_EQ(1u, page.body["plans"].size());
  EXPECT_EQ("week 1b", page.body["plans"][0]["name"]);
  EXPECT_EQ(0.75, page.body["plans"][0]["speed"]);
  EXPECT_EQ((std::vector<std::string>{"b.txt", "a.txt"}),
            page.body["plans"][0]["items"].get<std::vector<std::string>>());
  EXPECT_EQ(json::array(), page.body["sessions"]);
  EXPECT_EQ((std::vector<std::string>{"/patients", p + "/plans", planPath}), rig.changes);

  const ApiReply list = rig.ask("GET", "/patients");
  ASSERT_EQ(1u, list.body["patients"].size());
  EXPECT_EQ("P-0007", list.body["patients"][0]["code"]);
  ASSERT_EQ(200, rig.ask("DELETE", planPath).status);
  EXPECT_EQ(json::array(), rig.ask("GET", p).body["plans"]);
}

TEST_P(ClinicApiOn, PatientsListedWithTheirLatestSession)
{
  ApiRig rig("/bin/true", nullptr, GetParam());
  SessionStart start;
  start.patientId = rig.store->addPatient("P-0002", "").value;
  rig.store->addPatient("P-0001", "");
  for (double started : {1000.0, 3000.0, 2000.0})  // the latest is not the last begun
  {
    start.logPath = rig.dir.path() + "sessions/" + std::to_string(started) + ".jsonl";
    start.started = started;
    const Result<int64_t> begun = rig.store->beginSession(start);
    ASSERT_TRUE(begun.ok()) << begun.error;
    ASSERT_TRUE(rig.store->closeSession(begun.value).ok());  // one running session per patient
  }
  const json list = rig.ask("GET", "/patients").body["patients"];
  EXPECT_EQ(json({"P-0001", "P-0002"}), json({list[0]["code"], list[1]["code"]}));
  EXPECT_EQ(json({0.0, 3000.0}), json({list[0]["lastSession"], list[1]["lastSession"]}));  // 0: none yet

  // The patient's page: every session oldest first, or the latest few with the count of all.
  const std::string page = "/patients/" + std::to_string(start.patientId);
  const auto startTimes = [](const json& body)
  {
    std::vector<double> times;
    for (const json& s : body["sessions"])
      times.push_back(s["started"]);
    return times;
  };
  const json all = rig.ask("GET", page).body;
  EXPECT_EQ((std::vector<double>{1000, 2000, 3000}), startTimes(all));
  EXPECT_EQ(3, all["sessionsTotal"]);
  const json recent = rig.ask("GET", page + "?recent=2").body;
  EXPECT_EQ((std::vector<double>{2000, 3000}), startTimes(recent));
  EXPECT_EQ(3, recent["sessionsTotal"]);
}

// The library gives each recording's highest safe speed and its marks; a plan
// up to the speed its exercises allow is saved and started.
TEST(ClinicApi, PlanSpeedUpToWhatItsExercisesAllow)
{
  ApiRig rig;
  rig.dir.write("library/fast.txt", kFast);
  rig.dir.write("library/far.txt", kFar);
  const json lib = rig.ask("GET", "/library").body;
  std::map<std::string, json> e;
  for (const json& entry : lib["recordings"])
    e[entry["name"].get<std::string>()] = entry;
  EXPECT_NEAR(8.268 * 0.1 / 0.6, e["fast.txt"]["safeSpeed"].get<double>(), 1e-4);
  EXPECT_EQ(json({true, nullptr, false}),
            json({e["fast.txt"]["playable"], e["fast.txt"]["limits"], e["far.txt"]["playable"]}));
  EXPECT_EQ("At 0:02.1 the left shoulder goes further than the robot can.", e["far.txt"]["limits"]["words"]);
  EXPECT_EQ(0u, e["far.txt"]["limits"]["detail"].get<std::string>().find("row 2: LShoulderRoll at 1.5 rad"));
  const int64_t patient = rig.store->addPatient("P-0005", "").value;
  const ApiReply saved = rig.ask("POST", "/patients/" + std::to_string(patient) + "/plans",
                                 R"({"name": "w", "speed": 1.25, "items": ["a.txt", "fast.txt"]})");
  ASSERT_EQ(201, saved.status) << saved.body.dump();
  const ApiReply started =
      rig.ask("POST", "/plans/" + std::to_string(saved.body["id"].get<int64_t>()) + "/start", "{}");
  EXPECT_EQ(201, started.status) << started.body.dump();
}

TEST_P(ClinicApiOn, CheckinAndExportsAndDelete)
{
  ApiRig rig("/bin/true", nullptr, GetParam());
  const int64_t patient = rig.store->addPatient("P-0003", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", 1.0, {"a.txt"}).value;
  const std::string log = rig.dir.path() + "sessions/s.jsonl";
  const int64_t session = rig.store->beginSession({patient, plan, 1, log}).value;
  append(log, playedExercise(1, 10) + line(30, "pause") + line(32, "resume"));
  rig.store->ingestLog(session);
  const std::string s = "/sessions/" + std::to_string(session);
  ASSERT_EQ(201, rig.ask("POST", s + "/checkins", R"({"position": 1, "effort": 3, "note": "fine"})").status);

  const json report = rig.ask("GET", s).body;
  EXPECT_EQ("P-0003", report["patient"]["code"]);
  EXPECT_EQ("played", report["exercises"][0]["outcome"]);
  EXPECT_EQ(json({{"position", 1}, {"effort", 3}, {"pain", -1}, {"note", "fine"}}), report["checkins"][0]);
  EXPECT_EQ(json({{"effort", 3}, {"pain", nullptr}, {"note", "fine"}}), report["exercises"][0]["checkin"]);
  ASSERT_EQ(2u, report["events"].size());
  EXPECT_EQ("pause", report["events"][0]["event"]);
  EXPECT_DOUBLE_EQ(20.0, report["events"][0]["time"].get<double>());

  const ApiReply csv = rig.ask("GET", "/patients/" + std::to_string(patient) + "/export.csv");
  EXPECT_EQ(rig.store->exportCsv(patient, jointWords).value, csv.text);
  EXPECT_EQ("P-0003.csv", csv.fileName);
  const ApiReply whole = rig.ask("GET", "/patients/" + std::to_string(patient) + "/export.json");
  EXPECT_EQ(rig.store->exportJson(patient).value, whole.text);

  ASSERT_TRUE(rig.store->closeSession(session).ok());
  ASSERT_EQ(200, rig.ask("DELETE", "/patients/" + std::to_string(patient), R"({"confirm": "P-0003"})").status);
  EXPECT_NE(0, access(log.c_str(), F_OK));  // its log went with it
  EXPECT_EQ(404, rig.ask("GET", s).status);
  EXPECT_EQ(json::array(), rig.ask("GET", "/patients").body["patients"]);
}
}  // namespace

TEST_P(ClinicApiOn, ResumeStartsThePlanAtTheExerciseTheSessionStoppedIn)
{
  ApiRig rig("/bin/true", nullptr, GetParam());
  const int64_t patient = rig.store->addPatient("P-0004", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", 1.0, {"a.txt", "b.txt", "c.txt"}).value;
  const std::string log = rig.dir.path() + "sessions/s.jsonl";
  const int64_t stopped = rig.store->beginSession({patient, plan, 1, log}).value;
  // Exercise 1 played, exercise 2 begun, then the node gone.
  append(log, playedExercise(1, 10) + line(30, "recording loaded", {{"recording", 2}, {"path", "/lib/b.txt"}}) +
                  line(31, "start signal", {{"recording", 2}}));
  rig.store->ingestLog(stopped);
  rig.store->closeSession(stopped);
  ASSERT_EQ(2, rig.store->session(stopped).value.resumeAt);

  const ApiReply resumed = rig.ask("POST", "/sessions/" + std::to_string(stopped) + "/resume", "{}");
  ASSERT_EQ(201, resumed.status) << resumed.body.dump();
  EXPECT_EQ(2, resumed.body["first"]);
  EXPECT_EQ(2, resumed.body["timeline"]["first"]);
  const SessionSummary again = rig.store->session(resumed.body["session"].get<int64_t>()).value;
  EXPECT_EQ(plan, again.planId);
  EXPECT_EQ(2, again.firstExercise);
}
