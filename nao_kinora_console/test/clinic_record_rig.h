// A console's clinic API with the node replaced by a stand-in script, for
// tests of the record over a session's life: the stand-in writes its
// arguments beside the logs and ends when told to (files "refuse", "stop").
#ifndef NAO_KINORA_CONSOLE_TEST_CLINIC_RECORD_RIG_H
#define NAO_KINORA_CONSOLE_TEST_CLINIC_RECORD_RIG_H

#include "clinic_api_fixture.h"

#include "nao_kinora_console/clinic/clinic_follower.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

namespace clinic_test
{
using kinora_test::readFile;
using nlohmann::json;

// A stand-in for the node: writes its arguments to LOGNAME.args in the
// folder above the logs' (whole, by a rename), then exits 1 when told to refuse, 0 once told to
// stop (files "refuse" and "stop" in the folder above the logs' folder).
inline const char* const kNodeScript = R"(#!/bin/sh
for a in "$@"; do case "$a" in _session_log:=*) log=${a#_session_log:=};; esac; done
here=$(dirname "$log")/..
args=$here/$(basename "$log").args
printf '%s\n' "$@" > "$args.tmp" && mv "$args.tmp" "$args"
[ -e "$here/refuse" ] && exit 1
while [ ! -e "$here/stop" ]; do sleep 0.05; done
exit 0
)";

struct NodeRig
{
  NodeRig() : rig(program()), follower(*rig.store, *rig.launcher, *rig.api, nullptr, nullptr) {}
  ~NodeRig()
  {
    // Every stand-in ends, and its keeper is reaped, before the folder goes.
    rig.dir.write("stop", "");
    kinora_test::waitWallFor([&] { return !rig.launcher->busy(); }, 30, 0.01);
  }
  // The stand-ins launched here have all ended (their keepers wrote how).
  void waitExits()
  {
    ASSERT_TRUE(kinora_test::waitWallFor([&] { return !rig.launcher->busy(); }, 30, 0.01));
  }
  static std::string program()
  {
    static kinora_test::TempDir bin;
    const std::string path = bin.write("node.sh", kNodeScript);
    chmod(path.c_str(), 0700);
    return path;
  }
  // Starts through the API once the robot is free (every stand-in before
  // ended); waits until the new stand-in has written its arguments.
  json start(const std::string& path, int status = 201)
  {
    waitExits();
    const ApiReply r = rig.ask("POST", path, "{}");
    EXPECT_EQ(status, r.status) << r.body.dump();
    if (r.status == 201)
    {
      const int64_t id = r.body["session"];
      started.push_back(id);
      const std::string args = argsFile(id);
      EXPECT_TRUE(kinora_test::waitWallFor([&] { return !readFile(args).empty(); }, 30, 0.01));
    }
    return r.body;
  }
  std::string argsFile(int64_t id)
  {
    const std::string log = rig.store->sessionLog(id).value;
    return rig.dir.path() + log.substr(log.find_last_of('/') + 1) + ".args";
  }
  std::string args(int64_t id) { return readFile(argsFile(id)); }
  std::vector<std::string> sessionFiles()
  {
    std::vector<std::string> names;
    DIR* d = opendir((rig.dir.path() + "sessions").c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
      if (e->d_name[0] != '.')
        names.push_back(e->d_name);
    if (d)
      closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  ApiRig rig;
  ClinicFollower follower;
  std::vector<int64_t> started;
};

inline int64_t addPatient(ApiRig& rig, const std::string& code)
{
  return rig.ask("POST", "/patients", json({{"code", code}}).dump()).body["id"];
}

inline int64_t addPlan(ApiRig& rig, int64_t patient, double speed, const std::vector<std::string>& items)
{
  const json plan = {{"name", "week 1"}, {"speed", speed}, {"items", items}};
  return rig.ask("POST", "/patients/" + std::to_string(patient) + "/plans", plan.dump()).body["id"];
}

inline std::string S(int64_t id)
{
  return "/sessions/" + std::to_string(id);
}
}  // namespace clinic_test

#endif  // NAO_KINORA_CONSOLE_TEST_CLINIC_RECORD_RIG_H
