// The record's rules as tables: check-ins only for what was played and
// never wiped by an empty answer; the timeline at the plan's speed.
#include "clinic_record_rig.h"

#include <gtest/gtest.h>

#include <nao_kinora/timeline.h>

#include <cctype>

namespace
{
using namespace clinic_test;

struct CheckinCase
{
  const char* name;
  std::string body;
  int status;
  std::string says;
  json stored;  // exercise 1's answers afterwards
};

void PrintTo(const CheckinCase& c, std::ostream* out)
{
  *out << c.name;
}

const json kFirstAnswer = {{"effort", 3}, {"pain", 1}, {"note", "fine"}};

const CheckinCase kCheckins[] = {
    {"beyond the plan", R"({"position": 9, "effort": 5})", 400, "position: 9; this session's plan has 2 exercises",
     kFirstAnswer},
    {"just beyond the plan", R"({"position": 3, "pain": 5})", 400, "position: 3; this session's plan has 2 exercises",
     kFirstAnswer},
    {"not played yet", R"({"position": 2, "effort": 5})", 409,
     "Exercise 2 has not been played in this session: it cannot be rated yet.", kFirstAnswer},
    {"empty answer", R"({"position": 1, "effort": null, "pain": null, "note": ""})", 200,
     "Nothing was answered: the check-in stays as it was.", kFirstAnswer},
    {"pain only", R"({"position": 1, "pain": 4})", 201, "", {{"effort", 3}, {"pain", 4}, {"note", "fine"}}},
    {"note only", R"({"position": 1, "note": "sore"})", 201, "", {{"effort", 3}, {"pain", 1}, {"note", "sore"}}},
};

class ClinicRecordCheckins : public ::testing::TestWithParam<CheckinCase>
{
};

TEST_P(ClinicRecordCheckins, OnlyWhatWasPlayedIsRatedAndNothingIsWiped)
{
  const CheckinCase& c = GetParam();
  ApiRig rig;
  const int64_t patient = rig.store->addPatient("P-0007", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", 1.0, {"a.txt", "b.txt"}).value;
  const std::string log = rig.dir.path() + "sessions/s.jsonl";
  const int64_t s = rig.store->beginSession({patient, plan, 1, log}).value;
  append(log, playedExercise(1, 10));
  rig.store->ingestLog(s);
  ASSERT_EQ(201,
            rig.ask("POST", S(s) + "/checkins", R"({"position": 1, "effort": 3, "pain": 1, "note": "fine"})").status);

  const ApiReply r = rig.ask("POST", S(s) + "/checkins", c.body);
  EXPECT_EQ(c.status, r.status) << r.body.dump();
  EXPECT_EQ(c.says, r.body.value("message", "")) << r.body.dump();
  const json report = rig.ask("GET", S(s)).body;
  EXPECT_EQ(c.stored, report["exercises"][0]["checkin"]) << report.dump();
  ASSERT_EQ(1u, report["checkins"].size());
  EXPECT_EQ(3.0, rig.store->session(s).value.meanEffort);
  // The running page reads what is answered from the server, not from itself.
  const json now = rig.ask("GET", "/now").body["running"][0];
  EXPECT_EQ(c.stored, now["answers"]["1"]) << now.dump();
  EXPECT_FALSE(now["answers"].contains("2"));
}

INSTANTIATE_TEST_SUITE_P(Table, ClinicRecordCheckins, ::testing::ValuesIn(kCheckins),
                         [](const ::testing::TestParamInfo<CheckinCase>& info)
                         {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch)))
                               ch = '_';
                           return name;
                         });

class ClinicRecordTimeline : public ::testing::TestWithParam<double>
{
};

TEST_P(ClinicRecordTimeline, TheTimelineTakesThePlansSpeed)
{
  const double speed = GetParam();
  ApiRig rig;
  const int64_t patient = rig.store->addPatient("P-0009", "").value;
  const int64_t plan = rig.store->savePlan(patient, "w", speed, {"a.txt", "b.txt", "c.txt"}).value;
  nao_kinora::setRecordingDir(rig.dir.path() + "library/");
  const nao_kinora::SessionTimeline model = nao_kinora::planSession(ownCuesPlan({"a.txt", "b.txt", "c.txt"}, 1));
  const json t = rig.ask("GET", "/plans/" + std::to_string(plan) + "/timeline").body;
  EXPECT_DOUBLE_EQ(model.atSpeed(model.length(), speed), t["length"].get<double>()) << speed;
  EXPECT_DOUBLE_EQ(model.atSpeed(model.starts[2], speed), t["exercises"][2]["start"].get<double>()) << speed;
  if (speed != 1.0)
    EXPECT_NE(model.length(), t["length"].get<double>());
}

INSTANTIATE_TEST_SUITE_P(Speeds, ClinicRecordTimeline, ::testing::Values(0.25, 0.5, 1.0, 2.0));
}  // namespace
