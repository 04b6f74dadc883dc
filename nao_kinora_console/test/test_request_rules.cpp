// The console's request rules on their own: addresses, hosts, token, origin,
// and which file a request target may name (on a folder with symbolic links).
#include "nao_kinora_console/http/request_rules.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

using namespace nao_kinora_console;

TEST(RequestRules, LoopbackAddresses)
{
  for (const char* address : {"127.0.0.1", "127.1.2.3", "localhost", "::1"})
    EXPECT_TRUE(isLoopbackAddress(address)) << address;
  for (const char* address : {"0.0.0.0", "192.168.1.5", "10.0.0.1", "::", "128.0.0.1", "localhost.example", "", "127"})
    EXPECT_FALSE(isLoopbackAddress(address)) << address;
}

TEST(RequestRules, HostOfALoopbackConsole)
{
  for (const char* host : {"127.0.0.1:8080", "localhost:8080", "[::1]:8080", "127.0.0.2:8080"})
    EXPECT_TRUE(loopbackHostAllowed(host, 8080)) << host;
  for (const char* host : {"127.0.0.1:8081", "127.0.0.1", "evil.example:8080", "127.0.0.1.evil.example:8080",
                           "localhost:80800", ":8080", "", "0.0.0.0:8080", "[::1]x:8080"})
    EXPECT_FALSE(loopbackHostAllowed(host, 8080)) << host;
}

TEST(RequestRules, Token)
{
  EXPECT_TRUE(tokenMatches("s3cret-token", "s3cret-token"));
  EXPECT_FALSE(tokenMatches("s3cret-tokem", "s3cret-token"));
  EXPECT_FALSE(tokenMatches("s3cret", "s3cret-token"));
  EXPECT_FALSE(tokenMatches("s3cret-token-and-more", "s3cret-token"));
  EXPECT_FALSE(tokenMatches("", "s3cret-token"));
  EXPECT_FALSE(tokenMatches(std::string("s3cret-token\0", 13), "s3cret-token"));
  // No token set: nothing matches it.
  EXPECT_FALSE(tokenMatches("", ""));
}

TEST(RequestRules, Origin)
{
  const bool plain = false, tls = true;
  EXPECT_TRUE(originAllowed("http://127.0.0.1:8080", "127.0.0.1:8080", plain));
  EXPECT_TRUE(originAllowed("http://tablet-console.local:8080", "tablet-console.local:8080", plain));
  EXPECT_FALSE(originAllowed("http://localhost:8080", "127.0.0.1:8080", plain));
  EXPECT_FALSE(originAllowed("https://127.0.0.1:8080", "127.0.0.1:8080", plain));
  EXPECT_FALSE(originAllowed("http://evil.example", "127.0.0.1:8080", plain));
  EXPECT_FALSE(originAllowed("null", "127.0.0.1:8080", plain));
  EXPECT_FALSE(originAllowed("", "127.0.0.1:8080", plain));
  EXPECT_FALSE(originAllowed("http://", "", plain));
  // Under TLS the page's origin is https: a plain page of the same host and
  // port is another origin.
  EXPECT_TRUE(originAllowed("https://10.0.0.5:8080", "10.0.0.5:8080", tls));
  EXPECT_FALSE(originAllowed("http://10.0.0.5:8080", "10.0.0.5:8080", tls));
  EXPECT_FALSE(originAllowed("https://10.0.0.6:8080", "10.0.0.5:8080", tls));
  EXPECT_FALSE(originAllowed("https://", "", tls));
}

TEST(RequestRules, QueryValue)
{
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/?token=abc", "abc"},
      {"/events?x=1&token=abc", "abc"},
      {"/?token=abc&x=1", "abc"},
      {"/?token=abc&token=def", "abc"},
      {"/?token=", ""},
      {"/?mytoken=abc", ""},
      {"/?tokens=abc", ""},
      {"/token=abc", ""},
      {"/", ""},
      {"/?x=1&&token=abc", "abc"},
      {"/?token=abc#x", "abc#x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.second, queryValue(c.first, "token")) << c.first;
}

TEST(RequestRules, KnownMethods)
{
  for (const char* method : {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE", "CONNECT"})
    EXPECT_TRUE(knownMethod(method)) << method;
  for (const char* method : {"BREW", "get", "PROPFIND", "", "GETS"})
    EXPECT_FALSE(knownMethod(method)) << method;
}

// Where the parser stops at a Content-Length: a number too large for it
// (413), or something that is no number (400).
TEST(RequestRules, NumericLengthField)
{
  for (const char* bytes : {"Content-Length: 99999999999999999999\r\n\r\n", "content-length:99999999999999999999",
                            "CONTENT-LENGTH: 1 \r\nX: y\r\n\r\n"})
    EXPECT_TRUE(numericLengthField(bytes)) << bytes;
  for (const char* bytes :
       {"Content-Length: abc\r\n\r\n", "Content-Length: -5\r\n\r\n", "Content-Length: \r\n\r\n",
        "Content-Length: 1 2\r\n", "X-Content-Length: 5\r\n", "Host: x\r\nContent-Length: 5\r\n", ""})
    EXPECT_FALSE(numericLengthField(bytes)) << bytes;
}

// The page's folder and two side folders, as the console serves its 3D
// view's libraries and the robot's model beside the page.
class StaticFiles : public ::testing::Test
{
protected:
  void SetUp() override
  {
    char pattern[] = "/tmp/console_static_XXXXXX";
    ASSERT_TRUE(mkdtemp(pattern));
    char real[PATH_MAX];
    ASSERT_TRUE(realpath(pattern, real));
    top_ = real;
    root_ = top_ + "/www";
    lib_ = top_ + "/node_modules/three/build";
    model_ = top_ + "/description/urdf";
    for (const std::string& dir : {root_, root_ + "/sub", top_ + "/node_modules", top_ + "/node_modules/three", lib_,
                                   lib_ + "/sub", top_ + "/description", model_})
      mkdir(dir.c_str(), 0755);
    write(root_ + "/index.html");
    write(root_ + "/console.js");
    write(root_ + "/sub/a.css");
    write(root_ + "/.hidden");
    write(top_ + "/secret.txt");  // beside the folder, as package.xml is beside www/
    ASSERT_EQ(0, symlink((top_ + "/secret.txt").c_str(), (root_ + "/out.txt").c_str()));
    ASSERT_EQ(0, symlink(top_.c_str(), (root_ + "/up").c_str()));
    ASSERT_EQ(0, symlink("console.js", (root_ + "/same.js").c_str()));
    write(lib_ + "/three.module.js");
    write(lib_ + "/sub/b.js");
    write(lib_ + "/.hidden.js");
    write(top_ + "/node_modules/three/package.json");  // beside the served folder
    write(model_ + "/nao.urdf");
    // Links out of a side folder: to a file beside it, to the page's folder.
    ASSERT_EQ(0, symlink((top_ + "/node_modules/three/package.json").c_str(), (lib_ + "/package.js").c_str()));
    ASSERT_EQ(0, symlink((root_ + "/console.js").c_str(), (lib_ + "/console.js").c_str()));
    ASSERT_EQ(0, symlink(top_.c_str(), (model_ + "/up").c_str()));
    // The cue folder: .wav files only, by their name and by what they are.
    cues_ = top_ + "/cues";
    for (const std::string& dir : {cues_, cues_ + "/sub", cues_ + "/folder.wav"})
      mkdir(dir.c_str(), 0755);
    write(cues_ + "/merhaba.wav");
    write(cues_ + "/sub/1feed.wav");
    write(cues_ + "/notes.txt");
    ASSERT_EQ(0, symlink("notes.txt", (cues_ + "/notes.wav").c_str()));
    ASSERT_EQ(0, symlink((root_ + "/index.html").c_str(), (cues_ + "/page.wav").c_str()));
    folders_ = {{"/lib/three/", lib_}, {"/robot/", model_}, {"/gone/", ""}, {"/cues/", cues_, ".wav"}, {"/", root_}};
  }
  void TearDown() override { std::system(("rm -rf " + top_).c_str()); }

  static void write(const std::string& path) { std::ofstream(path.c_str()) << "x"; }

  std::string top_, root_, lib_, model_, cues_;
  std::vector<StaticFolder> folders_;
};

TEST_F(StaticFiles, OnlyPlainNamesInsideTheirFolder)
{
  const std::vector<std::pair<std::string, std::string>> served = {
      {"/", root_ + "/index.html"},
      {"/?token=abc", root_ + "/index.html"},
      {"/console.js?token=abc", root_ + "/console.js"},
      {"/sub/a.css", root_ + "/sub/a.css"},
      // A link that stays inside the folder is served as what it points at.
      {"/same.js", root_ + "/console.js"},
      {"/lib/three/three.module.js?token=abc", lib_ + "/three.module.js"},
      {"/lib/three/sub/b.js", lib_ + "/sub/b.js"},
      {"/robot/nao.urdf", model_ + "/nao.urdf"},
      {"/cues/merhaba.wav?token=abc", cues_ + "/merhaba.wav"},
      {"/cues/sub/1feed.wav", cues_ + "/sub/1feed.wav"},
  };
  for (const auto& s : served)
    EXPECT_EQ(s.second, staticFile(s.first, folders_)) << s.first;

  for (const char* target :
       {"/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E/secret.txt", "/..%2fsecret.txt",
        "/sub%2fa.css", "/sub%2Fa.css", "/.%2e/secret.txt", "/./index.html", "/sub/./a.css", "//index.html", "/sub/",
        "/sub", "/.hidden", "/..", "/index.html%00", "/sub\\a.css", "/out.txt", "/up/secret.txt", "/missing.js",
        "index.html", "", "http://evil/index.html", "/index%2ehtml",
        // The side folders: the same rules, and only what is inside each.
        "/lib/three/", "/lib/three", "/lib/three/../three/package.json", "/lib/three/../../../secret.txt",
        "/lib/three/%2e%2e/package.json", "/lib/three/.hidden.js", "/lib/three/package.js", "/lib/three/console.js",
        "/lib/three/sub", "/lib/three/index.html", "/lib/package.json", "/robot/up/secret.txt",
        "/robot/../www/index.html", "/robot/nao.urdf/", "/gone/x.js", "/gone/",
        // The cues: no listing, nothing but a .wav file inside the folder.
        "/cues/", "/cues", "/cues/sub/", "/cues/notes.txt", "/cues/notes.wav", "/cues/page.wav", "/cues/folder.wav",
        "/cues/../www/index.html", "/cues/%2e%2e/merhaba.wav", "/cues/merhaba.wav/", "/cues/.wav", "/cues/MERHABA.WAV"})
    EXPECT_EQ("", staticFile(target, folders_)) << target;
}
