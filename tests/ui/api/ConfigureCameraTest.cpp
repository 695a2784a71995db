// configureCamera end to end through the shared library: the real dialog
// (the template from the DLL's own resources on Windows, the GTK module found
// beside the library on Linux), the settings file and the camera's settings.
#include <gtest/gtest.h>

#include <string>

#include "driver/Orvella.h"
#include "support/Host.h"
#include "support/Scratch.h"
#include "ui/DialogRobot.h"

namespace {

using orvella::test::DialogRobot;

class ConfigureCameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host.log.SetLevel(2);
    ASSERT_EQ(initialize(host.log.dir().c_str(), orvella::test::ApiLog::Callback), 1);
  }
  std::string SettingsText() {
    return orvella::test::ReadText(host.log.dir() + orvella::test::PathSeparator() + "Orvella.ini");
  }
  int Width(int port) {
    int value = -1;
    getProperty(0, port, "width", &value);
    return value;
  }

  orvella::test::Host host;
};

TEST_F(ConfigureCameraTest, OkSavesTheCopyAndReturns0) {
  ASSERT_EQ(host.Open("Camera 2", 4), 1);
  int result = -1;
  {
    DialogRobot robot([](DialogRobot& r) {
      ASSERT_TRUE(r.WaitForWindow("Configure camera on port #5: Camera 2"));
      r.Type(1005, "800");
      r.Tick(1002);  // "Also log in to file": lives in memory only
      r.Press(1);
      EXPECT_TRUE(r.WaitUntilClosed());
    });
    result = configureCamera(nullptr, "Camera 2");
  }
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Width(4), 800) << "the camera takes the copy over";
  std::string ini = SettingsText();
  size_t section = ini.find("[Camera 2]");
  ASSERT_NE(section, std::string::npos) << ini;
  EXPECT_NE(ini.find("width=800", section), std::string::npos) << ini;
  EXPECT_NE(ini.find("height=480", section), std::string::npos) << ini;
  EXPECT_EQ(ini.find("LogIntoFile"), std::string::npos) << ini;
  EXPECT_TRUE(host.log.Contains("configureCamera: entering cameraName=Camera 2\n"));
  EXPECT_TRUE(host.log.Contains("Camera::Configure: leaving\n"));
  closeCVLPort(0, 4);
}

TEST_F(ConfigureCameraTest, CancelChangesNothingAndReturns1) {
  ASSERT_EQ(host.Open("Camera 2", 4), 1);
  const std::string before = SettingsText();
  int result = -1;
  {
    DialogRobot robot([](DialogRobot& r) {
      ASSERT_TRUE(r.WaitForWindow("Configure camera on port #5: Camera 2"));
      r.Type(1005, "800");
      r.Press(2);
      EXPECT_TRUE(r.WaitUntilClosed());
    });
    result = configureCamera(nullptr, "Camera 2");
  }
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Width(4), 640);
  EXPECT_EQ(SettingsText(), before);
  closeCVLPort(0, 4);
}

TEST_F(ConfigureCameraTest, UnknownNameReturns0AndNullName1WithoutADialog) {
  const std::string before = SettingsText();
  EXPECT_EQ(configureCamera(nullptr, "Camera 11"), 0);
  EXPECT_TRUE(host.log.Contains("configureCamera: ERROR: cannot find camera by name: Camera 11\n"));
  EXPECT_EQ(configureCamera(nullptr, nullptr), 1);
  EXPECT_TRUE(host.log.Contains("configureCamera --EXCEPTION"));
  EXPECT_EQ(SettingsText(), before);
}

TEST_F(ConfigureCameraTest, ContinuousCameraShowsTheRefusalInstead) {
  host.WriteSettings("Camera 3", {{"ImageUrl", "http://127.0.0.1:9/none.jpg"}});
  ASSERT_EQ(host.Open("Camera 3", 6), 1);
  ASSERT_EQ(setProperty(0, 6, "continuous", 1), 1);
  const std::string before = SettingsText();
  host.log.Clear();
  int result = -1;
  {
    DialogRobot robot([](DialogRobot& r) {
      ASSERT_TRUE(r.WaitForWindow("Orvella"));
      EXPECT_EQ(r.MessageText(), "Please stop inspection to configure camera");
      r.Press(1);
      EXPECT_TRUE(r.WaitUntilClosed());
    });
    result = configureCamera(nullptr, "Camera 3");
  }
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(host.log.Contains("Camera::Configure: entering")) << "no dialog while streaming";
  EXPECT_EQ(SettingsText(), before);
  setProperty(0, 6, "continuous", 0);
  closeCVLPort(0, 6);
}

}  // namespace
