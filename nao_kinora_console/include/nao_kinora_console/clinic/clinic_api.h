// The clinic's actions as JSON requests: method, path and body in, a status
// and an answer out, over the store, the exercise library and the launcher.
// No HTTP here (console_server.cpp routes /api/clinic/... to it on a worker),
// so every answer can be tested as a table. docs/console-api.md lists them.
#ifndef NAO_KINORA_CONSOLE_CLINIC_API_H
#define NAO_KINORA_CONSOLE_CLINIC_API_H

#include "nao_kinora_console/records/clinic_store.h"
#include "nao_kinora_console/clinic/exercise_library.h"
#include "nao_kinora_console/http/request_rules.h"
#include "nao_kinora_console/session/session_launcher.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace nao_kinora_console
{
// A room whose console has not been seen for this long is gone: its running
// session may be released from another room.
const double kRoomGoneAfter = 60;
// How often a console says it is alive.
const double kRoomSeenEvery = 15;

struct ApiReply
{
  int status = 200;
  nlohmann::json body;      // the answer, unless text is set
  std::string text;         // an export: CSV or JSON text as it is
  std::string contentType;  // with text
  std::string fileName;     // with text: offered as a download under this name
};

// The whole number after "name=" in a request's query, or fallback.
int queryInt(const std::string& query, const std::string& name, int fallback);

class ClinicApi
{
public:
  // changed(what) is called after every change, for the pages to refresh
  // (the console sends it on its event stream).
  ClinicApi(ClinicStore& store, ExerciseLibrary& library, SessionLauncher& launcher, const std::string& logFolder,
            std::function<void(const std::string&)> changed);

  // target: the path after /api/clinic, with its query, e.g. "/patients/3".
  ApiReply handle(const std::string& method, const std::string& target, const std::string& body);

  // The follower tells how a launched node ended when it refused to start:
  // its error lines, as it wrote them.
  void launchRefused(int64_t patientId, const std::vector<std::string>& lines);

private:
  ApiReply route(const std::string& method, const std::vector<std::string>& parts, const nlohmann::json& body,
                 const std::string& query);
  ApiReply patientRoute(const std::string& method, int64_t id, const std::string& sub, const nlohmann::json& body,
                        const std::string& query);
  ApiReply planRoute(const std::string& method, int64_t id, const std::string& sub, const nlohmann::json& body,
                     const std::string& query);
  ApiReply sessionRoute(const std::string& method, int64_t id, const std::string& sub, const nlohmann::json& body);
  ApiReply libraryRoute(const std::vector<std::string>& parts);
  ApiReply setIntroduction(const std::string& name, const nlohmann::json& body);

  ApiReply addPatient(const nlohmann::json& body);
  // recent > 0: only the latest that many sessions, with the count of all.
  ApiReply patientPage(int64_t id, int recent);
  ApiReply savePlan(int64_t patientId, int64_t planId, const nlohmann::json& body);
  // Starts a plan (resumes 0) or takes a session up again at exercise first.
  ApiReply start(int64_t patientId, int64_t planId, int first, int64_t resumes);
  ApiReply resume(int64_t sessionId);
  ApiReply deletePatient(int64_t id, const nlohmann::json& body);
  ApiReply sessionPage(int64_t id);
  ApiReply addCheckin(int64_t sessionId, const nlohmann::json& body);
  ApiReply now();
  ApiReply rooms();
  // Why a plan of items at speed cannot be played: an item not in the
  // library or not playable, or a speed above what an item allows; "" when it can.
  std::string unplayable(const std::vector<std::string>& items, double speed);

  ClinicStore& store_;
  ExerciseLibrary& library_;
  SessionLauncher& launcher_;
  std::string logFolder_;
  std::function<void(const std::string&)> changed_;
  std::mutex startMutex_;  // one Start at a time: the second sees the first's node
  std::mutex newsMutex_;
  nlohmann::json refused_;  // the last launch refused, for the page
};

// Helpers shared by the API's files.
ApiReply answer(int status, const nlohmann::json& body);
ApiReply problem(int status, const std::string& message);
// A store's error as an answer, by its kind: a rule 400, unknown 404, taken
// or not allowed now 409, the database itself 500.
ApiReply storeProblem(Fault fault, const std::string& message);
template <class T>
ApiReply storeProblem(const Result<T>& failed)
{
  return storeProblem(failed.fault, failed.error);
}
nlohmann::json sessionToJson(const SessionSummary& s);
}  // namespace nao_kinora_console

#endif  // NAO_KINORA_CONSOLE_CLINIC_API_H
