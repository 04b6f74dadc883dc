// The console program with accounts on its database: nothing but the login
// page without a login, the cookie's attributes, login and its failures in
// the audit trail with who and room, roles, personal tokens, logout.
#include "console_fixture.h"

#include "nao_kinora_console/accounts/account_store.h"
#include "nao_kinora_console/records/clinic_store.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace
{
using namespace nao_kinora_console;
using console_test::Console;
using console_test::Reply;
using console_test::request;
using nlohmann::json;

const char* const kMaria = "correct horse 1";
const char* const kTom = "tom's password";

// A clinic database with an admin and a therapist, made before the console starts.
std::string clinicWithAccounts(const kinora_test::TempDir& dir)
{
  const std::string db = dir.path() + "clinic.db";
  auto store = ClinicStore::open(db);
  EXPECT_TRUE(store.ok()) << store.error;
  SqlError error;
  auto conn = openConnection(db, false, error);
  AccountStore accounts(*conn, wallNow);
  EXPECT_TRUE(accounts.addAccount("maria", kMaria, Role::kAdmin).ok());
  EXPECT_TRUE(accounts.addAccount("tom", kTom, Role::kTherapist).ok());
  return db;
}

Reply login(const Console& c, const std::string& name, const std::string& password)
{
  return request(c.port, "POST", "/api/login", {{"Origin", c.origin()}, {"Content-Type", "application/json"}},
                 json({{"name", name}, {"password", password}}).dump());
}

// "kinora_session=..." from a reply's Set-Cookie.
std::string cookieOf(const Reply& r)
{
  const std::string set = r.header("Set-Cookie");
  return set.substr(0, set.find(';'));
}

TEST(ConsoleAccounts, NothingButTheLoginPageWithoutALogin)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  Console console({"_database:=" + clinicWithAccounts(dir), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const struct
  {
    const char* method;
    const char* target;
    bool page;  // the login page, rather than a JSON refusal
  } cases[] = {
      {"GET", "/", true},
      {"GET", "/clinic.html", true},
      {"GET", "/api/status", false},
      {"GET", "/api/clinic/patients", false},
      {"POST", "/api/pause", false},
      {"GET", "/events", false},
      {"GET", "/api/audit", false},
      {"GET", "/console.js", false},
  };
  for (const auto& c : cases)
  {
    const Reply r = request(console.port, c.method, c.target, {{"Origin", console.origin()}},
                            std::string(c.method) == "POST" ? "{\"pause\": true}" : "");
    EXPECT_EQ(401, r.status) << c.target;
    if (c.page)
      EXPECT_NE(std::string::npos, r.body.find("<button type=\"submit\">Log in</button>")) << c.target;
    else
      EXPECT_EQ(R"({"login":"ended","message":"Log in first.","ok":false,"reason":"none"})", r.body) << c.target;
  }
  // The pages' words, which the login page reads in the browser's language, and nothing beside them.
  EXPECT_EQ(200, request(console.port, "GET", "/lang/tr.js").status);
  EXPECT_EQ(200, request(console.port, "GET", "/lang.js").status);
  EXPECT_EQ(401, request(console.port, "GET", "/language.js").status);
  EXPECT_EQ(401, request(console.port, "GET", "/lang/").status);
  // A stale or made-up cookie, or the bearer of a made-up token, is no one.
  EXPECT_EQ(401, request(console.port, "GET", "/api/status", {{"Cookie", "kinora_session=00ff"}}).status);
  EXPECT_EQ(401, request(console.port, "GET", "/api/status", {{"Authorization", "Bearer kin_00ff"}}).status);
}

TEST(ConsoleAccounts, LoginsAndFailuresInTheTrailWithWhoAndRoom)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  Console console({"_database:=" + clinicWithAccounts(dir), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const Reply wrong = login(console, "maria", "correct horse 2");
  const Reply nobody = login(console, "nobody", kMaria);
  EXPECT_EQ(401, wrong.status);
  // Said alike whether the name exists or not.
  EXPECT_EQ(wrong.body, nobody.body);
  EXPECT_EQ(R"({"message":"Wrong name or password.","ok":false})", wrong.body);
  const Reply in = login(console, "maria", kMaria);
  ASSERT_EQ(200, in.status) << in.body;
  EXPECT_EQ(0u, in.header("Set-Cookie").find("kinora_session="));
  EXPECT_NE(std::string::npos, in.header("Set-Cookie").find("; Path=/; HttpOnly; SameSite=Strict"));
  EXPECT_EQ(std::string::npos, in.header("Set-Cookie").find("Secure"));  // plain HTTP on loopback
  const httplib::Headers maria = {{"Cookie", cookieOf(in)}, {"Origin", console.origin()}};
  EXPECT_EQ(200, request(console.port, "GET", "/api/status", maria).status);
  EXPECT_EQ(json({{"accounts", true}, {"name", "maria"}, {"role", "admin"}, {"language", nullptr}}),
            json::parse(request(console.port, "GET", "/api/me", maria).body));
  const Reply added = request(console.port, "POST", "/api/clinic/patients", maria, R"({"code": "P-7"})");
  ASSERT_EQ(201, added.status) << added.body;

  const Reply trail = request(console.port, "GET", "/api/audit", maria);
  ASSERT_EQ(200, trail.status) << trail.body;
  const json entries = json::parse(trail.body)["entries"];
  const struct
  {
    const char* who;
    const char* action;
    const char* patient;
    const char* detail;
  } want[] = {
      {"maria", "patient added", "P-7", ""},
      {"maria", "login", "", ""},
      {"", "login failed", "", R"({"name":"nobody","address":"127.0.0.1"})"},
      {"", "login failed", "", R"({"name":"maria","address":"127.0.0.1"})"},
  };
  ASSERT_EQ(4u, entries.size()) << trail.body;
  for (std::size_t i = 0; i < entries.size(); ++i)
  {
    EXPECT_EQ(want[i].who, entries[i]["who"]) << i;
    EXPECT_EQ(want[i].action, entries[i]["action"]) << i;
    EXPECT_EQ(want[i].patient, entries[i]["patient"]) << i;
    EXPECT_EQ(want[i].detail, entries[i]["detail"]) << i;
    EXPECT_EQ("room-a", entries[i]["room"]) << i;
    EXPECT_LE(entries[i]["at"].get<double>(), wallNow()) << i;
    EXPECT_GT(entries[i]["at"].get<double>(), wallNow() - 3600) << i;
  }
  // A therapist may not read the trail nor change accounts.
  const Reply tom = login(console, "tom", kTom);
  const httplib::Headers asTom = {{"Cookie", cookieOf(tom)}, {"Origin", console.origin()}};
  EXPECT_EQ(403, request(console.port, "GET", "/api/audit", asTom).status);
  EXPECT_EQ(403, request(console.port, "GET", "/api/accounts", asTom).status);
  // Logged out, the cookie is no one's.
  const Reply out = request(console.port, "POST", "/api/logout", asTom, "{}");
  EXPECT_EQ(200, out.status);
  EXPECT_NE(std::string::npos, out.header("Set-Cookie").find("Max-Age=0"));
  EXPECT_EQ(401, request(console.port, "GET", "/api/status", asTom).status);
  EXPECT_EQ(200, request(console.port, "GET", "/api/status", maria).status);
}

// Why a login is no more, on any request: logged out, disabled by an admin,
// none at all. The pages say it in words with a login form.
TEST(ConsoleAccounts, ALoginThatEndedSaysWhy)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  Console console({"_database:=" + clinicWithAccounts(dir), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const auto reasonOf = [&](const httplib::Headers& who, const char* method, const char* target)
  {
    const Reply r =
        request(console.port, method, target, who, std::string(method) == "POST" ? "{\"pause\": true}" : "");
    const json body = json::parse(r.body, nullptr, false);
    return std::to_string(r.status) + " " +
           (body.is_object() ? body.value("login", "") + " " + body.value("reason", "") : r.body);
  };
  const httplib::Headers maria = {{"Cookie", cookieOf(login(console, "maria", kMaria))}, {"Origin", console.origin()}};
  const httplib::Headers tom = {{"Cookie", cookieOf(login(console, "tom", kTom))}, {"Origin", console.origin()}};
  const httplib::Headers tomAgain = {{"Cookie", cookieOf(login(console, "tom", kTom))}, {"Origin", console.origin()}};
  EXPECT_EQ("200  ", reasonOf(tom, "GET", "/api/me").substr(0, 5));
  EXPECT_EQ(200, request(console.port, "POST", "/api/logout", tom, "{}").status);
  EXPECT_EQ("401 ended logged out", reasonOf(tom, "GET", "/api/status"));
  const json toms = json::parse(request(console.port, "GET", "/api/accounts", maria).body)["accounts"][1];
  ASSERT_EQ("tom", toms["name"]);
  ASSERT_EQ(200, request(console.port, "POST", "/api/accounts/disable", maria,
                         json({{"id", toms["id"]}, {"disabled", true}}).dump())
                     .status);
  EXPECT_EQ("401 ended disabled", reasonOf(tomAgain, "POST", "/api/pause"));
  EXPECT_EQ("401 ended disabled", reasonOf(tomAgain, "GET", "/events"));
  EXPECT_EQ("401 ended none", reasonOf({{"Origin", console.origin()}}, "GET", "/api/clinic/patients"));
}

// One's own password, with the present one.
TEST(ConsoleAccounts, OwnPasswordWithThePresentOne)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  Console console({"_database:=" + clinicWithAccounts(dir), "_room:=room-a"});
  ASSERT_GT(console.port, 0);
  const httplib::Headers tom = {{"Cookie", cookieOf(login(console, "tom", kTom))}, {"Origin", console.origin()}};
  EXPECT_EQ(409,
            request(console.port, "POST", "/api/password", tom, R"({"old": "not it", "new": "tom's new one"})").status);
  EXPECT_EQ(400,
            request(console.port, "POST", "/api/password", tom, R"({"old": "tom's password", "new": "short"})").status);
  EXPECT_EQ(200,
            request(console.port, "POST", "/api/password", tom, R"({"old": "tom's password", "new": "tom's new one"})")
                .status);
  EXPECT_EQ(401, login(console, "tom", kTom).status);
  EXPECT_EQ(200, login(console, "tom", "tom's new one").status);
}

TEST(ConsoleAccounts, PersonalTokenForScriptsUntilRevoked)
{
  kinora_test::Harness harness(false);
  kinora_test::TempDir dir;
  Console console({"_database:=" + clinicWithAccounts(dir), "_room:=room-b"});
  ASSERT_GT(console.port, 0);
  const httplib::Headers asTom = {{"Cookie", cookieOf(login(console, "tom", kTom))}, {"Origin", console.origin()}};
  const Reply made = request(console.port, "POST", "/api/tokens", asTom, R"({"label": "nightly export"})");
  ASSERT_EQ(201, made.status) << made.body;
  const std::string token = json::parse(made.body)["token"];
  // A script sends no Origin: the token alone lets it act.
  const httplib::Headers script = {{"Authorization", "Bearer " + token}};
  const Reply added = request(console.port, "POST", "/api/clinic/patients", script, R"({"code": "P-9"})");
  EXPECT_EQ(201, added.status) << added.body;
  // Without accounts' token, a request with no Origin is still refused.
  EXPECT_EQ(403, request(console.port, "POST", "/api/clinic/patients", {{"Cookie", asTom.begin()->second}},
                         R"({"code": "P-10"})")
                     .status);
  const Reply revoked =
      request(console.port, "POST", "/api/tokens/revoke", asTom, json({{"id", json::parse(made.body)["id"]}}).dump());
  EXPECT_EQ(200, revoked.status) << revoked.body;
  EXPECT_EQ(401, request(console.port, "GET", "/api/clinic/patients", script).status);
  const httplib::Headers maria = {{"Cookie", cookieOf(login(console, "maria", kMaria))}};
  const json entries = json::parse(request(console.port, "GET", "/api/audit", maria).body)["entries"];
  std::vector<std::string> seen;
  for (const json& e : entries)
    seen.push_back(e["who"].get<std::string>() + " " + e["action"].get<std::string>() + " " +
                   e["room"].get<std::string>());
  EXPECT_EQ((std::vector<std::string>{"maria login room-b", "tom token revoked room-b", "tom patient added room-b",
                                      "tom token made room-b", "tom login room-b"}),
            seen);
}
}  // namespace
