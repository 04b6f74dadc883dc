// The clinic store's figures, run by hand (built with the tests):
//   clinic_figures [FOLDER]
// 1,000 sessions of nine exercises for one patient, each stored through the
// store as a console would (a session begun, its log read once an exercise,
// a check-in per exercise); then the file's size, and the wall time to open
// the file and to load the patient's session list and one session's history.
#include "clinic_test_util.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

using namespace clinic_test;

namespace
{
const int kSessions = 1000;
const int kExercises = 9;

double secondsSince(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long fileBytes(const std::string& path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

template <class F>
double medianSeconds(F f)
{
  std::vector<double> times;
  for (int i = 0; i < 21; ++i)
  {
    const auto start = std::chrono::steady_clock::now();
    f();
    times.push_back(secondsSince(start));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}
}  // namespace

int main(int argc, char** argv)
{
  const std::string dir =
      argc > 1 ? std::string(argv[1]) + "/" : "/tmp/clinic_figures_" + std::to_string(getpid()) + "/";
  const std::string db = dir + "clinic.db";
  auto store = openStore(db);
  const int64_t patient = store->addPatient("P-0001", "").value;
  const int64_t plan = store->savePlan(patient, "week 1", 1, std::vector<std::string>(kExercises, "01_a.txt")).value;
  const auto start = std::chrono::steady_clock::now();
  int64_t last = 0;
  for (int n = 0; n < kSessions; ++n)
  {
    const std::string log = dir + "session.jsonl";
    unlink(log.c_str());
    last = store->beginSession({patient, plan, 1, log}).value;
    for (int k = 1; k <= kExercises; ++k)
    {
      append(log, playedExercise(k, 20 * k));
      store->ingestLog(last);
      store->addCheckin({last, k, k % 11, 2, ""});  // every exercise was played
    }
    append(log, line(300, "cue", {{"kind", "closing"}}));
    if (!store->ingestLog(last).ok())
      return 1;
  }
  std::printf("stored %d sessions of %d exercises in %.1f s\n", kSessions, kExercises, secondsSince(start));
  store.reset();  // the last connection checkpoints and removes the journal
  std::printf("file size: %ld bytes (%.2f MB); journal left: %ld bytes\n", fileBytes(db), fileBytes(db) / 1e6,
              fileBytes(db + "-wal"));
  std::printf("open (with quick_check): %.1f ms\n", 1e3 * medianSeconds([&] { openStore(db); }));
  store = openStore(db);
  std::size_t count = 0;
  std::printf("session list of the patient: %.1f ms\n",
              1e3 * medianSeconds([&] { count = store->sessions(patient).value.size(); }));
  std::printf("one session's exercises and check-ins: %.2f ms\n", 1e3 * medianSeconds(
                                                                            [&]
                                                                            {
                                                                              store->exercises(last);
                                                                              store->checkins(last);
                                                                            }));
  std::printf("whole record as JSON: %.0f ms\n", 1e3 * medianSeconds([&] { store->exportJson(patient); }));
  std::printf("(%zu sessions listed; files in %s)\n", count, dir.c_str());
  return count == kSessions ? 0 : 1;
}
