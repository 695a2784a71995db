// The real settings dialog of this product (Win32 under Wine, or the GTK
// module), driven through RunCameraPropDialog as Camera::Configure uses it.
#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "config/CameraProp.h"
#include "config/CameraPropModel.h"
#include "config/CameraSettings.h"
#include "ui/DialogRobot.h"

namespace orvella {
namespace {

using test::DialogRobot;

constexpr int kOk = 1;
constexpr int kCancel = 2;

TEST(CameraPropDialog, ShowsTheDefaultsAndOkKeepsThem) {
  const std::string title = "Configure camera on port #-1: Camera 1";
  CameraSettings settings;
  int result;
  {
    DialogRobot robot([&](DialogRobot& r) {
      ASSERT_TRUE(r.WaitForWindow(title));
      EXPECT_EQ(r.Text(IDC_IMAGE_URL), CameraSettings::kDefaultImageUrl);
      EXPECT_EQ(r.Text(IDC_REFRESH_RATE_UNIT), "1");
      EXPECT_EQ(r.Text(IDC_REFRESH_RATE), "2");
      EXPECT_EQ(r.Text(IDC_WIDTH), "640");
      EXPECT_EQ(r.Text(IDC_HEIGHT), "480");
      EXPECT_FALSE(r.IsChecked(IDC_GRAYSCALE));
      EXPECT_EQ(r.Text(IDC_LOG_LEVEL), "1");
      EXPECT_FALSE(r.IsChecked(IDC_LOG_INTO_FILE));
      EXPECT_EQ(r.Text(IDC_LOG_LEVEL_RANGE), "[0 ... 4]");
      EXPECT_EQ(r.Text(IDC_REFRESH_RATE_RANGE), "[1 ... 60] per Unit");
      EXPECT_EQ(r.Text(IDC_REFRESH_RATE_UNIT_RANGE), "[1 ... 60] s");
      EXPECT_EQ(r.StatusText(), "");
      EXPECT_TRUE(r.IsEnabled(kOk));
      const std::string shot = test::ArtifactPath("camera-dialog-defaults.png");
      EXPECT_TRUE(r.SaveScreenshot(shot)) << shot;
      r.Press(kOk);
      EXPECT_TRUE(r.WaitUntilClosed());
    });
    const std::string localeBefore = std::setlocale(LC_ALL, nullptr);
    result = RunCameraPropDialog(nullptr, title, &settings);
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), localeBefore) << "a dialog must not change the host's locale";
  }
  EXPECT_EQ(result, 1);
  CameraSettings defaults;
  EXPECT_EQ(settings.ImageUrl(), defaults.ImageUrl());
  EXPECT_EQ(settings.width.value, 640);
  EXPECT_EQ(settings.refreshRateUnit.value, 1);
}

TEST(CameraPropDialog, ChecksEveryEditAndOkStoresWhatTheControlsShow) {
  const std::string title = "Configure camera on port #4: Camera 2";
  CameraSettings settings;
  settings.connectionTimeout.value = 777;
  int result;
  {
    DialogRobot robot([&](DialogRobot& r) {
      ASSERT_TRUE(r.WaitForWindow(title));
      r.Type(IDC_WIDTH, "8193");
      EXPECT_EQ(r.StatusText(), "Image width not in range");
      EXPECT_FALSE(r.IsEnabled(kOk));
      r.SaveScreenshot(test::ArtifactPath("camera-dialog-width-error.png"));
      r.Press(kOk);
      EXPECT_TRUE(r.IsOpen()) << "OK must not close the dialog while a check fails";
      r.Type(IDC_WIDTH, "8192");
      EXPECT_EQ(r.StatusText(), "");
      EXPECT_TRUE(r.IsEnabled(kOk));

      r.Type(IDC_IMAGE_URL, "");
      EXPECT_EQ(r.StatusText(), "Please provide Share Name");
      EXPECT_FALSE(r.IsEnabled(kOk));
      r.Type(IDC_IMAGE_URL, "http://127.0.0.1:8080/cam.jpg");
      EXPECT_TRUE(r.IsEnabled(kOk));

      r.Type(IDC_REFRESH_RATE, "10");
      r.Type(IDC_LOG_LEVEL, "3");

      r.Type(IDC_HEIGHT, "abc");
      EXPECT_TRUE(r.IsEnabled(kOk)) << "letters read as 0, which height allows";
      r.Tick(IDC_GRAYSCALE);
      r.Tick(IDC_LOG_INTO_FILE);
      EXPECT_TRUE(r.IsChecked(IDC_GRAYSCALE));
      EXPECT_EQ(r.StatusText(), "");
      r.Press(kOk);
      EXPECT_TRUE(r.WaitUntilClosed());
    });
    result = RunCameraPropDialog(nullptr, title, &settings);
  }
  EXPECT_EQ(result, 1);
  EXPECT_EQ(settings.ImageUrl(), "http://127.0.0.1:8080/cam.jpg");
  EXPECT_EQ(settings.width.value, 8192);
  EXPECT_EQ(settings.height.value, 0);
  EXPECT_EQ(settings.refreshRate.value, 10);
  EXPECT_EQ(settings.logLevel.value, 3);
  EXPECT_EQ(settings.grayscale.value, 1) << "check boxes are read when OK is pressed";
  EXPECT_EQ(settings.logIntoFile.value, 1);
  EXPECT_EQ(settings.connectionTimeout.value, 777) << "the dialog has no control for it";
}

TEST(CameraPropDialog, CancelEscapeAndCloseBoxEndWithCancel) {
  const std::vector<std::pair<const char*, void (DialogRobot::*)()>> ways = {
      {"Cancel", nullptr}, {"Escape", &DialogRobot::PressEscape}, {"close box", &DialogRobot::CloseBox}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.first);
    const std::string title = std::string("Configure camera on port #1: ") + way.first;
    CameraSettings settings;
    int result;
    {
      DialogRobot robot([&](DialogRobot& r) {
        ASSERT_TRUE(r.WaitForWindow(title));
        r.Type(IDC_IMAGE_URL, "");  // OK disabled: leaving must still work
        if (way.second)
          (r.*way.second)();
        else
          r.Press(kCancel);
        EXPECT_TRUE(r.WaitUntilClosed());
      });
      result = RunCameraPropDialog(nullptr, title, &settings);
    }
    EXPECT_EQ(result, 2);
  }
}

TEST(CameraPropDialog, TabFollowsTheTemplateOrder) {
  const std::string title = "Configure camera on port #-1: tab order";
  CameraSettings settings;
  DialogRobot robot([&](DialogRobot& r) {
    ASSERT_TRUE(r.WaitForWindow(title));
    EXPECT_EQ(r.TabOrder(IDC_IMAGE_URL, 10),
              (std::vector<int>{IDC_REFRESH_RATE_UNIT, IDC_REFRESH_RATE, IDC_WIDTH, IDC_HEIGHT, IDC_GRAYSCALE,
                                IDC_LOG_LEVEL, IDC_LOG_INTO_FILE, kOk, kCancel, IDC_IMAGE_URL}));
    r.Press(kCancel);
  });
  RunCameraPropDialog(nullptr, title, &settings);
}

TEST(CameraPropDialog, HostWindowOwnsTheDialog) {
  const std::string title = "Configure camera on port #-1: owned";
  test::OwnerWindow host;
  ASSERT_NE(host.handle(), nullptr);
  CameraSettings settings;
  DialogRobot robot([&](DialogRobot& r) {
    ASSERT_TRUE(r.WaitForWindow(title));
    EXPECT_EQ(r.Owner(), host.handle());
    r.Press(kCancel);
  });
  EXPECT_EQ(RunCameraPropDialog(host.handle(), title, &settings), 2);
}

TEST(CameraPropDialog, RefusalIsAWarningBoxWithOk) {
  DialogRobot robot([&](DialogRobot& r) {
    ASSERT_TRUE(r.WaitForWindow(kMessageBoxCaption));
    EXPECT_EQ(r.MessageText(), "Please stop inspection to configure camera");
    r.Press(kOk);
    EXPECT_TRUE(r.WaitUntilClosed());
  });
  ShowConfigureRefusal(nullptr);
}

}  // namespace
}  // namespace orvella
