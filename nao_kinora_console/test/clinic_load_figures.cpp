// The clinic database's figures under several consoles, run by hand through
// scripts/clinic_figures.sh (built with the tests):
//
//   clinic_load_figures writers DATABASE CONSOLES SESSIONS
//     CONSOLES processes at once, each a console of a room of its own on
//     DATABASE, each storing SESSIONS sessions of nine exercises for a patient
//     of its own as a console does (begun, its log read once an exercise, a
//     check-in per exercise, read to its end). Prints the time taken, the
//     median and slowest session, and the failures (none expected).
//   clinic_load_figures fill DATABASE SESSIONS
//     One patient (P-MANY) with SESSIONS sessions of one exercise; prints
//     "patient ID".
#include "clinic_test_util.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace clinic_test;

namespace
{
const int kExercises = 9;

double secondsSince(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One console's share: its patient's sessions, each timed. Status 0 when
// every write was stored.
int writeSessions(const std::string& where, int console, int sessions, const std::string& folder)
{
  auto opened = ClinicStore::open(where, "room-" + std::to_string(console));
  if (!opened.ok())
  {
    std::fprintf(stderr, "console %d: %s\n", console, opened.error.c_str());
    return 1;
  }
  ClinicStore& store = *opened.value;
  const auto patient = store.addPatient("W-" + std::to_string(getpid()), "");
  const auto plan = store.savePlan(patient.value, "load", 1, std::vector<std::string>(kExercises, "01_a.txt"));
  int failures = !patient.ok() + !plan.ok();
  std::vector<double> times;
  const std::string log = folder + "console" + std::to_string(console) + ".jsonl";
  for (int n = 0; n < sessions && failures == 0; ++n)
  {
    const auto start = std::chrono::steady_clock::now();
    unlink(log.c_str());
    const auto session = store.beginSession({patient.value, plan.value, 1, log});
    failures += !session.ok();
    for (int k = 1; k <= kExercises && session.ok(); ++k)
    {
      append(log, playedExercise(k, 20 * k));
      failures += !store.ingestLog(session.value).ok();
      failures += !store.addCheckin({session.value, k, k % 11, 2, ""}).ok();
    }
    append(log, line(300, "cue", {{"kind", "closing"}}));
    failures += !store.ingestLog(session.value).ok();
    times.push_back(secondsSince(start));
  }
  std::sort(times.begin(), times.end());
  std::printf("console %d: %zu sessions, median %.1f ms, slowest %.1f ms, %d failure(s)\n", console, times.size(),
              times.empty() ? 0 : 1e3 * times[times.size() / 2], times.empty() ? 0 : 1e3 * times.back(), failures);
  std::fflush(stdout);
  return failures == 0 ? 0 : 1;
}

int writers(const std::string& where, int consoles, int sessions)
{
  const std::string folder = "/tmp/clinic_load_" + std::to_string(getpid()) + "/";
  std::system(("mkdir -p " + folder).c_str());
  const auto start = std::chrono::steady_clock::now();
  std::vector<pid_t> children;
  for (int c = 0; c < consoles; ++c)
  {
    const pid_t pid = fork();
    if (pid == 0)
      _exit(writeSessions(where, c, sessions, folder));
    children.push_back(pid);
  }
  int failed = 0;
  for (pid_t pid : children)
  {
    int status = 0;
    waitpid(pid, &status, 0);
    failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  const double took = secondsSince(start);
  std::printf("%d consoles at once: %d sessions of %d exercises in %.1f s (%.1f sessions/s); %d console(s) failed\n",
              consoles, consoles * sessions, kExercises, took, consoles * sessions / took, failed);
  std::system(("rm -rf " + folder).c_str());
  return failed == 0 ? 0 : 1;
}

int fill(const std::string& where, int sessions)
{
  auto store = openStore(where);
  const int64_t patient = store->addPatient("P-MANY", "").value;
  const int64_t plan = store->savePlan(patient, "one", 1, {"01_a.txt"}).value;
  const std::string log = "/tmp/clinic_fill_" + std::to_string(getpid()) + ".jsonl";
  const auto start = std::chrono::steady_clock::now();
  for (int n = 0; n < sessions; ++n)
  {
    unlink(log.c_str());
    const int64_t session = store->beginSession({patient, plan, 1, log}).value;
    append(log, playedExercise(1, 20) + line(60, "cue", {{"kind", "closing"}}));
    if (!store->ingestLog(session).ok())
      return 1;
  }
  unlink(log.c_str());
  std::fprintf(stderr, "stored %d sessions in %.1f s\n", sessions, secondsSince(start));
  std::printf("patient %lld\n", static_cast<long long>(patient));
  return 0;
}
}  // namespace

int main(int argc, char** argv)
{
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "writers" && argc == 5)
    return writers(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  if (mode == "fill" && argc == 4)
    return fill(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: clinic_load_figures writers DATABASE CONSOLES SESSIONS | fill DATABASE SESSIONS\n");
  return 2;
}
