// Pause's round trip, measured by hand: a therapist's POST /api/pause to the
// console program, to its answer and to the coaching node's "pause" line in
// its session log. The real node plays the sample exercises to the simulated
// peers on a private master; the console has accounts on a PostgreSQL server
// of its own. Measured quiet, under a login flood from four loopback
// addresses, with the database stopped, with it hung, and beside slow
// clients; each Pause is followed by a Continue before the next.
//
//   pause_figures [--pauses N] [--gap SECONDS]
//
// Exit status 3 when a Pause was refused, not answered, or never reached the
// node; 1 when the set-up failed.
#include "console_fixture.h"
#include "pg_test_server.h"

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/records/clinic_store.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace
{
using console_test::Reply;
using nlohmann::json;

const char* const kPassword = "correct horse 1";
// The loopback addresses the load comes from; the therapist is 127.0.0.1.
const char* const kLoadAddresses[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
const int kFloodPerAddress = 32;
const int kSlowClients = 40;
// How long a Pause may take before it counts as never acknowledged.
const double kAckWall = 30;
// Time for a load to take hold before the first Pause under it.
const double kLoadSettle = 2;

double wallSeconds()
{
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// A TCP connection from a given loopback address to the console; -1 when refused.
int connectFrom(const char* source, int port)
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
  {
    close(fd);
    return -1;
  }
  return fd;
}

// One answer read off a kept-alive connection: its status, 0 when the
// connection ended first. closed: the console ends the connection after it.
int readAnswer(int fd, std::string& pending, bool& closed)
{
  char buffer[4096];
  for (;;)
  {
    const std::size_t headEnd = pending.find("\r\n\r\n");
    if (headEnd != std::string::npos)
    {
      std::string head = pending.substr(0, headEnd);
      std::transform(head.begin(), head.end(), head.begin(), ::tolower);
      const std::size_t lengthAt = head.find("content-length:");
      const std::size_t length = lengthAt == std::string::npos ? 0 : std::stoul(head.substr(lengthAt + 15));
      if (pending.size() >= headEnd + 4 + length)
      {
        const int status = pending.size() > 12 ? std::atoi(pending.c_str() + 9) : 0;
        closed = head.find("connection: close") != std::string::npos;
        pending.erase(0, headEnd + 4 + length);
        return status;
      }
    }
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
    {
      closed = true;
      return 0;
    }
    pending.append(buffer, n);
  }
}

// Connections that post logins for made-up names back to back, as fast as
// they are answered, from each load address; statuses counted.
class LoginFlood
{
public:
  // polite: after a 429 or 503, waits the 2 s its Retry-After asks for.
  LoginFlood(int port, int perAddress, bool polite = false) : port_(port), polite_(polite)
  {
    int k = 0;
    for (const char* address : kLoadAddresses)
      for (int i = 0; i < perAddress; ++i, ++k)
        threads_.emplace_back([this, address, k] { run(address, k); });
  }
  ~LoginFlood()
  {
    stop_ = true;
    for (std::thread& t : threads_)
      t.join();
  }
  std::map<int, long> answers() const
  {
    std::lock_guard<std::mutex> hold(mutex_);
    return answers_;
  }

private:
  void run(const char* address, int k)
  {
    const std::string host = "127.0.0.1:" + std::to_string(port_);
    long n = 0;
    while (!stop_)
    {
      const int fd = connectFrom(address, port_);
      if (fd < 0)
      {
        count(-1);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      std::string pending;
      bool closed = false;
      while (!stop_ && !closed)
      {
        const std::string body =
            json({{"name", "nobody" + std::to_string(k) + "x" + std::to_string(n++)}, {"password", "not the password"}})
                .dump();
        const std::string request =
            "POST /api/login HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
          break;
        const int status = readAnswer(fd, pending, closed);
        count(status);
        if (polite_ && (status == 429 || status == 503))
          for (int t = 0; t < 20 && !stop_; ++t)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      close(fd);
    }
  }
  void count(int status)
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++answers_[status];
  }

  const int port_;
  const bool polite_;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
  mutable std::mutex mutex_;
  std::map<int, long> answers_;
};

// Connections that send a request's header a byte a second, spread over the
// load addresses; one the console closes is opened again at once.
class SlowClients
{
public:
  SlowClients(int port, int clients) : port_(port), fds_(clients, -1), sent_(clients, 0)
  {
    const std::string host = "127.0.0.1:" + std::to_string(port_);
    header_ = "POST /api/login HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
              "\r\nContent-Type: application/json\r\nContent-Length: 40\r\n\r\n";
    thread_ = std::thread([this] { run(); });
  }
  ~SlowClients()
  {
    stop_ = true;
    thread_.join();
    for (int fd : fds_)
      if (fd >= 0)
        close(fd);
  }
  long reopened() const { return reopened_; }

private:
  void run()
  {
    while (!stop_)
    {
      for (std::size_t i = 0; i < fds_.size() && !stop_; ++i)
      {
        if (fds_[i] < 0)
        {
          fds_[i] = connectFrom(kLoadAddresses[i % 4], port_);
          sent_[i] = 0;
          continue;
        }
        // Whatever the console said (a 408, or nothing): closed by it, or soon.
        char buffer[512];
        const ssize_t got = recv(fds_[i], buffer, sizeof buffer, MSG_DONTWAIT);
        const bool ended = got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        if (ended || send(fds_[i], header_.data() + sent_[i] % header_.size(), 1, MSG_NOSIGNAL) != 1)
        {
          close(fds_[i]);
          fds_[i] = -1;
          ++reopened_;
          continue;
        }
        ++sent_[i];
      }
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }

  const int port_;
  std::string header_;
  std::vector<int> fds_;
  std::vector<std::size_t> sent_;
  std::atomic<bool> stop_{false};
  std::atomic<long> reopened_{0};
  std::thread thread_;
};

// The session log read as it grows, one whole line at a time.
class LogWatch
{
public:
  void follow(const std::string& path)
  {
    path_ = path;
    offset_ = 0;
  }
  // The next line of this event, waiting up to wall seconds; null when none came.
  json next(const std::string& event, double seconds)
  {
    json found;
    console_test::waitWall(
        [&]
        {
          std::ifstream in(path_);
          in.seekg(offset_);
          std::string line;
          while (found.is_null() && std::getline(in, line) && !in.eof())
          {
            offset_ += line.size() + 1;
            const json e = json::parse(line, nullptr, false);
            if (e.is_object() && e.value("event", "") == event)
              found = e;
          }
          return !found.is_null();
        },
        seconds);
    return found;
  }

private:
  std::string path_;
  std::streamoff offset_ = 0;
};

// CPU time (clock ticks) of each thread of a process so far.
std::map<int, long> threadTicks(pid_t pid)
{
  std::map<int, long> ticks;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  DIR* dir = opendir(tasks.c_str());
  if (!dir)
    return ticks;
  while (dirent* entry = readdir(dir))
  {
    if (entry->d_name[0] == '.')
      continue;
    std::ifstream in(tasks + entry->d_name + "/stat");
    std::string stat;
    std::getline(in, stat);
    // After the name in parentheses: state is field 3, utime and stime 14 and 15.
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
      if (i == 14)
        utime = std::atol(field.c_str());
      else if (i == 15)
        stime = std::atol(field.c_str());
    ticks[std::atoi(entry->d_name)] = utime + stime;
  }
  closedir(dir);
  return ticks;
}

double ownCpuSeconds()
{
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

// Where the CPU went while a condition was measured: the console's busiest
// threads and all of it, and this program (the load's clients), in % of one core.
class CpuWatch
{
public:
  explicit CpuWatch(pid_t console) : console_(console), before_(threadTicks(console)), own_(ownCpuSeconds()) {}
  std::string report() const
  {
    const double wall = wallSeconds() - start_;
    const double tick = sysconf(_SC_CLK_TCK);
    std::vector<double> shares;
    double all = 0;
    for (const auto& kv : threadTicks(console_))
    {
      const auto was = before_.find(kv.first);
      const double share = 100.0 * (kv.second - (was == before_.end() ? 0 : was->second)) / tick / wall;
      shares.push_back(share);
      all += share;
    }
    std::sort(shares.rbegin(), shares.rend());
    char text[200];
    std::snprintf(text, sizeof text,
                  "the console %.0f %% of a core (busiest threads %.0f, %.0f, %.0f %%), the load's clients %.0f %%, "
                  "load average %.1f",
                  all, shares.size() > 0 ? shares[0] : 0.0, shares.size() > 1 ? shares[1] : 0.0,
                  shares.size() > 2 ? shares[2] : 0.0, 100.0 * (ownCpuSeconds() - own_) / wall, loadAverage());
    return text;
  }

private:
  static double loadAverage()
  {
    double one = 0;
    std::ifstream("/proc/loadavg") >> one;
    return one;
  }
  const pid_t console_;
  const std::map<int, long> before_;
  const double own_;
  const double start_ = wallSeconds();
};

struct Sample
{
  int status = 0;
  double replyMs = NAN;  // send to the console's answer
  double ackMs = NAN;    // send to the node's "pause" line; NaN: never
};

struct Figures
{
  std::string name;
  std::vector<Sample> samples;
  std::string load;  // what the load got meanwhile
  std::string cpu;
};

// Nearest rank: of 30 samples the 99th percentile is the largest.
double percentile(std::vector<double> values, double p)
{
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }), values.end());
  if (values.empty())
    return NAN;
  std::sort(values.begin(), values.end());
  const std::size_t rank = static_cast<std::size_t>(std::ceil(p * values.size()));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

class Bench
{
public:
  Bench(int pauses, double gap) : pauses_(pauses), gap_(gap) {}

  bool setUp()
  {
    for (const char* peer : {"audio_player", "motion_executor", "tracking_node", "report_reader"})
      peers_.push_back(harness_.start(std::string(SIM_BIN_DIR) + "/" + peer, {"_player:=none"}));
    const std::string url = server_.url();
    auto store = nao_kinora_console::ClinicStore::open(url, "room-a");
    if (!store.ok())
    {
      std::cerr << "the clinic's database: " << store.error << "\n";
      return false;
    }
    nao_kinora_console::SqlError error;
    auto conn = nao_kinora_console::openConnection(url, false, error);
    nao_kinora_console::AccountStore accounts(*conn, nao_kinora_console::wallNow);
    if (!accounts.addAccount("maria", kPassword, nao_kinora_console::Role::kTherapist).ok())
      return false;
    console_.reset(new console_test::Console({"_database:=" + url, "_room:=room-a"}));
    if (console_->port <= 0)
      return false;
    const Reply login = post("/api/login", json({{"name", "maria"}, {"password", kPassword}}).dump());
    const std::string set = login.header("Set-Cookie");
    cookie_ = set.substr(0, set.find(';'));
    if (login.status != 200)
      std::cerr << "cannot log in: " << login.status << " " << login.body << "\n";
    return login.status == 200;
  }

  // A node playing its session (another when the last one ended).
  bool ensureNode()
  {
    if (node_ && node_->running())
      return true;
    const std::string log = dir_.path() + "session" + std::to_string(++sessions_) + ".jsonl";
    std::vector<std::string> args{"9"};
    for (const char* sample : {"01_hands_on_waist_left.txt", "02_hands_on_waist_right.txt", "03_arms_to_the_side.txt",
                               "04_seated_elbows.txt", "05_nao_sits.txt", "06_right_knee.txt", "07_left_knee.txt",
                               "08_right_wrist.txt", "09_left_wrist.txt"})
      args.push_back(sample);
    args.push_back(std::string("_recording_dir:=") + SIM_DIR + "/exercises/");
    args.push_back("_session_log:=" + log);
    node_ = harness_.start(KINORA_NODE, args);
    log_.follow(log);
    // Its controls answer once the console hears its status.
    return console_test::waitWall(
        [&]
        {
          const json s = json::parse(
              console_test::request(console_->port, "GET", "/api/status", {{"Cookie", cookie_}}).body, nullptr, false);
          return s.is_object() && s.value("coach", "") == "running";
        },
        kAckWall);
  }

  Figures measure(const std::string& name, const std::function<std::string()>& load = nullptr)
  {
    Figures f{name, {}, "", ""};
    const CpuWatch cpu(console_->process->pid());
    for (int i = 0; i < pauses_; ++i)
    {
      if (!ensureNode())
      {
        std::cerr << "the coaching node does not run: " << node_->err() << "\n";
        break;
      }
      f.samples.push_back(pauseOnce());
      std::fprintf(stderr, "%s %d: %d, answer %.1f ms, node %.1f ms\n", name.c_str(), i + 1, f.samples.back().status,
                   f.samples.back().replyMs, f.samples.back().ackMs);
    }
    f.cpu = cpu.report();
    if (load)
      f.load = load();
    return f;
  }

  kinora_test::PgServer& server() { return server_; }
  int port() const { return console_->port; }
  std::string consoleErrors() const { return console_->process->err(); }

private:
  Reply post(const std::string& target, const std::string& body)
  {
    httplib::Headers headers{{"Origin", console_->origin()}};
    if (!cookie_.empty())
      headers.emplace("Cookie", cookie_);
    return console_test::request(console_->port, "POST", target, headers, body);
  }

  Sample pauseOnce()
  {
    Sample s;
    const double sent = wallSeconds();
    const Reply r = post("/api/pause", R"({"pause": true})");
    s.status = r.status;
    if (r.status != 0)
      s.replyMs = r.seconds * 1000;
    const json line = log_.next("pause", kAckWall);
    if (!line.is_null())
      s.ackMs = (line["time"].get<double>() - sent) * 1000;
    // Went on again before the next, so that each Pause finds it playing.
    post("/api/pause", R"({"pause": false})");
    log_.next("resume", kAckWall);
    std::this_thread::sleep_for(std::chrono::duration<double>(gap_));
    return s;
  }

  const int pauses_;
  const double gap_;
  kinora_test::Harness harness_{false};
  kinora_test::TempDir dir_;
  kinora_test::PgServer server_;
  std::vector<std::unique_ptr<kinora_test::Process>> peers_;
  std::unique_ptr<console_test::Console> console_;
  std::unique_ptr<kinora_test::Process> node_;
  int sessions_ = 0;
  std::string cookie_;
  LogWatch log_;
};

std::string statuses(const std::vector<Sample>& samples)
{
  std::map<int, int> n;
  for (const Sample& s : samples)
    ++n[s.status];
  std::string out;
  for (const auto& kv : n)
    out += (out.empty() ? "" : ", ") + std::to_string(kv.second) + "× " +
           (kv.first ? std::to_string(kv.first) : std::string("none"));
  return out;
}

std::string counted(const std::map<int, long>& answers)
{
  std::string out;
  for (const auto& kv : answers)
    out += (out.empty() ? "" : ", ") + std::to_string(kv.second) + "× " +
           (kv.first > 0    ? std::to_string(kv.first)
            : kv.first == 0 ? std::string("closed")
                            : std::string("refused"));
  return out;
}

void printTable(const std::vector<Figures>& all)
{
  const auto column = [](const Figures& f, double Sample::*field)
  {
    std::vector<double> values;
    for (const Sample& s : f.samples)
      values.push_back(s.*field);
    return values;
  };
  const std::vector<double> quiet = column(all.front(), &Sample::ackMs);
  const double q50 = percentile(quiet, 0.5), q99 = percentile(quiet, 0.99);
  std::printf(
      "| condition | Pauses | answers | answer p50 | answer p99 | node's line p50 | node's line p99 | "
      "p50 / quiet p50 | p99 / quiet p99 | never in the log |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Figures& f : all)
  {
    const std::vector<double> reply = column(f, &Sample::replyMs), ack = column(f, &Sample::ackMs);
    const long never = std::count_if(ack.begin(), ack.end(), [](double v) { return std::isnan(v); });
    const double a50 = percentile(ack, 0.5), a99 = percentile(ack, 0.99);
    std::printf("| %s | %zu | %s | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %.2f | %.2f | %ld |\n", f.name.c_str(),
                f.samples.size(), statuses(f.samples).c_str(), percentile(reply, 0.5), percentile(reply, 0.99), a50,
                a99, a50 / q50, a99 / q99, never);
  }
  std::printf("\n");
  for (const Figures& f : all)
    std::printf("%s: %s%s%s\n", f.name.c_str(), f.cpu.c_str(), f.load.empty() ? "" : "; ", f.load.c_str());
}
}  // namespace

int main(int argc, char** argv)
{
  int pauses = 30;
  double gap = 0.2;
  for (int i = 1; i < argc; ++i)
  {
    const std::string a = argv[i];
    if (a == "--pauses" && i + 1 < argc)
      pauses = std::atoi(argv[++i]);
    else if (a == "--gap" && i + 1 < argc)
      gap = std::atof(argv[++i]);
    else
    {
      std::cerr << "usage: pause_figures [--pauses N] [--gap SECONDS]\n";
      return 2;
    }
  }
  if (pauses < 1 || !(gap >= 0))
  {
    std::cerr << "--pauses must be at least 1 and --gap not negative\n";
    return 2;
  }
  Bench bench(pauses, gap);
  if (!bench.setUp())
    return 1;
  std::vector<Figures> all;
  all.push_back(bench.measure("quiet"));
  {
    LoginFlood flood(bench.port(), kFloodPerAddress);
    std::this_thread::sleep_for(std::chrono::duration<double>(kLoadSettle));
    all.push_back(bench.measure("login flood, 4 addresses × 32 connections",
                                [&] { return "logins answered " + counted(flood.answers()); }));
  }
  // Beside the flood, to tell what it costs: the same addresses (most of
  // their logins refused unchecked by now) with as many logins as each may
  // have running at once, then 32 per address that wait as they are told.
  {
    LoginFlood flood(bench.port(), 2);
    std::this_thread::sleep_for(std::chrono::duration<double>(kLoadSettle));
    all.push_back(bench.measure("logins, 4 addresses × 2 connections",
                                [&] { return "logins answered " + counted(flood.answers()); }));
  }
  {
    LoginFlood flood(bench.port(), kFloodPerAddress, true);
    std::this_thread::sleep_for(std::chrono::duration<double>(kLoadSettle));
    all.push_back(bench.measure("login flood, 4 × 32, waiting as Retry-After says",
                                [&] { return "logins answered " + counted(flood.answers()); }));
  }
  bench.server().stop();
  all.push_back(bench.measure("PostgreSQL stopped"));
  bench.server().start();
  bench.server().freeze();
  all.push_back(bench.measure("PostgreSQL hung (SIGSTOP)"));
  bench.server().thaw();
  {
    SlowClients slow(bench.port(), kSlowClients);
    std::this_thread::sleep_for(std::chrono::duration<double>(kLoadSettle));
    all.push_back(
        bench.measure("40 slow clients (a byte a second)",
                      [&] { return "slow connections closed by the console " + std::to_string(slow.reopened()); }));
  }
  all.push_back(bench.measure("quiet again"));
  printTable(all);
  // Figures only, no bound on time; but a Pause refused or never carried out
  // is a fault, and the exit status says so.
  int failed = 0;
  for (const Figures& f : all)
    for (const Sample& s : f.samples)
      failed += s.status == 0 || s.status >= 400 || std::isnan(s.ackMs);
  if (failed > 0)
    std::cerr << failed << " Pauses were refused, not answered or never reached the node\n";
  return failed > 0 ? 3 : 0;
}
