// Shared by the clinic API's tests: a store (an SQLite file, or a database on
// a PostgreSQL server of the test's own), an exercise library of short
// recordings (and one that yields no row) and a launcher, in a temporary folder.
#ifndef NAO_KINORA_CONSOLE_TEST_CLINIC_API_FIXTURE_H
#define NAO_KINORA_CONSOLE_TEST_CLINIC_API_FIXTURE_H

#include "clinic_backends.h"
#include "clinic_test_util.h"
#include "test_util.h"

#include "nao_kinora_console/clinic/clinic_api.h"

#include <nao_kinora/command_line.h>

#include <sys/stat.h>

#include <atomic>
#include <sstream>

namespace clinic_test
{
// A recording of rows joint rows, 0.1 s each; joints 3 and 5 move (the left
// shoulder out, the left elbow bending), within the robot's joint limits.
inline std::string recording(int rows)
{
  std::ostringstream text;
  for (int r = 0; r < rows; ++r)
  {
    for (int j = 0; j < 22; ++j)
      text << (j == 3 ? 0.1 * r : j == 5 ? -0.1 - 0.1 * r : j == 9 ? 0.1 : 0.0) << " ";
    text << 0.1 << "\n";
  }
  return text.str();
}

// A plan of the library's recordings as the console starts it: each with its
// own cues (none without a cue file), not those of its place.
inline nao_kinora::SessionPlan ownCuesPlan(const std::vector<std::string>& items, int first)
{
  nao_kinora::SessionPlan plan;
  plan.count = static_cast<float>(items.size());
  plan.recordings = items;
  plan.first = first;
  plan.ownCues = true;
  plan.cues.assign(items.size(), nao_kinora::CueSchedule());
  return plan;
}

struct ApiRig
{
  explicit ApiRig(const std::string& program = "/bin/true", std::function<bool()> running = nullptr,
                  Backend backend = Backend::kSqlite)
      : library(dir.path() + "library/"), database(backend, dir.path())
  {
    mkdir((dir.path() + "library").c_str(), 0700);
    mkdir((dir.path() + "sessions").c_str(), 0700);
    dir.write("library/a.txt", recording(5));
    dir.write("library/b.txt", recording(8));
    dir.write("library/c.txt", recording(3));
    dir.write("library/broken.txt", "not a row\n");
    store = openStore(database.where());
    if (!running)
      running = [this] { return coachRunning.load(); };
    launcher.reset(new SessionLauncher(program, dir.path() + "sessions", running));
    api.reset(new ClinicApi(*store, library, *launcher, dir.path() + "sessions",
                            [this](const std::string& what) { changes.push_back(what); }));
  }

  ApiReply ask(const std::string& method, const std::string& target, const std::string& body = "")
  {
    return api->handle(method, target, body);
  }

  kinora_test::TempDir dir;
  ExerciseLibrary library;
  StoreDatabase database;
  std::unique_ptr<ClinicStore> store;
  std::atomic<bool> coachRunning{false};
  std::unique_ptr<SessionLauncher> launcher;
  std::unique_ptr<ClinicApi> api;
  std::vector<std::string> changes;
};
}  // namespace clinic_test

#endif  // NAO_KINORA_CONSOLE_TEST_CLINIC_API_FIXTURE_H
