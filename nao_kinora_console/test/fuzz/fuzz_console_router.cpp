// The console's whole request router under libFuzzer: one HTTP request per
// input, parsed by Beast as a connection parses it, guarded on its header
// (refuse()) and, unless refused, handled (handle()) by a console with
// accounts and a clinic on an SQLite file in a temporary folder.
//
// Input: one byte of choices, then the request's bytes.
//   bits 0-1  the login it comes with: none, the admin's cookie, the
//             therapist's cookie, the therapist's personal token
//   bit 2     Host and Origin set to the console's own (its port is not known
//             in advance)
//   bit 3     Content-Length set to the bytes that follow the header (the
//             body as sent whole); else the bytes are read as a connection
//             reads them, and a request left incomplete is dropped
// A finding aborts, so libFuzzer keeps the input: a crash or sanitizer
// report, a request answered by a catch-all (Console::internalFaults()), a
// request answered twice or not within 10 s, an answer that is not UTF-8
// text, a JSON answer that does not parse, or a 5xx other than 502, 503, 504.
//
// Needs a ROS master (ROS_MASTER_URI): with_master.sh starts one.
#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/db/sql_connection.h"
#include "nao_kinora_console/http/request_rules.h"
#include "nao_kinora_console/records/clinic_store.h"
#include "nao_kinora_console/server/console_gate.h"
#include "nao_kinora_console/server/console_server.h"

#include <nlohmann/json.hpp>
#include <ros/ros.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

namespace
{
using namespace nao_kinora_console;

const char* const kAdminPassword = "correct horse 1";
const char* const kTherapistPassword = "tom's password";
const std::chrono::seconds kAnswerTime(10);

[[noreturn]] void finding(const std::string& what, const std::string& detail = "")
{
  std::fprintf(stderr, "\nfuzz_console_router: %s\n%s\n", what.c_str(), detail.substr(0, 2000).c_str());
  std::abort();
}

// Well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing past U+10FFFF.
bool isUtf8(const std::string& s)
{
  std::size_t i = 0;
  while (i < s.size())
  {
    const unsigned char c = s[i];
    std::size_t n = 0;
    unsigned long code = 0;
    if (c < 0x80)
    {
      ++i;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF)
      n = 1, code = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF)
      n = 2, code = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4)
      n = 3, code = c & 0x07;
    else
      return false;
    if (i + n >= s.size())
      return false;
    for (std::size_t k = 1; k <= n; ++k)
    {
      const unsigned char d = s[i + k];
      if ((d & 0xC0) != 0x80)
        return false;
      code = (code << 6) | (d & 0x3F);
    }
    if ((n == 2 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
        (n == 3 && (code < 0x10000 || code > 0x10FFFF)))
      return false;
    i += n + 1;
  }
  return true;
}

// What one request got: an answer, or the first bytes of an event stream.
struct Outcome
{
  std::mutex mutex;
  std::condition_variable changed;
  int answers = 0;
  bool done = false;
  Response answer;
  std::string streamed;  // an event stream's first bytes
};

// The event stream's connection: takes the first bytes written, then goes
// away as a page that closes would.
class FuzzStream : public OpenStream
{
public:
  FuzzStream(net::any_io_executor executor, std::shared_ptr<Outcome> outcome)
      : executor_(std::move(executor)), outcome_(std::move(outcome))
  {
  }
  net::any_io_executor executor() override { return executor_; }
  void write(net::const_buffer bytes, std::chrono::seconds, Done done) override
  {
    {
      std::lock_guard<std::mutex> lock(outcome_->mutex);
      if (!outcome_->done)
      {
        outcome_->streamed.assign(static_cast<const char*>(bytes.data()), bytes.size());
        outcome_->done = true;
        ++outcome_->answers;
      }
    }
    outcome_->changed.notify_all();
    net::post(executor_, [done] { done(net::error::broken_pipe); });
  }
  void read(net::mutable_buffer, Done done) override { reading_ = std::move(done); }
  void close() override
  {
    if (reading_)
    {
      Done done = std::move(reading_);
      reading_ = nullptr;
      net::post(executor_, [done] { done(net::error::operation_aborted); });
    }
  }

private:
  net::any_io_executor executor_;
  std::shared_ptr<Outcome> outcome_;
  Done reading_;
};

class FuzzSession : public HttpSession
{
public:
  FuzzSession(RequestSource source, net::any_io_executor executor, std::shared_ptr<Outcome> outcome)
      : HttpSession(std::make_shared<int>(0), std::move(source)),
        executor_(std::move(executor)),
        outcome_(std::move(outcome))
  {
  }
  void reply(Response answer) override
  {
    {
      std::lock_guard<std::mutex> lock(outcome_->mutex);
      if (++outcome_->answers == 1)
        outcome_->answer = std::move(answer);
      outcome_->done = true;
    }
    outcome_->changed.notify_all();
  }
  std::unique_ptr<OpenStream> takeStream() override { return std::make_unique<FuzzStream>(executor_, outcome_); }

private:
  net::any_io_executor executor_;
  std::shared_ptr<Outcome> outcome_;
};

struct Rig
{
  std::string folder;
  std::unique_ptr<Console> console;
  std::thread server;
  std::unique_ptr<ros::AsyncSpinner> spinner;
  std::string host;   // 127.0.0.1:PORT
  std::string admin;  // "kinora_session=..."
  std::string therapist;
  std::string token;  // the therapist's personal token
  std::shared_ptr<Outcome> lastOutcome;
};
Rig* rig = nullptr;

// One request through the router on the io thread, as a connection hands it
// over; the outcome once answered (a finding when it is not within 10 s).
std::shared_ptr<Outcome> route(const Request& head, const std::function<Request()>& whole, const std::string& peer)
{
  auto outcome = std::make_shared<Outcome>();
  const RequestSource source{peer, rig->host, false};
  const net::any_io_executor io = rig->console->executor();
  net::post(io,
            [outcome, source, io, &head, &whole]
            {
              Response answer;
              if (rig->console->router().refuse(source, head, answer))
              {
                std::lock_guard<std::mutex> lock(outcome->mutex);
                outcome->answer = std::move(answer);
                outcome->answers = 1;
                outcome->done = true;
              }
              else
              {
                const Request request = whole();
                if (request.method() == http::verb::unknown && request.target().empty())
                {
                  std::lock_guard<std::mutex> lock(outcome->mutex);
                  outcome->done = true;  // dropped as a connection would drop it
                }
                else
                  rig->console->router().handle(std::make_shared<FuzzSession>(source, io, outcome), request);
              }
              outcome->changed.notify_all();
            });
  std::unique_lock<std::mutex> lock(outcome->mutex);
  if (!outcome->changed.wait_for(lock, kAnswerTime, [&] { return outcome->done; }))
    finding("no answer within 10 s", std::string(head.method_string()) + " " + std::string(head.target()));
  return outcome;
}

Request simple(http::verb method, const std::string& target, const std::string& credential, const std::string& body)
{
  Request r{method, target, 11};
  r.set(http::field::host, rig->host);
  r.set(http::field::origin, "http://" + rig->host);
  r.set(http::field::content_type, "application/json");
  if (credential.rfind("kinora_session=", 0) == 0)
    r.set(http::field::cookie, credential);
  else if (!credential.empty())
    r.set(http::field::authorization, "Bearer " + credential);
  r.body() = body;
  r.prepare_payload();
  return r;
}

// A request of the rig's own (from another loopback address, so that the
// fuzzer's failed logins never lock it out).
Response ask(http::verb method, const std::string& target, const std::string& credential = "",
             const std::string& body = "")
{
  const Request r = simple(method, target, credential, body);
  const auto outcome = route(
      r, [&r] { return r; }, "127.0.0.2");
  return outcome->answer;
}

std::string logIn(const char* name, const char* password)
{
  const Response r =
      ask(http::verb::post, "/api/login", "", nlohmann::json({{"name", name}, {"password", password}}).dump());
  const std::string cookie(r[http::field::set_cookie]);
  return r.result_int() == 200 ? cookie.substr(0, cookie.find(';')) : "";
}

bool stillIn(const std::string& credential)
{
  return !credential.empty() && ask(http::verb::get, "/api/me", credential).result_int() == 200;
}

// The fuzzer may log out, disable or change the password of the rig's
// accounts, or revoke its token: each is made good again before the next
// input, so every input can reach what lies behind a login.
void keepLoginsUsable()
{
  if (stillIn(rig->admin) && stillIn(rig->therapist) && stillIn(rig->token))
    return;
  SqlError error;
  auto db = openConnection(rig->folder + "/clinic.db", false, error);
  if (!db)
    finding("the rig cannot open its database", error.message);
  AccountStore accounts(*db, wallNow);
  const auto all = accounts.accounts();
  if (!all.ok())
    finding("the rig cannot read its accounts", all.error);
  for (const Account& a : all.value)
  {
    const bool admin = a.name == "maria";
    if (!admin && a.name != "tom")
      continue;
    accounts.setDisabled(a.id, false);
    accounts.setRole(a.id, admin ? Role::kAdmin : Role::kTherapist);
    accounts.setPassword(a.id, admin ? kAdminPassword : kTherapistPassword);
  }
  if (!stillIn(rig->admin))
    rig->admin = logIn("maria", kAdminPassword);
  if (!stillIn(rig->therapist))
    rig->therapist = logIn("tom", kTherapistPassword);
  if (!stillIn(rig->token))
  {
    const Response made = ask(http::verb::post, "/api/tokens", rig->therapist, R"({"label": "fuzz"})");
    rig->token = nlohmann::json::parse(made.body(), nullptr, false).value("token", "");
  }
  if (!stillIn(rig->admin) || !stillIn(rig->therapist) || !stillIn(rig->token))
    finding("the rig cannot log in again");
}

void copyFile(const std::string& from, const std::string& to)
{
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
}

void check(const Request& head, const std::shared_ptr<Outcome>& outcome)
{
  const std::string what = std::string(head.method_string()) + " " + std::string(head.target());
  if (outcome->answers > 1)
    finding("answered twice", what);
  if (outcome->answers == 0)
    return;
  if (!outcome->streamed.empty())
  {
    if (!isUtf8(outcome->streamed))
      finding("an event stream that is not UTF-8", outcome->streamed);
    // Each event's data is one JSON value.
    std::size_t at = 0;
    while ((at = outcome->streamed.find("\ndata: ", at)) != std::string::npos)
    {
      at += 7;
      const std::string data = outcome->streamed.substr(at, outcome->streamed.find('\n', at) - at);
      if (nlohmann::json::parse(data, nullptr, false).is_discarded())
        finding("an event whose data is not JSON", data);
    }
    return;
  }
  const Response& answer = outcome->answer;
  const int status = answer.result_int();
  if (status >= 500 && status != 502 && status != 503 && status != 504)
    finding("answered " + std::to_string(status), what + "\n" + answer.body());
  const std::string type(answer[http::field::content_type]);
  const bool text = type.empty() || type.rfind("text/", 0) == 0 || type.find("json") != std::string::npos ||
                    type.find("javascript") != std::string::npos;
  if (text && !isUtf8(answer.body()))
    finding("a body that is not UTF-8", what + "\n" + answer.body());
  if (type.find("json") != std::string::npos && nlohmann::json::parse(answer.body(), nullptr, false).is_discarded())
    finding("a JSON answer that does not parse", what + "\n" + answer.body());
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
  if (!std::getenv("ROS_MASTER_URI"))
    finding("ROS_MASTER_URI is not set: run it through with_master.sh");
  int rosArgc = 1;
  char* rosArgv[] = {(*argv)[0], nullptr};
  ros::init(rosArgc, rosArgv, "console_router_fuzz",
            ros::init_options::AnonymousName | ros::init_options::NoSigintHandler);
  for (int i = 0; i < 300 && !ros::master::check(); ++i)
    usleep(100 * 1000);
  if (!ros::master::check())
    finding("no ROS master at " + std::string(std::getenv("ROS_MASTER_URI")));
  (void)argc;

  rig = new Rig;
  // Under TMPDIR, which with_master.sh makes and removes.
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/kinora_router_fuzz.XXXXXX";
  if (!mkdtemp(&folder[0]))
    finding("cannot make a temporary folder");
  rig->folder = folder;
  const std::string recordings = rig->folder + "/recordings/";
  mkdir(recordings.c_str(), 0700);
  // The two shortest samples (one with a cue file): the library's answers
  // stay quick even under the sanitizers on a loaded machine.
  for (const char* name : {"05_nao_sits.txt", "10_arms_forward.txt"})
  {
    copyFile(std::string(KINORA_EXERCISES) + "/" + name, recordings + name);
    const std::string cues = std::string(KINORA_EXERCISES) + "/" + name + ".cues";
    if (access(cues.c_str(), R_OK) == 0)
      copyFile(cues, recordings + name + ".cues");
  }
  const std::string sessions = rig->folder + "/sessions/";
  mkdir(sessions.c_str(), 0700);

  const std::string database = rig->folder + "/clinic.db";
  auto store = ClinicStore::open(database, "room-a");
  if (!store.ok())
    finding("cannot make the clinic's store", store.error);
  {
    SqlError error;
    auto db = openConnection(database, false, error);
    AccountStore accounts(*db, wallNow);
    if (!accounts.addAccount("maria", kAdminPassword, Role::kAdmin).ok() ||
        !accounts.addAccount("tom", kTherapistPassword, Role::kTherapist).ok())
      finding("cannot add the accounts");
  }

  ConsoleOptions options;
  options.port = 0;
  options.webRoot = KINORA_WEB_ROOT;
  options.recordingDir = recordings;
  // A coaching program that refuses every plan at once, as the node does a
  // plan it cannot play: Start goes the whole way, and nothing moves.
  options.nodeProgram = rig->folder + "/refusing_program";
  {
    std::ofstream program(options.nodeProgram);
    program << "#!/bin/sh\necho \"fuzz: this program plays nothing\" >&2\nexit 1\n";
  }
  chmod(options.nodeProgram.c_str(), 0700);
  options.sessionFolder = sessions;
  rig->console.reset(new Console(options, std::move(store.value)));
  SqlError error;
  auto accountsDb = openConnection(database, false, error);
  auto trailDb = accountsDb ? openConnection(database, false, error) : nullptr;
  if (!trailDb)
    finding("cannot open the accounts' database", error.message);
  rig->console->useGate(
      std::unique_ptr<ConsoleGate>(new ConsoleGate(std::move(accountsDb), std::move(trailDb), "room-a")));
  std::string why;
  if (!rig->console->bind(why))
    finding("cannot bind", why);
  rig->host = "127.0.0.1:" + std::to_string(rig->console->port());
  rig->spinner.reset(new ros::AsyncSpinner(1));
  rig->spinner->start();
  rig->server = std::thread([] { rig->console->serve(); });
  keepLoginsUsable();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 1)
    return 0;
  const unsigned choices = data[0];
  const std::string raw(reinterpret_cast<const char*>(data) + 1, size - 1);

  // The header as a connection reads it; one the parser refuses is the
  // connection's to answer, not the router's.
  http::request_parser<http::string_body> parser;
  parser.header_limit(kHeaderLimit);
  parser.body_limit(std::numeric_limits<std::uint64_t>::max());
  parser.eager(false);
  beast::error_code error;
  std::size_t used = 0;
  while (!parser.is_header_done())
  {
    const std::size_t n = parser.put(net::buffer(raw.data() + used, raw.size() - used), error);
    used += n;
    if (error || n == 0)
      return 0;
  }
  Request head = parser.get();
  const std::string credential = (choices & 3) == 1   ? rig->admin
                                 : (choices & 3) == 2 ? rig->therapist
                                 : (choices & 3) == 3 ? rig->token
                                                      : "";
  if ((choices & 3) == 3)
    head.set(http::field::authorization, "Bearer " + credential);
  else if (!credential.empty())
    head.set(http::field::cookie, credential);
  if (choices & 4)
  {
    head.set(http::field::host, rig->host);
    head.set(http::field::origin, "http://" + rig->host);
  }
  const std::string rest = raw.substr(used);
  if (choices & 8)
    head.content_length(rest.size());

  // The body, once the header passed, read as the connection would: within
  // the target's limit (past it the connection answers 413), and whole.
  const auto whole = [&]() -> Request
  {
    Request request = head;
    if (choices & 8)
    {
      if (rest.size() > bodyLimit(std::string(head.target())))
        return Request{};
      request.body() = rest;
      return request;
    }
    if (!parser.is_done())
    {
      parser.body_limit(bodyLimit(std::string(head.target())));
      parser.eager(true);
      beast::error_code e;
      std::size_t at = used;
      while (!parser.is_done())
      {
        const std::size_t n = parser.put(net::buffer(raw.data() + at, raw.size() - at), e);
        at += n;
        if (e || n == 0)
          return Request{};
      }
    }
    request.body() = parser.get().body();
    return request;
  };

  const unsigned long faults = rig->console->internalFaults();
  const auto outcome = route(head, whole, "127.0.0.1");
  {
    std::lock_guard<std::mutex> lock(outcome->mutex);
    check(head, outcome);
  }
  if (rig->console->internalFaults() != faults)
    finding("a catch-all answered 500", std::string(head.method_string()) + " " + std::string(head.target()));
  // Answered twice, after the first was looked at.
  if (rig->lastOutcome && rig->lastOutcome->answers > 1)
    finding("the request before this one was answered twice");
  rig->lastOutcome = outcome;
  keepLoginsUsable();
  return 0;
}
