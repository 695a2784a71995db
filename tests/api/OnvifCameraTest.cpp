// ONVIF cameras by their address (onvif://), through the exports, against
// the test ONVIF cameras (tests/servers/onvif_server.py, each on a port of
// its own): the picture URIs they resolve to deliver like any camera's, the
// camera's clock hours off, Digest-only, Media-only, Media2, two profiles,
// dirty URIs, no snapshots, a camera that never answers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "driver/Orvella.h"
#include "support/Host.h"
#include "support/Servers.h"
#include "support/TestEnv.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr int kPort = 60;
// The cameras' login, percent-encoded for the URL: "admin" / "p@ss&w:rd".
const char kLogin[] = "admin:p%40ss%26w%3Ard@";

int ModePort(const std::string& mode) {
  const std::string all = "," + orvella::test::Env("ORVELLA_ONVIF_MODE_PORTS") + ",";
  const size_t at = all.find("," + mode + "=");
  return at == std::string::npos ? 0 : std::atoi(all.c_str() + at + mode.size() + 2);
}

class OnvifCameraTest : public orvella::test::ServerHostTest {
 protected:
  OnvifCameraTest() : ServerHostTest(kPort) {}
  void Open(const std::string& url, const std::string& width = "320", const std::string& height = "240") {
    host.WriteSettings("Camera 1", {{"ImageUrl", url}, {"width", width}, {"height", height}, {"LogLevel", "3"}});
    ASSERT_EQ(host.Open("Camera 1", kPort), 1) << host.log.Text();
  }
  // A grab: true with a picture, false with an ERR line.
  bool Grab() {
    const int before = host.Callbacks(kPort), errors = host.log.Count("ERR: ");
    EXPECT_EQ(doCVLGrab(0, kPort), 1);
    const auto until = Clock::now() + 30s;
    while (Clock::now() < until) {
      if (host.Callbacks(kPort) > before) return true;
      if (host.log.Count("ERR: ") > errors) return false;
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "neither a picture nor a failure in 30 s";
    return false;
  }
};

TEST_F(OnvifCameraTest, EveryKindOfCameraDeliversThroughTheUriItNames) {
  const struct {
    const char* mode;
    const char* path;    // after the address: profile and ?stream
    bool pattern;        // the snapshot is the test pattern (else: any picture, or an RTSP frame)
    const char* reason;  // "" delivers
  } cases[] = {
      {"wsse", "", true, ""},
      {"digest", "", true, ""},
      {"media", "", true, ""},
      {"media2", "", false, ""},
      {"two_profiles", "", true, ""},
      {"dirty_uris", "", true, ""},
      {"no_snapshot", "", false, ""},
      {"wsse", "?stream", false, ""},
      {"wsse", "/nope", false, "ONVIF GetProfiles: the camera has no profile nope"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + c.path);
    const int port = ModePort(c.mode);
    ASSERT_GT(port, 0) << "no ONVIF camera " << c.mode;
    host.log.Clear();
    Open("onvif://" + std::string(kLogin) + "127.0.0.1:" + std::to_string(port) + c.path);
    const bool delivered = Grab();
    EXPECT_EQ(delivered, *c.reason == 0) << host.log.Text();
    if (*c.reason) {
      EXPECT_NE(host.log.Text().find(c.reason), std::string::npos) << host.log.Text();
    }
    if (delivered && c.pattern) {
      EXPECT_LE(host.PatternError(host.ReadImage(kPort)), 8);
    }
    EXPECT_EQ(host.log.Text().find("p@ss"), std::string::npos) << "the password shows";
    closeCVLPort(0, kPort);
  }
}

TEST_F(OnvifCameraTest, ACloseDuringACallThatNeverEndsReturnsPromptly) {
  host.WriteSettings(
      "Camera 1", {{"ImageUrl", "onvif://" + std::string(kLogin) + "127.0.0.1:" + std::to_string(ModePort("silent"))},
                   {"ConnectionTimeout", "1000"},
                   {"LogLevel", "3"}});
  ASSERT_EQ(host.Open("Camera 1", kPort), 1);
  ASSERT_EQ(doCVLGrab(0, kPort), 1);
  std::this_thread::sleep_for(300ms);  // inside the first call, which never ends
  const auto began = Clock::now();
  closeCVLPort(0, kPort);
  EXPECT_LT(Clock::now() - began, 1100ms) << "a close during an ONVIF call";
}

}  // namespace
