#include "nao_kinora_console/console_server.h"

#include "nao_kinora_console/request_rules.h"

#include <ros/names.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace nao_kinora_console
{
namespace
{
using httplib::Request;
using httplib::Response;
using Handled = httplib::Server::HandlerResponse;

const char* const kTokenHeader = "X-Console-Token";
// Each open page holds one server thread for its live updates; the rest serve
// files and actions, whose calls may take up to the 2 s deadline.
const int kMaxStreams = 8;
const int kServerThreads = kMaxStreams + 8;
bool validToken(const std::string& token)
{
  for (char c : token)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == '~'))
      return false;
  return true;
}

void reply(Response& response, int status, const std::string& text)
{
  response.status = status;
  response.set_content(text + "\n", "text/plain; charset=utf-8");
}

void replyJson(Response& response, int status, const nlohmann::json& body)
{
  response.status = status;
  response.set_content(body.dump(), "application/json");
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
  return path == "/api/pause" || path == "/api/skip" || path == "/api/end";
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

Console::Console(const ConsoleOptions& options)
  : options_(options), coach_(options.coach)
{
  char real[PATH_MAX];
  if (realpath(options_.webRoot.c_str(), real))
    root_ = real;

  // Latched: the last status arrives as soon as the console subscribes.
  statusSub_ = nh_.subscribe(options_.coach + "/status", 10, &Console::statusHandle, this);
  // The joint rows are on the coaching program's namespace, beside its name.
  rowSub_ = nh_.subscribe(ros::names::parentNamespace(options_.coach) + "/jointAngleArray", 1, &Console::rowHandle,
                          this);

  server_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  // httplib's default also sets SO_REUSEPORT, with which a second program
  // could bind the same port and take part of the page's requests.
  server_.set_socket_options([](socket_t socket) {
    const int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_.set_payload_max_length(kMaxBody);
  server_.set_pre_routing_handler([this](const Request& request, Response& response) {
    return guard(request, response);
  });
  server_.Get("/events", [this](const Request&, Response& response) { serveEvents(response); });
  server_.Get("/api/status", [this](const Request&, Response& response) {
    response.set_header("Cache-Control", "no-store");
    replyJson(response, 200, view());
  });
  server_.Post("/api/(pause|skip|end)", [this](const Request& request, Response& response) {
    serveAction(request, response);
  });
  server_.Get("/.*", [this](const Request& request, Response& response) { serveFile(request, response); });
  server_.set_default_headers({ { "X-Content-Type-Options", "nosniff" },
                                { "X-Frame-Options", "DENY" },
                                { "Referrer-Policy", "no-referrer" } });
}

Console::~Console()
{
  stop();
}

bool Console::bind(std::string& error)
{
  if (options_.port == 0)
    port_ = server_.bind_to_any_port(options_.bind);
  else if (server_.bind_to_port(options_.bind, options_.port))
    port_ = options_.port;
  else
    port_ = -1;
  if (port_ <= 0)
  {
    error = "cannot listen on " + options_.bind + ":" + std::to_string(options_.port) +
            " (address not on this machine, or the port is taken)";
    return false;
  }
  return true;
}

void Console::serve()
{
  server_.listen_after_bind();
}

void Console::stop()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  server_.stop();
}

Handled Console::guard(const Request& request, Response& response)
{
  // One Host, naming this console: a page of another site whose name was
  // pointed at this machine sends its own name.
  if (request.get_header_value_count("Host") != 1)
  {
    reply(response, 400, "A request needs one Host header.");
    return Handled::Handled;
  }
  const std::string host = request.get_header_value("Host");
  if (isLoopbackAddress(options_.bind) && !loopbackHostAllowed(host, port_))
  {
    reply(response, 403, "This console answers to 127.0.0.1:" + std::to_string(port_) + " and localhost only.");
    return Handled::Handled;
  }
  if (!options_.token.empty())
  {
    const std::string given = request.has_header(kTokenHeader) ? request.get_header_value(kTokenHeader)
                                                                : request.get_param_value("token");
    if (!tokenMatches(given, options_.token))
    {
      response.status = 403;
      if (request.method == "GET" && (request.path == "/" || request.path == "/index.html"))
        response.set_content(kTokenPage, "text/html; charset=utf-8");
      else
        reply(response, 403, "This console needs its access token.");
      return Handled::Handled;
    }
  }
  // Bodies are small and say their length, so none is read beyond the limit.
  if (request.has_header("Transfer-Encoding"))
  {
    reply(response, 411, "A request body needs a Content-Length.");
    response.set_header("Connection", "close");
    return Handled::Handled;
  }
  if (request.has_header("Content-Length"))
  {
    const std::string length = request.get_header_value("Content-Length");
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(length.c_str(), &end, 10);
    if (length.empty() || *end != '\0' || !std::isdigit(static_cast<unsigned char>(length[0])) ||
        request.get_header_value_count("Content-Length") != 1)
    {
      reply(response, 400, "Malformed Content-Length.");
      response.set_header("Connection", "close");
      return Handled::Handled;
    }
    if (bytes > kMaxBody)
    {
      reply(response, 413, "A request body may hold at most " + std::to_string(kMaxBody) + " bytes.");
      response.set_header("Connection", "close");
      return Handled::Handled;
    }
  }
  if (isAction(request.path))
  {
    if (request.method != "POST")
    {
      response.set_header("Allow", "POST");
      reply(response, 405, "Actions are sent with POST.");
      return Handled::Handled;
    }
    // Only the console's own page may act: a browser names the page's site.
    if (!originAllowed(request.get_header_value("Origin"), host))
    {
      reply(response, 403, "Actions are taken from the console's own page only.");
      return Handled::Handled;
    }
  }
  else if (request.method != "GET" && request.method != "HEAD")
  {
    response.set_header("Allow", "GET, HEAD");
    reply(response, 405, "Only GET and HEAD here.");
    return Handled::Handled;
  }
  return Handled::Unhandled;
}

void Console::serveFile(const Request& request, Response& response)
{
  const std::string path = staticFile(request.target, root_);
  std::ifstream in(path.c_str(), std::ios::binary);
  if (path.empty() || !in)
  {
    reply(response, 404, "Not found.");
    return;
  }
  std::ostringstream content;
  content << in.rdbuf();
  response.set_header("Cache-Control", "no-cache");
  // The page may talk to the console only, and may not be framed by another
  // site, whose page could lay it under its own buttons.
  response.set_header("Content-Security-Policy",
                      "default-src 'self'; script-src 'self' 'unsafe-inline'; img-src 'self' data:; "
                      "frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
  response.set_content(content.str(), mimeType(path).c_str());
}

void Console::serveEvents(Response& response)
{
  if (++streams_ > kMaxStreams)
  {
    --streams_;
    reply(response, 503, "Too many pages are open on this console.");
    return;
  }
  auto stream = std::make_shared<Stream>();
  response.set_header("Cache-Control", "no-store");
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, stream](std::size_t, httplib::DataSink& sink) { return pump(*stream, sink); },
      [this](bool) { --streams_; });
}

void Console::serveAction(const Request& request, Response& response)
{
  nlohmann::json body = nlohmann::json::object();
  if (!request.body.empty())
  {
    body = nlohmann::json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object())
    {
      replyJson(response, 400, { { "ok", false }, { "message", "The request body is not a JSON object." } });
      return;
    }
  }
  CallOutcome outcome;
  if (request.path == "/api/pause")
  {
    if (!body.contains("pause") || !body["pause"].is_boolean())
    {
      replyJson(response, 400, { { "ok", false }, { "message", "Say {\"pause\": true} or {\"pause\": false}." } });
      return;
    }
    outcome = coach_.pause(body["pause"].get<bool>());
  }
  else if (request.path == "/api/skip")
    outcome = coach_.skip();
  else
  {
    // Ending cannot be undone: the page asks first, and says so.
    if (!body.contains("confirm") || body["confirm"] != true)
    {
      replyJson(response, 400, { { "ok", false }, { "message", "Ending the session needs {\"confirm\": true}." } });
      return;
    }
    outcome = coach_.end();
  }

  int status = 200;
  switch (outcome.kind)
  {
    case CallOutcome::kAnswered: status = outcome.success ? 200 : 409; break;
    case CallOutcome::kNotRunning: status = 503; break;
    case CallOutcome::kBusy: status = 503; break;
    case CallOutcome::kNoAnswer: status = 504; break;
    case CallOutcome::kFailed: status = 502; break;
  }
  replyJson(response, status, { { "ok", outcome.kind == CallOutcome::kAnswered && outcome.success },
                                { "answered", outcome.kind == CallOutcome::kAnswered },
                                { "message", outcome.message } });
}
}  // namespace nao_kinora_console
