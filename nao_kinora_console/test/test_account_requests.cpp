// The account requests as a table, without HTTP: every field of every body
// type-checked (a 400 naming it, never an exception), an admin's unlock and
// new password, the trail's entry of each change (or none), failed logins of
// any bytes recorded escaped, every reply valid JSON; and a lock at one
// address, its owner let in from another, unlocked by an admin; one's own
// language for the pages, kept with the account.
#include "test_util.h"

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/records/clinic_store.h"
#include "nao_kinora_console/server/console_gate.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

namespace
{
using namespace nao_kinora_console;
using nlohmann::json;

const char* const kMaria = "correct horse 1";
const char* const kTom = "tom's password";
const char* const kHere = "10.0.0.9";

struct Gate
{
  kinora_test::TempDir dir;
  std::unique_ptr<ConsoleGate> gate;
  std::map<std::string, std::string> cookies;

  // maria (admin, id 1) and tom (therapist, id 2), each logged in.
  Gate()
  {
    const std::string db = dir.path() + "clinic.db";
    EXPECT_TRUE(ClinicStore::open(db, "room-a").ok());
    SqlError error;
    auto conn = openConnection(db, false, error);
    AccountStore accounts(*conn, wallNow);
    EXPECT_EQ(1, accounts.addAccount("maria", kMaria, Role::kAdmin).value);
    EXPECT_EQ(2, accounts.addAccount("tom", kTom, Role::kTherapist).value);
    gate.reset(new ConsoleGate(openConnection(db, false, error), openConnection(db, false, error), "room-a"));
    cookies["maria"] = cookieOf(call("", "POST", "/api/login", json({{"name", "maria"}, {"password", kMaria}}).dump()));
    cookies["tom"] = cookieOf(call("", "POST", "/api/login", json({{"name", "tom"}, {"password", kTom}}).dump()));
  }

  static std::string cookieOf(const Response& r)
  {
    const std::string set(r[http::field::set_cookie]);
    return set.substr(0, set.find(';'));
  }

  Response call(const std::string& as, const char* method, const std::string& target, const std::string& body,
                const std::string& from = kHere)
  {
    Request r{http::string_to_verb(method), target, 11};
    if (!as.empty())
      r.set(http::field::cookie, cookies.at(as));
    r.body() = body;
    r.prepare_payload();
    // As the console serves it: a login on its own, the rest once its
    // visitor is known.
    const RequestSource source{from, "10.0.0.1:8080", true};
    if (target == "/api/login")
      return gate->login(r, source);
    Visitor by = gate->identify(r);
    if (by.state == Visitor::kNotHeld)
      by = gate->resolve(r);
    if (!by.known())
      return ConsoleGate::refusal(r, by);
    if (target == "/api/me")
      return gate->me(by);
    return target == "/api/logout" ? gate->logout(r, source, by) : gate->handle(r, by);
  }

  // Oldest first.
  std::vector<AuditEntry> trail()
  {
    gate->trailQueue().flush(5);
    auto all = gate->trail().page(0, 1000).value;
    return std::vector<AuditEntry>(all.rbegin(), all.rend());
  }
};

TEST(AccountRequests, EachBodyCheckedAndEachChangeRecorded)
{
  const struct
  {
    const char* as;  // "" for no one
    const char* method;
    const char* path;
    std::string body;
    int status;
    const char* message;  // "" when the request was done
    const char* action;   // the one entry it adds to the trail; "" for none
    std::string detail;
  } cases[] = {
      {"tom", "POST", "/api/tokens", R"({"label": 5})", 400, "label: not text", "", ""},
      {"tom", "POST", "/api/tokens", R"({"label": "a\u0000b"})", 400, "label: holds a NUL character", "", ""},
      {"tom", "POST", "/api/tokens", "{\"label\": \"a\xff\"}", 400, "label: not UTF-8 text", "", ""},
      {"tom", "POST", "/api/tokens", "{\"label\": \"\xed\xa0\x80\"}", 400, "label: not UTF-8 text", "", ""},
      {"tom", "POST", "/api/tokens", R"({"label": "a\tb"})", 400, "label: holds a control character", "", ""},
      {"tom", "POST", "/api/tokens", R"({})", 400, "label: missing", "", ""},
      {"tom", "POST", "/api/tokens", R"([1])", 400, "body: not a JSON object", "", ""},
      {"tom", "POST", "/api/tokens", "{\"label\": \"caf\xc3\xa9\"}", 201, "", "token made",
       "{\"label\":\"caf\xc3\xa9\"}"},
      {"tom", "POST", "/api/tokens/revoke", R"({"id": "1"})", 400, "id: not a whole number", "", ""},
      {"tom", "POST", "/api/tokens/revoke", R"({"id": 1.5})", 400, "id: not a whole number", "", ""},
      {"tom", "POST", "/api/tokens/revoke", R"({"id": 18446744073709551615})", 400, "id: not a whole number", "", ""},
      {"tom", "POST", "/api/tokens/revoke", R"({"id": 1})", 200, "", "token revoked", R"({"id":1})"},
      {"tom", "POST", "/api/accounts/unlock", R"({"id": 2})", 403, "Only an admin may do this.", "", ""},
      {"maria", "POST", "/api/accounts", R"({"name": "ana", "password": "ten chars!", "role": 5})", 400,
       "role: must be \"therapist\" or \"admin\"", "", ""},
      {"maria", "POST", "/api/accounts", R"({"name": 5, "password": "ten chars!", "role": "admin"})", 400,
       "name: not text", "", ""},
      {"maria", "POST", "/api/accounts", R"({"name": "ana", "password": null, "role": "admin"})", 400,
       "password: not text", "", ""},
      {"maria", "POST", "/api/accounts", R"({"name": "ana", "role": "admin"})", 400, "password: missing", "", ""},
      {"maria", "POST", "/api/accounts", R"({"name": "ana", "password": "ten chars!", "role": "therapist"})", 201, "",
       "account added", R"({"name":"ana","role":"therapist"})"},
      {"maria", "POST", "/api/accounts/disable", R"({"id": 2, "disabled": "yes"})", 400, "disabled: not true or false",
       "", ""},
      {"maria", "POST", "/api/accounts/disable", R"({"id": 3, "disabled": true})", 200, "", "account disabled",
       R"({"name":"ana"})"},
      {"maria", "POST", "/api/accounts/disable", R"({"id": 3, "disabled": false})", 200, "", "account enabled",
       R"({"name":"ana"})"},
      {"maria", "POST", "/api/accounts/disable", R"({"id": 1, "disabled": true})", 409,
       "You cannot disable your own account.", "", ""},
      {"maria", "POST", "/api/accounts/unlock", R"({"id": "2"})", 400, "id: not a whole number", "", ""},
      {"maria", "POST", "/api/accounts/unlock", R"({"id": 99})", 404, "no such account", "", ""},
      {"maria", "POST", "/api/accounts/unlock", R"({"id": 2})", 200, "", "account unlocked", R"({"name":"tom"})"},
      {"maria", "POST", "/api/accounts/password", R"({"id": 2, "password": 1234567890})", 400, "password: not text", "",
       ""},
      {"maria", "POST", "/api/accounts/password", R"({"id": 2, "password": "short"})", 400,
       "the password must be at least 10 characters", "", ""},
      {"maria", "POST", "/api/accounts/password", R"({"id": 99, "password": "a new password"})", 404, "no such account",
       "", ""},
      {"maria", "POST", "/api/accounts/password", R"({"id": 2, "password": "a new password"})", 200, "",
       "password reset", R"({"name":"tom"})"},
      {"maria", "GET", "/api/accounts/unlock", "", 405, "Use GET to read, POST to change.", "", ""},
      {"tom", "POST", "/api/language", R"({"language": "fr"})", 400, "language: must be \"en\", \"tr\" or null", "",
       ""},
      {"tom", "POST", "/api/language", R"({"language": 5})", 400, "language: must be \"en\", \"tr\" or null", "", ""},
      {"tom", "POST", "/api/language", R"({})", 400, "language: missing", "", ""},
      {"tom", "GET", "/api/language", "", 405, "Use POST.", "", ""},
      {"tom", "POST", "/api/language", R"({"language": "tr"})", 200, "", "language changed", R"({"language":"tr"})"},
      {"tom", "POST", "/api/language", R"({"language": null})", 200, "", "language changed", R"({"language":null})"},
      {"", "POST", "/api/login", R"({"name": 5, "password": "x"})", 400, "name: not text", "", ""},
      {"", "POST", "/api/login", R"({"name": "tom"})", 400, "password: missing", "", ""},
      {"", "POST", "/api/login", "{\"name\": \"ma\xffria\", \"password\": \"whatever12\"}", 401,
       "Wrong name or password.", "login failed", R"({"name":"ma\\xffria","address":"10.0.0.9"})"},
      {"", "POST", "/api/login", R"({"name": "x\u0000y\n\\", "password": "whatever12"})", 401,
       "Wrong name or password.", "login failed", R"({"name":"x\\x00y\\x0a\\\\","address":"10.0.0.9"})"},
      {"", "POST", "/api/login",
       json({{"name", std::string(60, 'a') + "\xc3\xa9\xc3\xa9" + std::string(60, 'b')}, {"password", "whatever12"}})
           .dump(),
       401, "Wrong name or password.", "login failed",
       // kept to 100 bytes, whole characters
       R"({"name":")" + std::string(60, 'a') + "\xc3\xa9\xc3\xa9" + std::string(33, 'b') +
           R"(...","address":"10.0.0.9"})"},
  };
  Gate g;
  for (const auto& c : cases)
  {
    const std::string what = std::string(c.method) + " " + c.path + " " + c.body;
    const std::size_t before = g.trail().size();
    const Response r = g.call(c.as, c.method, c.path, c.body);
    EXPECT_EQ(c.status, r.result_int()) << what << ": " << r.body();
    const json reply = json::parse(r.body(), nullptr, false);  // never invalid UTF-8
    ASSERT_TRUE(reply.is_object()) << what << ": " << r.body();
    EXPECT_EQ(c.message, reply.value("message", "")) << what;
    const auto after = g.trail();
    ASSERT_EQ(before + (*c.action ? 1 : 0), after.size()) << what;
    if (!*c.action)
      continue;
    EXPECT_EQ(c.action, after.back().event.action) << what;
    EXPECT_EQ(c.detail, after.back().event.detail) << what;
    EXPECT_EQ(c.as, after.back().event.who) << what;
    EXPECT_EQ("room-a", after.back().event.room) << what;
  }
}

// The language chosen is the account's: /api/me gives it at once, and to
// a login made afterwards (read from the database); null is the browser's.
TEST(AccountRequests, LanguageKeptWithTheAccount)
{
  Gate g;
  const auto me = [&g](const char* who) { return json::parse(g.call(who, "GET", "/api/me", "").body()); };
  EXPECT_TRUE(me("tom").at("language").is_null());
  EXPECT_EQ(200, g.call("tom", "POST", "/api/language", R"({"language": "tr"})").result_int());
  EXPECT_EQ("tr", me("tom").at("language"));
  EXPECT_TRUE(me("maria").at("language").is_null());  // one's own only
  g.cookies["tom"] =
      Gate::cookieOf(g.call("", "POST", "/api/login", json({{"name", "tom"}, {"password", kTom}}).dump()));
  EXPECT_EQ("tr", me("tom").at("language"));
  EXPECT_EQ(200, g.call("tom", "POST", "/api/language", R"({"language": null})").result_int());
  EXPECT_TRUE(me("tom").at("language").is_null());
}

// Five wrong passwords for tom from one address lock tom there, once; his
// right one is let in from another; an admin's unlock ends the lock and the
// trail says how many tries it refused.
TEST(AccountRequests, LockedAtOneAddressOnceAndUnlockedByAnAdmin)
{
  Gate g;
  const std::size_t start = g.trail().size();
  const auto login = [&](const char* password, const char* from) {
    return g.call("", "POST", "/api/login", json({{"name", "tom"}, {"password", password}}).dump(), from);
  };
  for (int i = 1; i < kFailuresBeforeLock; ++i)
    EXPECT_EQ(401, login("not his password", "10.0.0.7").result_int()) << i;
  const Response locked = login("not his password", "10.0.0.7");
  EXPECT_EQ(429, locked.result_int());
  EXPECT_EQ(0u, json::parse(locked.body())["message"].get<std::string>().find(
                    "Too many failed attempts for this name from this device. Try again after "));
  EXPECT_GT(std::stol(std::string(locked[http::field::retry_after])), 800);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(429, login(kTom, "10.0.0.7").result_int()) << i;
  EXPECT_EQ(200, login(kTom, "10.0.0.8").result_int());
  const json accounts = json::parse(g.call("maria", "GET", "/api/accounts", "").body())["accounts"];
  EXPECT_EQ((std::vector<bool>{false, true}),
            (std::vector<bool>{accounts[0]["locked"].get<bool>(), accounts[1]["locked"].get<bool>()}));
  const Response unlocked = g.call("maria", "POST", "/api/accounts/unlock", R"({"id": 2})");
  EXPECT_EQ(R"({"locks":1,"ok":true})", unlocked.body());
  EXPECT_EQ(200, login(kTom, "10.0.0.7").result_int());

  std::vector<std::string> seen;
  const auto all = g.trail();
  for (std::size_t i = start; i < all.size(); ++i)
    seen.push_back("[" + all[i].event.who + "] " + all[i].event.action + " " + all[i].event.detail);
  const std::string failed = R"([] login failed {"name":"tom","address":"10.0.0.7"})";
  const std::vector<std::string> want = {
      failed,
      failed,
      failed,
      failed,
      failed,
      R"([] login locked {"name":"tom","failures":5,"address":"10.0.0.7"})",
      "[tom] login ",
      R"([] lock ended {"name":"tom","address":"10.0.0.7","tries":3,"why":"unlocked"})",
      R"([maria] account unlocked {"name":"tom"})",
      "[tom] login ",
  };
  EXPECT_EQ(want, seen);
}
}  // namespace
