// The database server lost mid-session and back 10 s later: the session's
// log goes on growing, the follower says the records are not being saved
// while the server is away, and once it is back stores what it missed, each
// exercise once.
#include "clinic_api_fixture.h"

#include "nao_kinora_console/clinic/clinic_follower.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace
{
using namespace clinic_test;

std::vector<int> positions(ClinicStore& store, int64_t session)
{
  std::vector<int> got;
  for (const ExerciseRecord& e : store.exercises(session).value)
    got.push_back(e.position);
  return got;
}

TEST(ServerLostMidSession, EveryExerciseStoredOnceOnceItIsBack)
{
  ApiRig rig("/bin/true", nullptr, Backend::kPostgres);
  rig.coachRunning = true;  // the node runs: the session is not taken for an orphan
  const int64_t patient = rig.store->addPatient("P-LOST", "").value;
  const std::string log = rig.dir.path() + "sessions/lost.jsonl";
  const int64_t session = rig.store->beginSession({patient, 0, 1, log}).value;
  ClinicFollower follower(
      *rig.store, *rig.launcher, *rig.api, [&] { return rig.coachRunning.load(); }, nullptr);

  append(log, playedExercise(1, 20));
  follower.round();
  ASSERT_EQ("", follower.lastError());
  ASSERT_EQ(std::vector<int>{1}, positions(*rig.store, session));

  // The follower's own thread from here on, as in the console.
  follower.start();
  rig.database.server()->stop();
  append(log, playedExercise(2, 40));
  ASSERT_TRUE(kinora_test::waitWallFor([&] { return !follower.lastError().empty(); }, 30, 0.01));
  append(log, playedExercise(3, 60));
  // Down for 10 s of rounds (about one a second); how long does not change what is stored.
  std::this_thread::sleep_for(std::chrono::seconds(10));
  EXPECT_NE("", follower.lastError());
  rig.database.server()->start();
  ASSERT_TRUE(kinora_test::waitWallFor(
      [&] { return follower.lastError().empty() && positions(*rig.store, session).size() == 3; }, 30, 0.01))
      << follower.lastError();
  EXPECT_EQ((std::vector<int>{1, 2, 3}), positions(*rig.store, session));
  const SessionSummary s = rig.store->session(session).value;
  EXPECT_EQ(3, s.exercisesPlayed);
  EXPECT_EQ("running", s.outcome);
}
}  // namespace
