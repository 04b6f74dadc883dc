#include "nao_kinora_console/server/console_server.h"

#include "nao_kinora_console/camera/pose_relay.h"
#include "nao_kinora_console/clinic/clinic_follower.h"
#include "nao_kinora_console/http/connection_detector.h"
#include "nao_kinora_console/http/request_rules.h"
#include "nao_kinora_console/records/clinic_rules.h"
#include "nao_kinora_console/server/audit_actions.h"
#include "nao_kinora_console/server/console_gate.h"
#include "nao_kinora_console/session/session_launcher.h"
#include "console_replies.h"

#include <ros/names.h>

#include <algorithm>
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
const int kControlThreads = 4;
// Password checks at once (each takes tens of milliseconds and 64 MiB on
// purpose) and waiting; past them a login is told to try again at once. One
// address may have this many in the queue or running.
const int kPasswordThreads = 2;
const std::size_t kPasswordQueue = 8;
const int kLoginsPerAddress = 2;
// Looking up logins not held in memory, and the clinic's requests: each waits
// at most its database deadline.
const int kLookupThreads = 2;
const std::size_t kLookupQueue = 64;
const int kRecordThreads = 4;
const std::size_t kRecordQueue = 128;

bool validToken(const std::string& token)
{
  for (char c : token)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == '~'))
      return false;
  return true;
}

// What the therapist asked for, in the trail's and the page's words.
std::string controlName(const std::string& path, const nlohmann::json& body)
{
  return path == "/api/pause" ? (body.at("pause").get<bool>() ? "pause" : "continue") : path.substr(5);
}
}  // namespace

std::string optionsFault(const ConsoleOptions& options, bool accounts)
{
  if (options.port < 0 || options.port > 65535)
    return "~port " + std::to_string(options.port) + " is not a TCP port (0 to 65535)";
  if (!validToken(options.token))
    return "~token may hold only letters, digits and - _ . ~";
  if (options.token.empty() && !isLoopbackAddress(options.bind) && !accounts)
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
      controls_("controls", kControlThreads, 16),
      passwords_("password checks", kPasswordThreads, kPasswordQueue),
      lookups_("login lookups", kLookupThreads, kLookupQueue),
      records_("records", kRecordThreads, kRecordQueue),
      teach_(options.jointStatesTopic, options.recordingDir, [this] { return sessionPlaying(); })
{
  lateSink_->console = this;
  std::vector<StaticFolder> folders = options_.sideFolders;
  folders.push_back({"/", options_.webRoot});
  for (StaticFolder& folder : folders)
  {
    char real[PATH_MAX];
    if (realpath(folder.root.c_str(), real))
      folders_.push_back({folder.prefix, real, folder.extension});
    else
      ROS_WARN(
          "%s is missing (scripts/setup.sh installs it): the pages cannot use it (the robot in 3D, the "
          "camera's pose model)",
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
  {
    // A late answer that comes from now on reaches nobody.
    std::lock_guard<std::mutex> hold(lateSink_->mutex);
    lateSink_->console = nullptr;
  }
  stop();
  controls_.stop();
  passwords_.stop();
  lookups_.stop();
  records_.stop();
}

void Console::useGate(std::unique_ptr<ConsoleGate> gate)
{
  gate_ = std::move(gate);
  gate_->onEnded([this](const std::vector<std::string>& hashes, LoginEnd why) { loginsEnded(hashes, why); });
  gate_->start();
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
  // The last line: a handler that threw is logged, and the io thread goes on.
  for (;;)
  {
    try
    {
      io_.run();
      return;
    }
    catch (const std::exception& e)
    {
      ++internalFaults_;
      ROS_ERROR("the console's io thread: %s (it goes on)", e.what());
    }
  }
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

Response Console::internalFault(const char* where, const char* what)
{
  ++internalFaults_;
  ROS_ERROR("%s: %s (the console goes on)", where, what);
  return replyJson(500,
                   {{"ok", false}, {"message", "The console could not answer this request (a fault of its own)."}});
}

void Console::handle(const std::shared_ptr<HttpSession>& session, const Request& request)
{
  try
  {
    Visitor by;
    by.state = Visitor::kIn;  // without accounts, the shared token was checked with the header
    if (gate_)
      by = gate_->identify(request);
    if (by.state == Visitor::kIn || ConsoleGate::isOpen(pathOf(request)))
    {
      dispatch(session, request, by);
      return;
    }
    if (by.state != Visitor::kNotHeld)
    {
      session->reply(ConsoleGate::refusal(request, by));
      return;
    }
    // Not held in memory (the console restarted since): looked up once, on a
    // thread that may wait for the database, then routed on the io thread.
    auto whole = std::make_shared<Request>(request);
    const bool posted = lookups_.post(
        [this, session, whole]
        {
          const Visitor found = gate_->resolve(*whole);
          if (found.state != Visitor::kIn)
            session->reply(ConsoleGate::refusal(*whole, found));
          else
            net::post(io_, [this, session, whole, found] { dispatch(session, *whole, found); });
        });
    if (!posted)
      session->reply(replyJson(503, {{"ok", false}, {"message", "The console is busy checking logins. Try again."}}));
  }
  catch (const std::exception& e)
  {
    session->reply(internalFault("a request", e.what()));
  }
}

void Console::onPool(BoundedPool& pool, const std::shared_ptr<HttpSession>& session, std::function<Response()> work,
                     const char* busy)
{
  const bool posted = pool.post(
      [this, session, work]
      {
        try
        {
          session->reply(work());
        }
        catch (const std::exception& e)
        {
          session->reply(internalFault("a request", e.what()));
        }
      });
  if (!posted)
  {
    Response answer = replyJson(503, {{"ok", false}, {"message", busy}});
    answer.set(http::field::retry_after, "2");
    session->reply(std::move(answer));
  }
}

// Called on the io thread with the visitor let in: what needs no waiting is
// answered here, from memory; the rest goes to its pool.
void Console::dispatch(const std::shared_ptr<HttpSession>& session, const Request& request, const Visitor& by)
{
  const std::string path = pathOf(request);
  if (gate_ && ConsoleGate::isAccountPath(path))
    serveAccount(session, request, by);
  else if (request.method() == http::verb::post && TeachDesk::isAction(path))
  {
    // Save writes and flushes a file: never on the io thread.
    const std::string body = request.body();
    onPool(
        records_, session, [this, path, body] { return teach_.act(path, body); },
        "The console is busy. Try again in a moment.");
  }
  else if (isClinicPath(path))
    serveClinic(session, request, by);
  else if (path == "/api/pose" && request.method() == http::verb::post)
    servePose(session, request);
  else if (request.method() == http::verb::post)
    serveAction(session, request, by);
  else if (TeachDesk::isView(path))
    session->reply(teach_.look(path));
  else if (path == "/events" && request.method() == http::verb::get)
    serveEvents(session, by);
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

void Console::serveAccount(const std::shared_ptr<HttpSession>& session, const Request& request, const Visitor& by)
{
  const std::string path = pathOf(request);
  const bool post = request.method() == http::verb::post;
  if (path == "/api/me")
  {
    session->reply(gate_->me(by));
    return;
  }
  if (path == "/api/logout")
  {
    session->reply(post ? gate_->logout(request, session->source(), by)
                        : replyJson(405, {{"ok", false}, {"message", "Log out with POST."}}));
    return;
  }
  if (path != "/api/login")
  {
    auto whole = std::make_shared<Request>(request);
    // A change of one's own password checks the present one: a password check.
    onPool(
        path == "/api/password" ? passwords_ : records_, session,
        [this, whole, by] { return gate_->handle(*whole, by); }, "The console is busy. Try again in a moment.");
    return;
  }
  if (!post)
  {
    session->reply(replyJson(405, {{"ok", false}, {"message", "Log in with POST."}}));
    return;
  }
  // A password check is slow on purpose: a few at a time, a few from each
  // address; past that a login is told to try again, at once.
  const std::string address = session->source().peer;
  if (loginsInFlight_[address] >= kLoginsPerAddress)
  {
    Response answer = replyJson(429, {{"ok", false}, {"message", "Too many logins at once. Try again in a moment."}});
    answer.set(http::field::retry_after, "2");
    session->reply(std::move(answer));
    return;
  }
  ++loginsInFlight_[address];
  auto whole = std::make_shared<Request>(request);
  auto done = [this, address]
  {
    net::post(io_,
              [this, address]
              {
                if (--loginsInFlight_[address] <= 0)
                  loginsInFlight_.erase(address);
              });
  };
  const bool posted = passwords_.post(
      [this, session, whole, done]
      {
        try
        {
          session->reply(gate_->login(*whole, session->source()));
        }
        catch (const std::exception& e)
        {
          session->reply(internalFault("a login", e.what()));
        }
        done();
      });
  if (!posted)
  {
    done();
    Response answer =
        replyJson(429, {{"ok", false}, {"message", "Too many people are logging in at once. Try again in a moment."}});
    answer.set(http::field::retry_after, "2");
    session->reply(std::move(answer));
  }
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
             "default-src 'self'; script-src 'self' 'unsafe-inline' 'wasm-unsafe-eval'; img-src 'self' data:; "
             "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
  answer.body() = content.str();
  return answer;
}

void Console::serveAction(const std::shared_ptr<HttpSession>& session, const Request& request, const Visitor& by)
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
  else if (path == "/api/release" && (!body.contains("confirm") || body["confirm"] != true))
    fault = "Releasing the session needs {\"confirm\": true}.";
  else if (path == "/api/speed" &&
           (!body.contains("speed") || !body["speed"].is_number() || !checkSpeed(body["speed"].get<double>()).empty()))
    fault = "speed: a number from 0.25 to 2.0, as {\"speed\": 0.5}.";
  if (!fault.empty())
  {
    session->reply(replyJson(400, {{"ok", false}, {"message", fault}}));
    return;
  }
  const std::string who = by.who();
  // The call may wait for the whole deadline: on the controls' own threads.
  onPool(
      controls_, session,
      [this, path, body, who] { return path == "/api/release" ? release(body, who) : callControl(path, body, who); },
      "Still waiting for the coaching program to answer earlier requests.");
}

// Recording is refused while the coaching program is running a session that
// is not over: the robot moves to its rows.
bool Console::sessionPlaying()
{
  std::lock_guard<std::mutex> lock(mutex_);
  return haveStatus_ && status_.phase != nao_kinora_msgs::SessionStatus::PHASE_OVER &&
         statusSub_.getNumPublishers() > 0;
}

Response Console::callControl(const std::string& path, const nlohmann::json& body, const std::string& who)
{
  // Registered before the call: a call that misses its deadline stays listed
  // as sent, not confirmed, until the program answers or is gone.
  unsigned long id = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    id = ++pendingCount_;
  }
  const std::weak_ptr<LateSink> sink = lateSink_;
  const CoachClient::Late late = [sink, id, path, body, who](const CallOutcome& outcome)
  {
    const auto alive = sink.lock();
    if (!alive)
      return;
    std::lock_guard<std::mutex> hold(alive->mutex);
    if (alive->console)
      alive->console->controlLanded(id, path, body, who, outcome);
  };
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back({id, controlName(path, body), who, wallNow()});
  }
  double speedWas = 0;  // for the trail: "speed 0.75× (was 1×)"
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (haveStatus_)
      speedWas = status_.speed;
  }
  const CallOutcome outcome = path == "/api/pause"   ? coach_.pause(body.at("pause").get<bool>(), late)
                              : path == "/api/skip"  ? coach_.skip(late)
                              : path == "/api/speed" ? coach_.setSpeed(body.at("speed").get<double>(), late)
                                                     : coach_.end(late);
  if (outcome.kind != CallOutcome::kNoAnswer)
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.erase(
        std::remove_if(pending_.begin(), pending_.end(), [id](const PendingControl& p) { return p.id == id; }),
        pending_.end());
  }
  else
    wakeStreams();  // the pages show it as sent, not confirmed
  if (outcome.kind == CallOutcome::kAnswered && outcome.success)
    audit(who, controlAction(path, body, speedWas));
  int status = 200;
  switch (outcome.kind)
  {
    case CallOutcome::kAnswered:
      status = outcome.success ? 200 : 409;
      break;
    case CallOutcome::kNotRunning:
    case CallOutcome::kBusy:
      status = 503;
      break;
    case CallOutcome::kNoAnswer:
      // Sent, and it may yet be carried out: the trail will say when.
      return replyJson(202,
                       {{"ok", false},
                        {"answered", false},
                        {"pending", true},
                        {"message", "Sent to the coaching program, which has not confirmed it yet (no answer within " +
                                        std::to_string(static_cast<int>(coach_.deadline())) +
                                        " s). If the robot goes on moving, stop it on the robot and press Release."}});
    case CallOutcome::kFailed:
      status = 502;
      break;
  }
  return replyJson(status, {{"ok", outcome.kind == CallOutcome::kAnswered && outcome.success},
                            {"answered", outcome.kind == CallOutcome::kAnswered},
                            {"message", outcome.message}});
}

// A control the program answered after its deadline: no longer listed as
// sent, and in the trail with who asked and how late, whatever became of it.
void Console::controlLanded(unsigned long pending, const std::string& path, const nlohmann::json& body,
                            const std::string& who, const CallOutcome& outcome)
{
  double asked = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it)
      if (it->id == pending)
      {
        asked = it->asked;
        pending_.erase(it);
        break;
      }
  }
  wakeStreams();
  AuditAction a = controlAction(path, body);
  char late[64];
  std::snprintf(late, sizeof late, "%.1f", asked > 0 ? wallNow() - asked : 0.0);
  const bool done = outcome.kind == CallOutcome::kAnswered && outcome.success;
  if (!done)
    a.action += " not carried out";
  a.detail = nlohmann::json({{"late", std::stod(late)}, {"was", a.detail}, {"answer", outcome.message}})
                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  audit(who, a);
}

// The coaching program of this console's session stopped where it stands,
// answering or not: its process group ended (a request to end, then killed).
// The session's record closes as interrupted, with its resume point, when
// the follower sees the program's exit; the patient is free again.
Response Console::release(const nlohmann::json&, const std::string& who)
{
  if (!launcher_)
    return replyJson(
        409,
        {{"ok", false}, {"message", "This console did not start the coaching program: stop it where it was started."}});
  const std::vector<std::string> stopped = launcher_->stopRunning();
  if (stopped.empty())
    return replyJson(409, {{"ok", false}, {"message", "No coaching program started here is running."}});
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.clear();  // never to be confirmed now
  }
  wakeStreams();
  AuditAction a;
  a.action = "release";
  audit(who, a);
  return replyJson(200, {{"ok", true}, {"message", "The coaching program was stopped; the session can be resumed."}});
}
}  // namespace nao_kinora_console
