// Linux: a host without a display gets result 1 and a log line naming the
// reason, and nothing is written. In a fresh process: a started GTK stays.
#include <gtest/gtest.h>

#include <cstdlib>

#include "driver/Orvella.h"
#include "support/Host.h"
#include "support/Scratch.h"

namespace {

[[noreturn]] void ConfigureWithoutDisplay() {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  orvella::test::Host host;
  initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback);
  int result = configureCamera(nullptr, "Camera 1");
  bool logged = host.log.Contains("cannot open a display");
  bool written = orvella::test::FileExists(host.log.dir() + "/Orvella.ini");
  std::exit(result == 1 && logged && !written ? 0 : 1);
}

TEST(ConfigureCameraNoDisplay, Returns1AndLogsWhy) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ConfigureWithoutDisplay(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
