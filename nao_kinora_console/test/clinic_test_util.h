// Shared by the clinic store's tests: a fresh store in a temporary folder,
// a patient to hang sessions on, and session logs written as the node does.
#ifndef NAO_KINORA_CONSOLE_TEST_CLINIC_TEST_UTIL_H
#define NAO_KINORA_CONSOLE_TEST_CLINIC_TEST_UTIL_H

#include "nao_kinora_console/records/clinic_store.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <string>

namespace clinic_test
{
using namespace nao_kinora_console;

inline std::unique_ptr<ClinicStore> openStore(const std::string& path, const std::string& room = hostRoomName())
{
  Result<std::unique_ptr<ClinicStore>> opened = ClinicStore::open(path, room);
  if (!opened.ok())
    throw std::runtime_error(opened.error);
  return std::move(opened.value);
}

// One line of the node's log: {"time":t,"event":name,...fields}.
inline std::string line(double t, const std::string& name, const nlohmann::ordered_json& fields = {})
{
  nlohmann::ordered_json e = {{"time", t}, {"event", name}};
  if (fields.is_object())
    e.update(fields);
  return e.dump() + "\n";
}

inline void append(const std::string& path, const std::string& text)
{
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

// The events of one exercise played in full: loaded at t, rows t+1..t+11,
// trackingfinished at t+14.
inline std::string playedExercise(int k, double t)
{
  const std::string name = "0" + std::to_string(k) + "_exercise.txt";
  return line(t, "recording loaded", {{"recording", k}, {"path", "/lib/" + name}, {"rows", 40}}) +
         line(t + 1, "start signal", {{"recording", k}}) + line(t + 2, "first row sent", {{"row", 0}}) +
         line(t + 11, "last row sent", {{"row", 39}}) +
         line(t + 11, "report",
              {{"recording", k},
               {"rows", 40},
               {"variances", std::vector<double>(22, 0.25)},
               {"moving joints", {1, 4, 17}}}) +
         line(t + 11, "stop signal", {{"recording", k}}) + line(t + 14, "trackingfinished", {{"value", 1}});
}
#ifdef SIM_DIR
// The first rows of a sample exercise, as a recording of the test's own.
inline void shortRecording(const std::string& sample, const std::string& to, int rows)
{
  std::ifstream in(std::string(SIM_DIR) + "/exercises/" + sample);
  std::ofstream out(to);
  std::string row;
  for (int i = 0; i < rows && std::getline(in, row); ++i)
    out << row << "\n";
}
#endif

}  // namespace clinic_test

#endif  // NAO_KINORA_CONSOLE_TEST_CLINIC_TEST_UTIL_H
