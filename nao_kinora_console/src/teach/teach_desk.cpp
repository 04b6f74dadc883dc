#include "nao_kinora_console/teach/teach_desk.h"
#include "nao_kinora_console/http/json_text.h"

#include <nao_kinora/recording.h>

#include <nlohmann/json.hpp>

namespace nao_kinora_console
{
namespace
{
// A burst of joint states while the console is busy must not be dropped
// from a recording.
const uint32_t kStateQueue = 1000;

Response replyJson(int status, const nlohmann::json& body)
{
  Response answer;
  answer.result(status);
  answer.set(http::field::content_type, "application/json");
  answer.set(http::field::cache_control, "no-store");
  answer.body() = jsonText(body);
  return answer;
}

Response replyAnswer(const TeachAnswer& answer, const nlohmann::json& view)
{
  static const int kStatus[] = {200, 400, 409, 409, 500};
  return replyJson(kStatus[answer.kind], {{"ok", answer.kind == TeachAnswer::kDone},
                                          {"exists", answer.kind == TeachAnswer::kExists},
                                          {"message", answer.message},
                                          {"teach", view}});
}

// A field of the body: absent gives fallback; of another type, a fault.
template <class T>
bool field(const nlohmann::json& body, const char* name, T& value, std::string& fault)
{
  if (!body.contains(name))
    return true;
  try
  {
    value = body.at(name).get<T>();
    return true;
  }
  catch (const nlohmann::json::exception&)
  {
    fault = std::string("The field \"") + name + "\" is of the wrong type.";
    return false;
  }
}
}  // namespace

TeachDesk::TeachDesk(const std::string& jointStatesTopic, const std::string& recordingDir,
                     std::function<bool()> sessionPlaying)
    : sessionPlaying_(std::move(sessionPlaying)), teacher_(recordingDir)
{
  stateSub_ = nh_.subscribe(jointStatesTopic, kStateQueue, &TeachDesk::stateHandle, this);
}

bool TeachDesk::isAction(const std::string& path)
{
  return path == "/api/teach/start" || path == "/api/teach/stop" || path == "/api/teach/save" ||
         path == "/api/teach/discard";
}

bool TeachDesk::isView(const std::string& path)
{
  return path == "/api/teach" || path == "/api/teach/draft";
}

void TeachDesk::stateHandle(const sensor_msgs::JointState::ConstPtr& state)
{
  // A bridge that leaves the stamp out: the time of receipt, as the recorder takes it.
  const ros::Time stamp = state->header.stamp.isZero() ? ros::Time::now() : state->header.stamp;
  std::lock_guard<std::mutex> lock(mutex_);
  teacher_.observe(state->name, state->position, stamp.toSec());
}

Response TeachDesk::act(const std::string& path, const std::string& text)
{
  nlohmann::json body = nlohmann::json::object();
  if (!text.empty())
    body = nlohmann::json::parse(text, nullptr, false);
  if (body.is_discarded() || !body.is_object())
    return replyJson(400, {{"ok", false}, {"message", "The request body is not a JSON object."}});
  std::string name, fault;
  bool overwrite = false;
  if (!field(body, "name", name, fault) || !field(body, "overwrite", overwrite, fault))
    return replyJson(400, {{"ok", false}, {"message", fault}});
  // Asked before the teacher's lock: the status has a lock of its own.
  const bool playing = path == "/api/teach/start" && sessionPlaying_();
  std::lock_guard<std::mutex> lock(mutex_);
  TeachAnswer answer;
  if (path == "/api/teach/start")
    answer = teacher_.start(name, playing);
  else if (path == "/api/teach/stop")
    answer = teacher_.stop();
  else if (path == "/api/teach/save")
    answer = teacher_.save(name, overwrite);
  else
    answer = teacher_.discard();
  return replyAnswer(answer, teacher_.view());
}

Response TeachDesk::look(const std::string& path)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (path != "/api/teach/draft")
    return replyJson(200, teacher_.view());
  // The preview holds row 0 as a session would.
  return replyJson(200, {{"rows", teacher_.draftRows()}, {"firstRowSeconds", nao_kinora::kFirstRowDuration}});
}
}  // namespace nao_kinora_console
