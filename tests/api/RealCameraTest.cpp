// Cameras as they are met in the field, through the exported functions:
// Basic and Digest logins (lighttpd), self-signed https certificates and the
// TlsTrust setting, slow snapshots, refusals that name their cause,
// passwords that never reach a log line, and many cameras on one server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "driver/Orvella.h"
#include "support/Host.h"
#include "support/Scratch.h"
#include "support/Servers.h"

namespace {

using namespace std::chrono_literals;
using orvella::test::CameraUrl;
using orvella::test::Host;
using orvella::test::HttpUrl;
using orvella::test::QueryEncoded;
using orvella::test::ServerControl;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 6;
constexpr char kPicture[] = "pattern_640x480.jpg";
// The second login of lighttpd_server.py: its password ends or splits a URL's
// user info wherever it is not encoded.
constexpr char kOddPassword[] = "Pa#s@:/?%w0rd";
constexpr char kOddPasswordEncoded[] = "Pa%23s%40%3A%2F%3F%25w0rd";

long MsSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class RealCameraTest : public orvella::test::ServerHostTest {
 protected:
  RealCameraTest() : ServerHostTest(kPort) {}

  // Camera 1 with `url` (and more keys) opened on kPort, the log cleared.
  void Open(const std::string& url, const std::map<std::string, std::string>& more = {}) {
    closeCVLPort(0, kPort);
    std::string section = "[Camera 1]\r\nImageUrl=" + url + "\r\nLogLevel=1\r\n";
    for (const auto& [key, value] : more) section += key + "=" + value + "\r\n";
    orvella::test::WriteBinary(host.log.dir() + orvella::test::PathSeparator() + "Orvella.ini", section);
    host.log.Clear();
    ASSERT_EQ(host.Open("Camera 1", kPort), 1) << host.log.Text();
  }
  // One grab: true once its picture arrived, false once it failed.
  bool Grab() {
    const int before = host.Callbacks(kPort);
    const int failures = host.log.Count("ERR: ");
    EXPECT_EQ(doCVLGrab(0, kPort), 1);
    for (auto start = Clock::now(); Clock::now() - start < 20s;) {
      if (host.Callbacks(kPort) > before) return true;
      if (host.log.Count("ERR: ") > failures) return false;
      std::this_thread::sleep_for(5ms);
    }
    ADD_FAILURE() << "neither a picture nor a failure in 20 s";
    return false;
  }
  // The reason of the ERR line ("" when there is none).
  std::string Reason() const {
    const std::string text = host.log.Text();
    const size_t at = text.find(", reason: ");
    return at == std::string::npos ? "" : text.substr(at + 10, text.find("\t\n", at) - at - 10);
  }
  // No form of the password in any line the driver logged.
  void ExpectNoPassword(const std::string& password, const std::string& encoded) {
    const std::string text = host.log.Text();
    for (const std::string& form : {password, encoded})
      EXPECT_EQ(text.find(form), std::string::npos) << "the password as " << form << " in:\n" << text;
  }
};

// Requests lighttpd logged for `path` since `from`, and whether any of its
// requests carried a Basic login.
struct Requests {
  int count = 0;
  bool basic = false;
};
Requests RequestsSince(size_t from, const std::string& path) {
  const std::string log = orvella::test::CameraRequestLog().substr(from);
  Requests seen;
  std::map<std::string, std::string> pathOfConnection;  // header lines come by connection
  for (size_t at = 0; at < log.size();) {
    const size_t end = std::min(log.find('\n', at), log.size());
    const std::string line = log.substr(at, end - at);
    at = end + 1;
    const size_t fd = line.find(" fd:"), rqst = line.find(" rqst: ");
    if (fd == std::string::npos || rqst == std::string::npos) continue;
    const std::string connection = line.substr(fd, rqst - fd), text = line.substr(rqst + 7);
    if (text.rfind("GET ", 0) == 0) {
      pathOfConnection[connection] = text.substr(4, text.find(' ', 4) - 4);
      if (pathOfConnection[connection] == path) ++seen.count;
    } else if (pathOfConnection[connection] == path && text.rfind("Authorization: Basic", 0) == 0) {
      seen.basic = true;
    }
  }
  return seen;
}

// The HTTP server's control answers (tests/servers/http_server.py): a route
// for `path`, and how often it was asked for.
std::string Control(const std::string& pathAndQuery) {
  const std::string answer = orvella::test::RawHttpGet(orvella::test::HttpPort(), pathAndQuery);
  const size_t body = answer.find("\r\n\r\n");
  return body == std::string::npos ? "" : answer.substr(body + 4);
}
void Route(const std::string& path, const std::string& to) {
  ASSERT_EQ(Control("/_route?path=" + path + "&to=" + to), "ok\n");
}
int Hits(const std::string& path) {
  const std::string text = Control("/_hits?path=" + path);
  return text.rfind("hits=", 0) == 0 ? std::atoi(text.c_str() + 5) : -1;
}

TEST_F(RealCameraTest, LoginsDeliverThePictureWithOneRequestPerPictureAfterTheFirst) {
  struct Case {
    const char* scheme;  // lighttpd's path
    std::string userInfo;
  };
  const Case cases[] = {
      {"basic", "user:pass"},
      {"digest", "user:pass"},
      {"digest-md5", "user:pass"},
      {"basic", std::string("orvella:") + kOddPassword},
      {"digest", std::string("orvella:") + kOddPassword},
      {"basic", std::string("orvella:") + kOddPasswordEncoded},
      {"digest", std::string("orvella:") + kOddPasswordEncoded},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scheme) + " " + c.userInfo);
    const std::string path = "/" + std::string(c.scheme) + "/" + kPicture;
    const size_t logStart = orvella::test::CameraRequestLog().size();
    Open(CameraUrl(path, false, c.userInfo));
    for (int picture = 0; picture < 3; ++picture) ASSERT_TRUE(Grab()) << host.log.Text();
    EXPECT_LE(host.PatternError(host.ReadImage(kPort)), 8);
    const Requests seen = RequestsSince(logStart, path);
    EXPECT_EQ(seen.count, 4) << "three pictures: one challenge, then one request each";
    if (std::string(c.scheme) != "basic") {
      EXPECT_FALSE(seen.basic) << "a Digest camera never sees Basic";
    }
    ExpectNoPassword(kOddPassword, kOddPasswordEncoded);
  }
}

TEST_F(RealCameraTest, RefusalsNameTheirCauseAndNeverThePassword) {
  const std::string odd = std::string("orvella:") + kOddPassword;
  struct Case {
    std::string url;
    std::string reason;  // the whole reason, or its start when it ends in '*'
  };
  const Case cases[] = {
      {HttpUrl("/status/404"), "File not available (HTTP 404 Not Found)"},
      {CameraUrl("/digest/pattern_320x240.jpg", false, "orvella:wrong" + std::string(kOddPasswordEncoded)),
       "File not available (HTTP 401 Unauthorized: the camera asks for Digest; check the user name and password in "
       "ImageUrl); next attempt in 30 s"},
      {CameraUrl("/basic/pattern_320x240.jpg"),
       "File not available (HTTP 401 Unauthorized: the camera asks for Basic; check the user name and password in "
       "ImageUrl)"},
      // A server quoting the password it received, raw and encoded.
      {"http://" + odd + "@127.0.0.1:" + std::to_string(orvella::test::HttpPort()) + "/echo-login",
       "File not available (HTTP 403 *** ***); next attempt in 30 s"},
      {"http://orvella:" + std::string(kOddPasswordEncoded) +
           "@127.0.0.1:" + std::to_string(orvella::test::HttpPort()) + "/echo-login",
       "File not available (HTTP 403 *** ***); next attempt in 30 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    Open(c.url);
    ASSERT_FALSE(Grab());
    EXPECT_EQ(Reason(), c.reason) << host.log.Text();
    ExpectNoPassword(kOddPassword, kOddPasswordEncoded);
  }
}

TEST_F(RealCameraTest, ASelfSignedCameraIsTrustedAsTlsTrustSays) {
  const std::string key = orvella::test::CameraKey();
  ASSERT_EQ(key.rfind("sha256//", 0), 0u) << key;
  struct Case {
    std::string trust;  // absent when empty
    bool delivers;
    bool warns;
  };
  const Case cases[] = {
      {"", false, false},
      {key, true, false},
      {"sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", false, false},
      {"any", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("TlsTrust=" + c.trust);
    std::map<std::string, std::string> more;
    if (!c.trust.empty()) more["TlsTrust"] = c.trust;
    Open(CameraUrl("/basic/pattern_640x480.jpg", true, "user:pass"), more);
    EXPECT_EQ(host.log.Has("Camera::Open: WARNING: TlsTrust=any: the certificate of camera Camera 1 is not "
                           "checked, port=6\n"),
              c.warns)
        << host.log.Text();
    ASSERT_EQ(Grab(), c.delivers) << host.log.Text();
    if (c.delivers) {
      ASSERT_TRUE(Grab()) << "and the next picture" << host.log.Text();
      EXPECT_LE(host.PatternError(host.ReadImage(kPort)), 8);
    } else {
      const std::string reason = Reason();
      EXPECT_NE(reason.find("the camera's key is " + key + "; "), std::string::npos) << reason;
      EXPECT_NE(reason.find("TlsTrust=" + key + " in its settings accepts it)"), std::string::npos) << reason;
    }
  }
}

TEST_F(RealCameraTest, MjpegStreamsLogInAndTrustAsSnapshotsDo) {
  const std::string key = orvella::test::CameraKey();
  const std::string odd = std::string("orvella:") + kOddPassword;
  struct Case {
    std::string path;  // lighttpd's, proxying our stream
    bool tls;
    std::string userInfo, trust;
    std::string reason;  // "" when it delivers; else what the reason holds
  };
  const Case cases[] = {
      {"/digest/mjpeg", false, odd, "", ""},
      {"/basic/mjpeg", false, "orvella:" + std::string(kOddPasswordEncoded), "", ""},
      {"/digest/mjpeg", false, "orvella:wrong", "",
       "File not available (HTTP 401 Unauthorized: the camera asks for Digest; check the user name and password in "
       "ImageUrl)"},
      {"/open/mjpeg", true, "", key, ""},
      {"/open/mjpeg", true, "", "", "the camera's key is " + key + "; "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + (c.tls ? " over https" : "") + " TlsTrust=" + c.trust);
    const size_t logStart = orvella::test::CameraRequestLog().size();
    std::map<std::string, std::string> more{{"width", "128"}, {"height", "16"}};
    if (!c.trust.empty()) more["TlsTrust"] = c.trust;
    Open(CameraUrl(c.path + "?fps=25", c.tls, c.userInfo), more);
    const bool delivers = c.reason.empty();
    ASSERT_EQ(Grab(), delivers) << host.log.Text();
    if (delivers) {
      EXPECT_TRUE(Grab()) << "and the next picture" << host.log.Text();
    } else {
      EXPECT_NE(Reason().find(c.reason), std::string::npos) << Reason();
    }
    if (c.path == "/digest/mjpeg") {
      EXPECT_FALSE(RequestsSince(logStart, c.path + "?fps=25").basic);
    }
    closeCVLPort(0, kPort);
    ExpectNoPassword(kOddPassword, kOddPasswordEncoded);
  }
}

// Whatever connection carries an https answer, the camera's own trust
// judges it: a refused camera leaves behind no connection through which a
// camera of default trust on the same server gets pictures, nor does a
// pinned camera, which still delivers.
TEST_F(RealCameraTest, EveryCameraOnAServerIsJudgedByItsOwnTrust) {
  const std::string key = orvella::test::CameraKey();
  struct Camera {
    const char* trust;  // nullptr: no TlsTrust key
    const char* path;
  };
  const Camera kDefault{nullptr, "/basic/pattern_640x480.jpg"}, kEmpty{"", "/basic/pattern_640x480.jpg"},
      kPinned{"pin", "/basic/pattern_640x480.jpg"};
  const std::vector<Camera> orders[] = {{kDefault, kEmpty, kPinned, kDefault}, {kEmpty, kDefault, kPinned, kEmpty}};
  for (const std::vector<Camera>& order : orders) {
    std::string file;
    for (size_t i = 0; i < order.size(); ++i) {
      file += "[Camera " + std::to_string(i + 1) +
              "]\r\nwidth=128\r\nheight=16\r\nLogLevel=1\r\nImageUrl=" + CameraUrl(order[i].path, true, "user:pass") +
              "\r\n";
      if (order[i].trust) file += std::string("TlsTrust=") + (order[i].trust == std::string("pin") ? key : "") + "\r\n";
    }
    orvella::test::WriteBinary(host.log.dir() + orvella::test::PathSeparator() + "Orvella.ini", file);
    for (size_t i = 0; i < order.size(); ++i) {
      const bool pinned = order[i].trust && order[i].trust == std::string("pin");
      SCOPED_TRACE("camera " + std::to_string(i + 1) + " of " + order[i].path +
                   (order[i].trust ? std::string(" TlsTrust=") + order[i].trust : " without TlsTrust"));
      host.log.Clear();
      ASSERT_EQ(host.Open("Camera " + std::to_string(i + 1), kPort), 1);
      ASSERT_EQ(Grab(), pinned) << host.log.Text();
      if (pinned) {
        EXPECT_TRUE(Grab()) << "and the next picture" << host.log.Text();
      } else {
        EXPECT_NE(Reason().find("the camera's key is " + key + "; "), std::string::npos) << Reason();
      }
      closeCVLPort(0, kPort);
    }
  }
}

// A login goes only to its URL's scheme, host and port. Camera A asks for
// Basic before it redirects, so a driver sending its Basic answer ahead of
// challenges would carry it along. With a login, a redirect to another
// origin is not followed (that origin sees no request); within the origin
// it is followed with the login; without a login every redirect is
// followed. A picture stream is read on the connection that found it; its
// reconnect, once that ends, meets the redirect and is judged the same.
TEST_F(RealCameraTest, ARedirectTakesTheLoginOnlyWithinItsOrigin) {
  static int other = 0;  // the second origin: another port of the HTTP server
  if (other == 0) {
    other = std::atoi(ServerControl("/_closedport").substr(5).c_str());
    ASSERT_GT(other, 0);
    ASSERT_EQ(ServerControl("/_openport?port=" + std::to_string(other)), "ok\n");
  }
  auto seen = [](int port, const std::string& path) {  // {requests, with Authorization}
    const std::string text = ServerControl("/_auth?port=" + std::to_string(port) + "&path=" + QueryEncoded(path));
    const size_t at = text.find("authorized=");
    return std::make_pair(std::atoi(text.c_str() + 9),
                          at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 11));
  };
  for (const bool stream : {false, true})
    for (const bool sameOrigin : {true, false})
      for (const bool login : {true, false}) {
        const std::string name = std::string(stream ? "stream" : "snapshot") + (sameOrigin ? "-same" : "-other") +
                                 (login ? "-login" : "-open");
        SCOPED_TRACE(name);
        const std::string path = "/redirect-" + name, auth = login ? "auth=basic" : "";
        const std::string origin = "http://127.0.0.1:" + std::to_string(sameOrigin ? orvella::test::HttpPort() : other);
        const std::string targetPath = stream ? "/mjpeg" : "/files/pattern_320x240.jpg";
        std::string target = targetPath + (stream ? "?fps=25" : "");
        if (login && sameOrigin) target += (stream ? "&" : "?") + auth;  // within the origin it wants the login too
        const std::string redirect = "/redirect?" + (login ? auth + "&" : "") + "to=" + QueryEncoded(origin + target);
        // A stream's first answer comes straight from A and ends after a few
        // frames; the reconnect meets the redirect.
        const std::string route = stream ? QueryEncoded("/mjpeg?fps=25&frames=3" + (login ? "&" + auth : "")) +
                                               "&then=" + QueryEncoded(redirect)
                                         : QueryEncoded(redirect);
        ASSERT_EQ(ServerControl("/_route?path=" + QueryEncoded(path) + "&to=" + route), "ok\n");
        const auto before = seen(other, targetPath);
        Open("http://" + std::string(login ? "user:pass@" : "") +
                 "127.0.0.1:" + std::to_string(orvella::test::HttpPort()) + path,
             {{"width", "128"}, {"height", "16"}});
        const bool follows = sameOrigin || !login;
        if (stream) {
          ASSERT_TRUE(Grab()) << host.log.Text();
          for (int i = 0; i < 50 && Reason().find("ended the stream") == std::string::npos; ++i) {
            ASSERT_EQ(doCVLGrab(0, kPort), 1);
            std::this_thread::sleep_for(100ms);
          }
          // Ended: every cycle from now on reconnects through the redirect.
          const int callbacks = host.Callbacks(kPort);
          for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(doCVLGrab(0, kPort), 1);
            std::this_thread::sleep_for(300ms);
          }
          EXPECT_EQ(host.Callbacks(kPort) > callbacks, follows) << host.log.Text();
          closeCVLPort(0, kPort);
          const auto after = seen(other, targetPath);
          EXPECT_EQ(after.second, before.second) << "the other origin was sent a login";
          if (!follows) {
            EXPECT_EQ(after.first, before.first) << "the other origin was asked";
          }
          continue;
        } else {
          // A refusal logs once; a grab after it asks again, unlogged.
          ASSERT_EQ(Grab(), follows) << host.log.Text();
        }
        if (follows) {
          EXPECT_TRUE(Grab()) << "and the next picture" << host.log.Text();
        } else {
          const int callbacks = host.Callbacks(kPort);
          ASSERT_EQ(doCVLGrab(0, kPort), 1);
          std::this_thread::sleep_for(300ms);
          EXPECT_EQ(host.Callbacks(kPort), callbacks);
          EXPECT_EQ(Reason(), "redirect to http://127.0.0.1:" + std::to_string(other) +
                                  " not followed: the camera's login goes only to its own address");
        }
        closeCVLPort(0, kPort);
        const auto after = seen(other, targetPath);
        EXPECT_EQ(after.second, before.second) << "the other origin was sent a login";
        if (!follows) {
          EXPECT_EQ(after.first, before.first) << "the other origin was asked";
        }
      }
}

TEST_F(RealCameraTest, ASlowSnapshotArrivesWhateverConnectionTimeoutSaysAndCloseStaysPrompt) {
  // Longer than ConnectionTimeout and than the stall limit of a running body:
  // waiting for the answer has a limit of its own.
  Open(HttpUrl("/files/pattern_640x480.jpg?delay=5500"), {{"ConnectionTimeout", "1000"}});
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(Grab()) << host.log.Text();
  EXPECT_GE(MsSince(start), 5400);
  EXPECT_LE(host.PatternError(host.ReadImage(kPort)), 8);

  ASSERT_EQ(doCVLGrab(0, kPort), 1);
  std::this_thread::sleep_for(1500ms);
  const Clock::time_point closing = Clock::now();
  closeCVLPort(0, kPort);
  EXPECT_LT(MsSince(closing), 1100) << "closing while the camera makes its picture";
}

TEST_F(RealCameraTest, TenCamerasOnOneServerEachKeepTheirRate) {
  // Each answer takes 300 ms and each camera wants two a second: a few
  // connections per server shared by all ten would give each about one.
  std::string file;
  for (int camera = 1; camera <= 10; ++camera)
    file += "[Camera " + std::to_string(camera) + "]\r\nwidth=320\r\nheight=240\r\nRefreshRate=2\r\nImageUrl=" +
            HttpUrl("/files/pattern_320x240.jpg?delay=300") + "\r\n";
  orvella::test::WriteBinary(host.log.dir() + orvella::test::PathSeparator() + "Orvella.ini", file);
  for (int camera = 1; camera <= 10; ++camera) {
    ASSERT_EQ(host.Open("Camera " + std::to_string(camera), camera), 1);
    ASSERT_EQ(setProperty(0, camera, "continuous", 1), 1);
  }
  std::this_thread::sleep_for(3500ms);
  for (int camera = 1; camera <= 10; ++camera) {
    setProperty(0, camera, "continuous", 0);
    closeCVLPort(0, camera);
  }
  for (int camera = 1; camera <= 10; ++camera)
    EXPECT_GE(host.Callbacks(camera), 5) << "camera " << camera << "\n" << host.log.Text();
}

// A camera that refuses the login is not asked with it again for 30 s,
// continuous mode and grabs alike (cameras lock the account out after a few
// failed logins); a reopened camera asks at once. Any other failure in
// continuous mode is retried about once a second, and the rate comes back
// with the first picture.
TEST_F(RealCameraTest, AFailingCameraWaitsBeforeAskingAgain) {
  struct Case {
    const char* what;
    std::string url;
    std::function<int()> requests;  // the camera's count so far
    bool login;
  };
  const size_t logStart = orvella::test::CameraRequestLog().size();
  auto lighttpd = [logStart](const std::string& path) {
    return [logStart, path] { return RequestsSince(logStart, path).count; };
  };
  const std::string http = "127.0.0.1:" + std::to_string(orvella::test::HttpPort());
  Route("/wait/refused", "/echo-login");
  Route("/wait/missing", "/status/404");
  const Case cases[] = {
      {"wrong Digest password", CameraUrl("/digest/pattern_320x240.jpg", false, "user:wrong"),
       lighttpd("/digest/pattern_320x240.jpg"), true},
      {"wrong Basic password", CameraUrl("/basic/pattern_320x240.jpg", false, "user:wrong"),
       lighttpd("/basic/pattern_320x240.jpg"), true},
      {"403 to the login", "http://user:pass@" + http + "/wait/refused", [] { return Hits("/wait/refused"); }, true},
      {"missing picture", "http://" + http + "/wait/missing", [] { return Hits("/wait/missing"); }, false},
  };
  const std::map<std::string, std::string> fast{{"RefreshRate", "20"}, {"width", "320"}, {"height", "240"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open(c.url, fast);
    const int before = c.requests();
    ASSERT_EQ(setProperty(0, kPort, "continuous", 1), 1);
    for (auto start = Clock::now(); host.log.Count("ERR: ") == 0 && Clock::now() - start < 10s;)
      std::this_thread::sleep_for(5ms);
    const std::string suffix = c.login ? "; next attempt in 30 s" : "; next attempt in 1 s";
    EXPECT_EQ(Reason().substr(Reason().size() - std::min(Reason().size(), suffix.size())), suffix) << Reason();
    std::this_thread::sleep_for(2s);
    // One attempt is the challenge and the refused login (two requests).
    EXPECT_LE(c.requests() - before, c.login ? 2 : 5) << "at 20 pictures a second for 2 s";
    if (c.login) {
      const int asked = c.requests(), callbacks = host.Callbacks(kPort);
      ASSERT_EQ(doCVLGrab(0, kPort), 1);
      std::this_thread::sleep_for(300ms);
      EXPECT_EQ(c.requests(), asked) << "a grab waits too";
      EXPECT_EQ(host.Callbacks(kPort), callbacks);
      EXPECT_EQ(host.log.Count("ERR: "), 1) << host.log.Text();
      Open(c.url, fast);  // closed and opened again: at once
      EXPECT_FALSE(Grab());
      EXPECT_GT(c.requests(), asked);
    } else {
      Route("/wait/missing", "/files/pattern_320x240.jpg");
      ASSERT_TRUE(host.WaitCallbacks(kPort, 1, 5s));
      const int first = host.Callbacks(kPort);
      std::this_thread::sleep_for(1500ms);
      EXPECT_GE(host.Callbacks(kPort) - first, 8) << "the rate is back: 30 pictures in 1.5 s";
    }
    setProperty(0, kPort, "continuous", 0);
    closeCVLPort(0, kPort);
  }
}

}  // namespace
