// The settings file is never torn: a process killed with SIGKILL at any
// moment of its saves leaves a file in which every camera's section is one
// whole save, and no save that had finished is lost.
//
// The saving process is this test program again (SettingsKillTest.SaveLoop,
// which only runs when ORVELLA_SAVE_LOOP_DIR names its directory): it saves
// the ten cameras' settings through CameraSettings::Exchange, round after
// round, each section holding its round number in every key, the rounds
// going on from the highest one the file holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "config/CameraSettings.h"
#include "config/IniFile.h"
#include "driver/DriverContext.h"
#include "support/Scratch.h"

namespace orvella {
namespace {

constexpr const char* kLoopVariable = "ORVELLA_SAVE_LOOP_DIR";

std::string Section(int camera) {
  return "Camera " + std::to_string(camera);
}

int RoundOf(const IniFile& file, int camera);

TEST(SettingsKillTest, SaveLoop) {
  const char* dir = std::getenv(kLoopVariable);
  if (!dir) GTEST_SKIP() << "the saving process of SettingsKillTest.EveryKillLeavesWholeSections";
  GetDriverContext().SetSystemPath(dir);
  IniFile before(test::ReadBinary(GetDriverContext().GetSettingsFilePath()));
  int last = 0;
  for (int camera = 1; camera <= 10; ++camera) last = std::max(last, RoundOf(before, camera));
  for (int round = last + 1;; ++round) {
    for (int camera = 1; camera <= 10; ++camera) {
      CameraSettings s;
      s.width.value = round;
      s.height.value = round;
      s.refreshRate.value = round;
      s.refreshRateUnit.value = round;
      s.grayscale.value = round;
      s.connectionTimeout.value = round;
      s.logLevel.value = round;
      s.SetImageUrl("http://camera-" + std::to_string(camera) + "/round/" + std::to_string(round));
      s.Exchange(Section(camera).c_str(), true);
    }
  }
}

// The round a section was saved in, or -1 when its keys disagree (a torn
// section) and 0 when it is not there.
int RoundOf(const IniFile& file, int camera) {
  const std::string section = Section(camera);
  const int round = file.GetInt(section, "width", 0);
  if (round == 0) return 0;
  for (const char* key : {"height", "RefreshRate", "RefreshRateUnit", "Grayscale", "ConnectionTimeout", "LogLevel"})
    if (file.GetInt(section, key, 0) != round) return -1;
  if (file.GetString(section, "ImageUrl", "") !=
      "http://camera-" + std::to_string(camera) + "/round/" + std::to_string(round))
    return -1;
  return round;
}

TEST(SettingsKillTest, EveryKillLeavesWholeSections) {
  if (std::getenv(kLoopVariable)) GTEST_SKIP() << "inside the saving process";
  test::ScratchDir dir;
  const std::string file = dir.File("Orvella.ini");
  std::mt19937 random(20240607);
  int saved[11] = {};  // per camera: the round the file held after the last kill
  for (int attempt = 0; attempt < 20; ++attempt) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setenv(kLoopVariable, dir.path().c_str(), 1);
      execl("/proc/self/exe", "unit_tests", "--gtest_filter=SettingsKillTest.SaveLoop", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Killed at a random moment once it has finished a round of its own
    // (it starts from what the last one left), however slow the machine.
    for (int i = 0; i < 2000; ++i) {
      if (test::FileExists(file) && RoundOf(IniFile(test::ReadBinary(file)), 10) > saved[10]) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(random)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saving process ended by itself";

    // Every section is one whole save, and none goes back to an older round.
    IniFile settings(test::ReadBinary(file));
    for (int camera = 1; camera <= 10; ++camera) {
      int round = RoundOf(settings, camera);
      ASSERT_GE(round, 0) << "torn section " << Section(camera) << " after kill " << attempt << ":\n"
                          << settings.Text();
      EXPECT_GE(round, saved[camera]) << "a finished save of " << Section(camera) << " was lost";
      saved[camera] = round;
    }
  }
  EXPECT_GT(saved[10], 1) << "the saving processes got through several rounds";
}

}  // namespace
}  // namespace orvella
