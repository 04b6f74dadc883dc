// The clinic in the console: its parts set up beside the server, its
// requests (/api/clinic/...) answered on a worker, its changes sent to every
// open page on the event stream.
#include "nao_kinora_console/server/console_server.h"
#include "nao_kinora_console/http/json_text.h"

#include "nao_kinora_console/camera/tracker_side.h"
#include "nao_kinora_console/clinic/clinic_api.h"
#include "nao_kinora_console/clinic/clinic_follower.h"
#include "nao_kinora_console/clinic/exercise_library.h"
#include "nao_kinora_console/http/request_rules.h"
#include "nao_kinora_console/server/audit_actions.h"
#include "nao_kinora_console/server/console_gate.h"
#include "nao_kinora_console/session/session_launcher.h"
#include "console_replies.h"

namespace nao_kinora_console
{
namespace
{
const std::size_t kPrefix = std::string("/api/clinic").size();
}

void Console::startClinic()
{
  library_.reset(new ExerciseLibrary(options_.recordingDir));
  // A node killed stays listed as a publisher of its status: one runs when
  // its status is published and its controls answer.
  const std::string control = options_.coach + "/pause_playback";
  const auto coachRunning = [this, control]
  { return statusSub_.getNumPublishers() > 0 && ros::service::exists(control, false); };
  launcher_.reset(new SessionLauncher(options_.nodeProgram, options_.sessionFolder, coachRunning));
  // The person tracker reads the plan's side matching as each exercise starts.
  const std::string coach = options_.coach;
  launcher_->beforeLaunch([coach](const LaunchPlan& plan) { return setTrackerMirror(coach, plan.mirror); });
  const auto changed = [this](const std::string& what) { clinicChanged(what); };
  api_.reset(new ClinicApi(*store_, *library_, *launcher_, options_.sessionFolder, changed));
  follower_.reset(new ClinicFollower(*store_, *launcher_, *api_, coachRunning, changed));
  follower_->start();
}

void Console::clinicChanged(const std::string& what)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++clinicCount_;
    clinicWhat_ = what;
  }
  wakeStreams();
}

void Console::serveClinic(const std::shared_ptr<HttpSession>& session, const Request& request, const Visitor& by)
{
  if (!api_)
  {
    Response answer{http::status::service_unavailable, request.version()};
    answer.set(http::field::content_type, "application/json");
    answer.body() = nlohmann::json({{"ok", false},
                                    {"message",
                                     "This console keeps no records: it was started without a "
                                     "database, and only follows the session."}})
                        .dump();
    session->reply(std::move(answer));
    return;
  }
  const std::string method(request.method_string());
  const std::string target = std::string(request.target()).substr(kPrefix);
  const std::string body = request.body();
  const std::string who = by.who();
  // The store writes with fsync and may wait for its database: on the
  // records' threads, never on the io thread or the controls'.
  const bool posted = records_.post(
      [this, session, method, target, body, who]
      {
        ApiReply reply;
        try
        {
          reply = api_->handle(method == "HEAD" ? "GET" : method, target, body);
        }
        catch (const std::exception& e)
        {
          session->reply(internalFault("a clinic request", e.what()));
          return;
        }
        Response answer;
        answer.result(reply.status);
        answer.set(http::field::cache_control, "no-store");
        if (reply.contentType.empty())
        {
          answer.set(http::field::content_type, "application/json");
          answer.body() = jsonText(reply.body);
        }
        else
        {
          answer.set(http::field::content_type, reply.contentType);
          answer.set(http::field::content_disposition, "attachment; filename=\"" + reply.fileName + "\"");
          answer.body() = reply.text;
        }
        // Queued for the trail before the answer goes: a page that reads the
        // trail once it has its answer sees the entry.
        recordAction(
            who, clinicAction(method, target, reply.status, reply.body, nlohmann::json::parse(body, nullptr, false)),
            wallNow());
        session->reply(std::move(answer));
      });
  if (!posted)
  {
    Response answer = replyJson(503, {{"ok", false}, {"message", "The console is busy. Try again in a moment."}});
    answer.set(http::field::retry_after, "2");
    session->reply(std::move(answer));
  }
}

// Recorded with the patient it concerns, found from its plan or session, on
// the records' threads: what asked for it has had its answer. The running
// session's controls go to the session that runs.
void Console::audit(const std::string& who, const AuditAction& done)
{
  if (!gate_ || done.action.empty())
    return;
  const double at = wallNow();
  AuditAction a = done;
  // The running session, from memory: the controls never wait on the records.
  if (a.sessionId == 0 && a.patientId == 0 && a.planId == 0 && follower_)
    a.sessionId = follower_->runningHere();
  if (!records_.post([this, who, a, at] { recordAction(who, a, at); }))
  {
    Visitor by;
    by.account.name = who;
    gate_->record(by, a.action, a.patientId, a.sessionId, a.detail, at);
  }
}

// Finds the patient an action concerns (it may wait on the records), then
// hands the entry to the trail's queue.
void Console::recordAction(const std::string& who, const AuditAction& done, double at)
{
  if (!gate_ || done.action.empty())
    return;
  AuditAction a = done;
  if (store_ && a.patientId == 0 && a.sessionId > 0)
    a.patientId = store_->session(a.sessionId).value.patientId;
  if (store_ && a.patientId == 0 && a.planId > 0)
    a.patientId = store_->plan(a.planId).value.patientId;
  Visitor by;
  by.account.name = who;
  gate_->record(by, a.action, a.patientId, a.sessionId, a.detail, at);
}
}  // namespace nao_kinora_console
