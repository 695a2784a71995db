// Linux: without the dialog module or without a display no dialog can be
// shown, and the caller learns why. Each case runs in a fresh process, since
// a loaded module and a started GTK stay for the life of a process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "config/CameraProp.h"
#include "config/CameraSettings.h"

namespace orvella {
namespace {

// Exits 0 after printing the reason when the dialog refuses with an
// exception and leaves the settings alone; 1 otherwise.
[[noreturn]] void RunExpectingRefusal() {
  CameraSettings settings;
  settings.width.value = 321;
  try {
    RunCameraPropDialog(nullptr, "Configure camera on port #-1: Camera 1", &settings);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "reason: %s\n", e.what());
    std::exit(settings.width.value == 321 ? 0 : 1);
  }
  std::exit(1);
}

// Every dialog test of this program loads the module built beside it.
[[maybe_unused]] const bool kModuleChosen = [] {
  SetDialogModulePathForTests(ORVELLA_DIALOG_MODULE_PATH);
  return true;
}();

class CameraPropModule : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CameraPropModule, MissingModuleNamesThePath) {
  EXPECT_EXIT(
      {
        SetDialogModulePathForTests("/nonexistent/liborvella-dialog.so");
        RunExpectingRefusal();
      },
      ::testing::ExitedWithCode(0), "reason: cannot load the settings dialog /nonexistent/liborvella-dialog.so");
}

TEST_F(CameraPropModule, NoDisplayIsReported) {
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        RunExpectingRefusal();
      },
      ::testing::ExitedWithCode(0), "reason: cannot open a display for the settings dialog");
}

}  // namespace
}  // namespace orvella
