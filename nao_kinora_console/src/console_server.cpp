#include "nao_kinora_console/console_server.h"

#include "nao_kinora_console/clinic_follower.h"
#include "nao_kinora_console/clinic_rules.h"
#include "nao_kinora_console/request_rules.h"

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
const char* const kTokenHeader = "X-Console-Token";
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

Response reply(int status, const std::string& text)
{
  Response answer;
  answer.result(status);
  answer.set(http::field::content_type, "text/plain; charset=utf-8");
  answer.body() = text + "\n";
  return answer;
}

// The same, on a connection that must not carry another request.
Response replyClosing(int status, const std::string& text)
{
  Response answer = reply(status, text);
  answer.keep_alive(false);
  return answer;
}

Response replyJson(int status, const nlohmann::json& body)
{
  Response answer;
  answer.result(status);
  answer.set(http::field::content_type, "application/json");
  answer.body() = body.dump();
  return answer;
}
// Served instead of the page to a request without the token: a tab that has
// the token from an earlier visit asks again with it, once.
const char* const kTokenPage = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Session console</title>
<meta name="viewport" content="width=device-width, initial-scale=1"></head>
<body style="font: 1.4rem sans-serif; margin: 2rem">
<p id="why">This console needs its access link, the one with <code>?token=</code> in it.</p>
<script>
(function () {
  var token = sessionStorage.getItem('kinoraConsoleToken');
  if (token && location.search.indexOf('token=') < 0) {
    location.replace('/?token=' + encodeURIComponent(token));
  } else if (token) {
    sessionStorage.removeItem('kinoraConsoleToken');
    document.getElementById('why').textContent = 'This access link is not valid.';
  }
})();
</script></body></html>
)";

bool isAction(const std::string& path)
{
  return path == "/api/pause" || path == "/api/skip" || path == "/api/end" || path == "/api/speed" ||
         TeachDesk::isAction(path);
}

std::string pathOf(const Request& request)
{
  const std::string target(request.target());
  return target.substr(0, target.find('?'));
}
// Bodies are small and say their length, so none is read beyond the limit.
bool refuseBody(const Request& head, Response& answer)
{
  if (head.count(http::field::transfer_encoding))
  {
    answer = replyClosing(411, "A request body needs a Content-Length.");
    return true;
  }
  // The parser has refused a length that is not a plain number, but takes the
  // same length twice.
  if (head.count(http::field::content_length) > 1)
  {
    answer = replyClosing(400, "Malformed Content-Length.");
    return true;
  }
  const auto length = head.find(http::field::content_length);
  const std::size_t limit = bodyLimit(std::string(head.target()));
  if (length != head.end() && std::strtoull(std::string(length->value()).c_str(), nullptr, 10) > limit)
  {
    answer = replyClosing(413, "A request body may hold at most " + std::to_string(limit) + " bytes.");
    return true;
  }
  return false;
}

bool refuseMethod(const Request& head, Response& answer)
{
  const bool reads = head.method() == http::verb::get || head.method() == http::verb::head;
  if (isClinicPath(pathOf(head)))
  {
    // The clinic's changes, like the actions, come from the console's own page only.
    if (!reads && !originAllowed(std::string(head[http::field::origin]), std::string(head[http::field::host])))
    {
      answer = reply(403, "Changes are made from the console's own page only.");
      return true;
    }
  }
  else if (isAction(pathOf(head)))
  {
    if (head.method() != http::verb::post)
    {
      answer = reply(405, "Actions are sent with POST.");
      answer.set(http::field::allow, "POST");
      return true;
    }
    // Only the console's own page may act: a browser names the page's site.
    if (!originAllowed(std::string(head[http::field::origin]), std::string(head[http::field::host])))
    {
      answer = reply(403, "Actions are taken from the console's own page only.");
      return true;
    }
  }
  else if (head.method() != http::verb::get && head.method() != http::verb::head)
  {
    answer = reply(405, "Only GET and HEAD here.");
    answer.set(http::field::allow, "GET, HEAD");
    return true;
  }
  return false;
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
           "http://HOST:PORT/?token=TOKEN";
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
  char real[PATH_MAX];
  if (realpath(options_.webRoot.c_str(), real))
    root_ = real;

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
  acceptor_.async_accept(
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
        if (place)
          std::make_shared<HttpSession>(std::move(socket), std::move(place), static_cast<RequestHandler&>(*this))
              ->start();
        accept();
      });
}

bool Console::refuse(const Request& head, Response& answer)
{
  const std::string method(head.method_string());
  const std::string path = pathOf(head);
  if (!knownMethod(method))
  {
    answer = replyClosing(400, "Unknown method.");
    return true;
  }
  // One Host, naming this console: a page of another site whose name was
  // pointed at this machine sends its own name.
  if (head.count(http::field::host) != 1)
  {
    answer = reply(400, "A request needs one Host header.");
    return true;
  }
  const std::string host(head[http::field::host]);
  if (isLoopbackAddress(options_.bind) && !loopbackHostAllowed(host, port_))
  {
    answer = reply(403, "This console answers to 127.0.0.1:" + std::to_string(port_) + " and localhost only.");
    return true;
  }
  if (!options_.token.empty())
  {
    const std::string given = head.find(kTokenHeader) != head.end() ? std::string(head[kTokenHeader])
                                                                    : queryValue(std::string(head.target()), "token");
    if (!tokenMatches(given, options_.token))
    {
      answer = reply(403, "This console needs its access token.");
      if (method == "GET" && (path == "/" || path == "/index.html"))
      {
        answer.set(http::field::content_type, "text/html; charset=utf-8");
        answer.body() = kTokenPage;
      }
      return true;
    }
  }
  return refuseBody(head, answer) || refuseMethod(head, answer);
}

void Console::handle(const std::shared_ptr<HttpSession>& session, const Request& request)
{
  const std::string path = pathOf(request);
  if (request.method() == http::verb::post && TeachDesk::isAction(path))
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
  else if (path == "/api/status")
  {
    Response answer = replyJson(200, view());
    answer.set(http::field::cache_control, "no-store");
    session->reply(std::move(answer));
  }
  else
    session->reply(serveFile(request));
}

Response Console::serveFile(const Request& request)
{
  const std::string path = staticFile(std::string(request.target()), root_);
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
  // The call may wait for the whole deadline: on a worker, never on the io thread.
  net::post(workers_, [this, session, path, body] { session->reply(callControl(path, body)); });
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
