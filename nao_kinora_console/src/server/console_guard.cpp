// What the console refuses from a request's header alone, before any body is
// read: plain HTTP where other machines can reach the console, an unknown
// method, a Host that is not this console, a missing or wrong token, a body
// too long or without a length, a method or an Origin that the path does not take.
#include "nao_kinora_console/server/console_server.h"
#include "nao_kinora_console/server/console_gate.h"

#include "nao_kinora_console/records/clinic_rules.h"
#include "nao_kinora_console/http/request_rules.h"
#include "console_replies.h"

#include <cstdlib>

namespace nao_kinora_console
{
namespace
{
const char* const kTokenHeader = "X-Console-Token";

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
         path == "/api/release" || path == "/api/pose" || TeachDesk::isAction(path);
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

// viaToken: an account's personal token let it in, sent by a script, never
// added by a browser on its own: no page of another site can send it.
bool refuseMethod(const RequestSource& from, const Request& head, Response& answer, bool viaToken)
{
  const bool reads = head.method() == http::verb::get || head.method() == http::verb::head;
  if (isClinicPath(pathOf(head)) || ConsoleGate::isAccountPath(pathOf(head)))
  {
    // The clinic's changes, like the actions, come from the console's own page only.
    if (!reads && !viaToken &&
        !originAllowed(std::string(head[http::field::origin]), std::string(head[http::field::host]), from.tls))
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
    if (!viaToken &&
        !originAllowed(std::string(head[http::field::origin]), std::string(head[http::field::host]), from.tls))
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

bool Console::refuse(const RequestSource& from, const Request& head, Response& answer)
{
  try
  {
    return refuseHead(from, head, answer);
  }
  catch (const std::exception& e)
  {
    answer = internalFault("a request's header", e.what());
    answer.keep_alive(false);
    return true;
  }
}

// From the header and memory alone: nothing here waits.
bool Console::refuseHead(const RequestSource& from, const Request& head, Response& answer)
{
  const std::string method(head.method_string());
  const std::string path = pathOf(head);
  // What crosses the network is encrypted: a plain request is told where the
  // console is, and nothing else.
  if (!from.tls && !isLoopbackAddress(options_.bind))
  {
    // With accounts a login lets in: no token to speak of.
    const bool accounts = gate_ && gate_->accountsOn();
    answer = replyClosing(400, "This console answers over HTTPS only: open https://" + from.local + "/" +
                                   (accounts ? "." : " with its access link's ?token=."));
    return true;
  }
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
  // With accounts, a login or a personal token lets in, not the shared token.
  if (gate_ && gate_->accountsOn())
  {
    // A login not held in memory is let on to be looked up with its body.
    const Visitor visitor = gate_->identify(head);
    if (!ConsoleGate::isOpen(path) && (visitor.state == Visitor::kNone || visitor.state == Visitor::kEnded))
    {
      answer = ConsoleGate::refusal(head, visitor);
      return true;
    }
    return refuseBody(head, answer) || refuseMethod(from, head, answer, visitor.viaToken);
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
  return refuseBody(head, answer) || refuseMethod(from, head, answer, false);
}
}  // namespace nao_kinora_console
