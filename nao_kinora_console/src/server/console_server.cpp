#include "nao_kinora_console/server/console_server.h"

#include "nao_kinora_console/clinic/clinic_follower.h"
#include "nao_kinora_console/server/audit_actions.h"
#include "nao_kinora_console/server/console_gate.h"
#include "nao_kinora_console/http/connection_detector.h"
#include "nao_kinora_console/store/clinic_rules.h"
#include "nao_kinora_console/http/request_rules.h"
#include "console_replies.h"

#include <ros/names.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nao_kinora_console
{
namespace
{
// Places one peer address may hold at once: pages and their requests, with
// room to spare; a machine that opens more gets them closed at once.
const int kPerAddress = 32;
// Calls to the coaching program at once; CoachClient refuses more than this
// many waiting on a program that hangs.
const int kWorkers = 4;

bool validToken(const std::string& token)
{
  for (char c : token)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == '~'))
      return false;
  return true;
}

}  // namespace

std::string optionsFault(const ConsoleOptions& options)
{
  if (options.port < 0 || options.port > 65535)
    return "~port " + std::to_string(options.port) + " is not a TCP port (0 to 65535)";
  if (!validToken(options.token))
    return "~token may hold only letters, digits and - _ . ~";
  if (options.token.empty() && !isLoopbackAddress(options.bind))
    return "~bind is " + options.bind +
           ", which other machines can reach: set ~token as well (a long random string), and open the page as "
           "https://HOST:PORT/?token=TOKEN";
  if (options.coach.empty() || options.coach[0] != '/')
    return "~coach_node [" + options.coach + "] is not a global node name such as /nao_kinora";
  char real[PATH_MAX];
  if (!realpath(options.webRoot.c_str(), real))
    return "the page's folder [" + options.webRoot + "] does not exist";
  return "";
}

Console::Console(const ConsoleOptions& options, std::unique_ptr<ClinicStore> store)
    : options_(options),
      coach_(options.coach),
      peers_(kPerAddress),
      acceptor_(io_),
      acceptPause_(io_),
      workers_(kWorkers),
      teach_(options.jointStatesTopic, options.recordingDir, [this] { return sessionPlaying(); })
{
  std::vector<StaticFolder> folders = options_.sideFolders;
  folders.push_back({"/", options_.webRoot});
  for (StaticFolder& folder : folders)
  {
    char real[PATH_MAX];
    if (realpath(folder.root.c_str(), real))
      folders_.push_back({folder.prefix, real, folder.extension});
    else
      ROS_WARN("%s is missing (scripts/setup.sh installs it): the pages cannot show the robot in 3D",
               folder.root.c_str());
  }

  // Latched: the last status arrives as soon as the console subscribes.
  statusSub_ = nh_.subscribe(options_.coach + "/status", 10, &Console::statusHandle, this);
  // The joint rows are on the coaching program's namespace, beside its name.
  rowSub_ =
      nh_.subscribe(ros::names::parentNamespace(options_.coach) + "/jointAngleArray", 1, &Console::rowHandle, this);
  store_ = std::move(store);
  if (store_)
    startClinic();
}

Console::~Console()
{
  stop();
  workers_.join();
}

void Console::useGate(std::unique_ptr<ConsoleGate> gate)
{
  gate_ = std::move(gate);
}

bool Console::bind(std::string& error)
{
  beast::error_code fault;
  tcp::resolver resolver(io_);
  const auto endpoints = resolver.resolve(options_.bind, std::to_string(options_.port),
                                          tcp::resolver::passive | tcp::resolver::numeric_service, fault);
  for (auto entry = endpoints.begin(); !fault && entry != endpoints.end(); ++entry)
  {
    beast::error_code ec;
    acceptor_.close(ec);
    acceptor_.open(entry->endpoint().protocol(), ec);
    // SO_REUSEADDR only: with SO_REUSEPORT a second program could bind the
    // same port and take part of the page's requests.
    if (!ec)
      acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec)
      acceptor_.bind(entry->endpoint(), ec);
    if (!ec)
      acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (!ec)
    {
      port_ = acceptor_.local_endpoint().port();
      return true;
    }
  }
  error = "cannot listen on " + options_.bind + ":" + std::to_string(options_.port) +
          " (address not on this machine, or the port is taken)";
  return false;
}

void Console::serve()
{
  accept();
  io_.run();
}

void Console::stop()
{
  io_.stop();
}

void Console::accept()
{
  // A strand per connection: its steps run one at a time, in order.
  acceptor_.async_accept(
      net::make_strand(io_),
      [this](beast::error_code error, tcp::socket socket)
      {
        if (error == net::error::operation_aborted)
          return;
        if (error)
        {
          // Most likely out of file descriptors: try again shortly, not in a loop.
          ROS_WARN_THROTTLE(10, "cannot accept a connection: %s", error.message().c_str());
          acceptPause_.expires_after(std::chrono::milliseconds(100));
          acceptPause_.async_wait(
              [this](beast::error_code e)
              {
                if (!e)
                  accept();
              });
          return;
        }
        beast::error_code ignored;
        std::shared_ptr<void> place = peers_.take(socket.remote_endpoint(ignored).address().to_string());
        // Without a place the socket is closed here, before a byte is read.
        RequestHandler& handler = *this;
        if (place && options_.certificate)
          std::make_shared<ConnectionDetector>(std::move(socket), std::move(place), *options_.certificate->context,
                                               handler)
              ->start();
        else if (place)
          servePlain(beast::tcp_stream(std::move(socket)), beast::flat_buffer(), std::move(place), handler);
        accept();
      });
}

void Console::handle(const std::shared_ptr<HttpSession>& session, const Request& request)
{
  const std::string path = pathOf(request);
  if (gate_ && ConsoleGate::isAccountPath(path))
  {
    // A login hashes its password, slow on purpose: on a worker.
    auto whole = std::make_shared<Request>(request);
    net::post(workers_, [this, session, whole] { session->reply(gate_->handle(*whole, session->source())); });
  }
  else if (request.method() == http::verb::post && TeachDesk::isAction(path))
  {
    // Save writes and flushes a file: on a worker, never on the io thread.
    const std::string body = request.body();
    net::post(workers_, [this, session, path, body] { session->reply(teach_.act(path, body)); });
  }
  else if (isClinicPath(path))
    serveClinic(session, request);
  else if (request.method() == http::verb::post)
    serveAction(session, request);
  else if (TeachDesk::isView(path))
    session->reply(teach_.look(path));
  else if (path == "/events" && request.method() == http::verb::get)
    serveEvents(session);
  else if (path == "/api/about")
    session->reply(replyJson(200, about(session->source())));
  else if (path == "/api/status")
  {
    Response answer = replyJson(200, view());
    answer.set(http::field::cache_control, "no-store");
    session->reply(std::move(answer));
  }
  else
    session->reply(serveFile(request));
}

// What a therapist compares to pair a tablet: the fingerprint of the
// certificate this page came with, when it came over TLS.
nlohmann::json Console::about(const RequestSource& from) const
{
  nlohmann::json answer = {{"tls", from.tls}, {"address", (from.tls ? "https://" : "http://") + from.local + "/"}};
  if (from.tls)
    answer["fingerprint"] = options_.certificate->fingerprint;
  return answer;
}

Response Console::serveFile(const Request& request)
{
  const std::string path = staticFile(std::string(request.target()), folders_);
  std::ifstream in(path.c_str(), std::ios::binary);
  if (path.empty() || !in)
    return reply(404, "Not found.");
  std::ostringstream content;
  content << in.rdbuf();
  Response answer;
  answer.set(http::field::content_type, mimeType(path));
  answer.set(http::field::cache_control, "no-cache");
  // The page may talk to the console only, and may not be framed by another
  // site, whose page could lay it under its own buttons.
  answer.set("Content-Security-Policy",
             "default-src 'self'; script-src 'self' 'unsafe-inline'; img-src 'self' data:; "
             "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
  answer.body() = content.str();
  return answer;
}

void Console::serveAction(const std::shared_ptr<HttpSession>& session, const Request& request)
{
  const std::string path = pathOf(request);
  nlohmann::json body = nlohmann::json::object();
  if (!request.body().empty())
    body = nlohmann::json::parse(request.body(), nullptr, false);
  std::string fault;
  if (body.is_discarded() || !body.is_object())
    fault = "The request body is not a JSON object.";
  else if (path == "/api/pause" && (!body.contains("pause") || !body["pause"].is_boolean()))
    fault = "Say {\"pause\": true} or {\"pause\": false}.";
  // Ending cannot be undone: the page asks first, and says so.
  else if (path == "/api/end" && (!body.contains("confirm") || body["confirm"] != true))
    fault = "Ending the session needs {\"confirm\": true}.";
  else if (path == "/api/speed" &&
           (!body.contains("speed") || !body["speed"].is_number() || !checkSpeed(body["speed"].get<double>()).empty()))
    fault = "speed: a number from 0.25 to 2.0, as {\"speed\": 0.5}.";
  if (!fault.empty())
  {
    session->reply(replyJson(400, {{"ok", false}, {"message", fault}}));
    return;
  }
  const std::string who = gate_ ? gate_->identify(request).who() : "";
  // The call may wait for the whole deadline: on a worker, never on the io thread.
  net::post(workers_,
            [this, session, path, body, who]
            {
              Response answer = callControl(path, body);
              if (answer.result() == http::status::ok)
                audit(who, controlAction(path, body));
              session->reply(std::move(answer));
            });
}

// Recording is refused while the coaching program is running a session that
// is not over: the robot moves to its rows.
bool Console::sessionPlaying()
{
  std::lock_guard<std::mutex> lock(mutex_);
  return haveStatus_ && status_.phase != nao_kinora_msgs::SessionStatus::PHASE_OVER &&
         statusSub_.getNumPublishers() > 0;
}

Response Console::callControl(const std::string& path, const nlohmann::json& body)
{
  const CallOutcome outcome = path == "/api/pause"   ? coach_.pause(body.at("pause").get<bool>())
                              : path == "/api/skip"  ? coach_.skip()
                              : path == "/api/speed" ? coach_.setSpeed(body.at("speed").get<double>())
                                                     : coach_.end();
  int status = 200;
  switch (outcome.kind)
  {
    case CallOutcome::kAnswered:
      status = outcome.success ? 200 : 409;
      break;
    case CallOutcome::kNotRunning:
      status = 503;
      break;
    case CallOutcome::kBusy:
      status = 503;
      break;
    case CallOutcome::kNoAnswer:
      status = 504;
      break;
    case CallOutcome::kFailed:
      status = 502;
      break;
  }
  return replyJson(status, {{"ok", outcome.kind == CallOutcome::kAnswered && outcome.success},
                            {"answered", outcome.kind == CallOutcome::kAnswered},
                            {"message", outcome.message}});
}
}  // namespace nao_kinora_console
