// The live viewer against the simulated camera it starts itself, through the
// real driver, on the Xvfb display the test runs in. Screenshots go to
// $ORVELLA_ARTIFACT_DIR.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ToolTestSupport.h"

namespace {

std::string ArtifactDir() {
  const char* dir = std::getenv("ORVELLA_ARTIFACT_DIR");
  std::string path = dir && *dir ? dir : "/tmp";
  mkdir(path.c_str(), 0755);
  return path;
}

using orvella::tooltest::CommandResult;
using orvella::tooltest::Picture;
using orvella::tooltest::ReadPng;
using orvella::tooltest::RunCommand;
using orvella::tooltest::TempDir;

// What the simulated camera draws, seen in one half of the screenshot: its
// red square (220, 30, 40), and the many colours of its gradient, where a
// blank or frozen slot shows the window's few flat greys.
struct Seen {
  int redPixels = 0;
  size_t colours = 0;
};

Seen Look(const Picture& shot, int x0, int x1) {
  Seen seen;
  std::set<int> colours;
  for (int y = 0; y < shot.height; ++y)
    for (int x = x0; x < x1; ++x) {
      const int r = shot.At(x, y, 0), g = shot.At(x, y, 1), b = shot.At(x, y, 2);
      if (std::abs(r - 220) < 35 && g < 75 && b < 85) ++seen.redPixels;
      colours.insert((r >> 4) << 8 | (g >> 4) << 4 | (b >> 4));
    }
  seen.colours = colours.size();
  return seen;
}

TEST(ViewerTest, ShowsLiveImagesOfEverySlot) {
  const std::string shotPath = ArtifactDir() + "/viewer-live.png";
  std::remove(shotPath.c_str());
  TempDir dir;
  const CommandResult run =
      RunCommand(std::string(ORVELLA_VIEWER) + " --library " + ORVELLA_LIBRARY + " --dir " + dir.path.string() +
                 " --slots 2 --rate 10 --frames 8 --timeout-s 90 --screenshot " + shotPath);
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("Camera 2: "), std::string::npos) << run.output;

  const Picture shot = ReadPng(shotPath);
  ASSERT_GT(shot.width, 0) << "no readable screenshot at " << shotPath;
  // Two slots side by side: each half shows a live picture.
  for (int half = 0; half < 2; ++half) {
    const Seen seen = Look(shot, half * shot.width / 2, (half + 1) * shot.width / 2);
    EXPECT_GT(seen.redPixels, 1200) << "slot " << half + 1 << ": no red square of the simulated camera in " << shotPath;
    EXPECT_GT(seen.colours, 150u) << "slot " << half + 1 << ": too few colours for the camera's gradient in "
                                  << shotPath;
  }
}

// The settings button stops continuous mode before it asks the driver for
// its dialog (the driver refuses a camera in continuous mode), and the
// dialog opens over the viewer.
TEST(ViewerTest, SettingsButtonStopsContinuousModeAndOpensTheDriversDialog) {
  TempDir dir;
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    close(out[0]);
    execl(ORVELLA_VIEWER, ORVELLA_VIEWER, "--library", ORVELLA_LIBRARY, "--dir", dir.path.c_str(), "--verbose",
          "--log-level", "2", "--open-settings-after", "3", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  std::string output;
  bool dialogShown = false;
  const auto start = std::chrono::steady_clock::now();
  while (!dialogShown && std::chrono::steady_clock::now() - start < std::chrono::seconds(60)) {
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, size_t(n));
    if (output.find("Camera::Configure: entering") != std::string::npos)
      dialogShown = RunCommand("xwininfo -root -tree").output.find("Configure camera on port") != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const std::string shotPath = ArtifactDir() + "/viewer-settings.png";
  const CommandResult shot = dialogShown ? RunCommand("import -window root " + shotPath) : CommandResult{};
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  close(out[0]);

  ASSERT_TRUE(dialogShown) << "the driver's settings dialog did not open; viewer said:\n" << output;
  EXPECT_EQ(shot.exitCode, 0) << shot.output;
  const size_t stopped = output.find("Camera::SetContinuousGrab: entering, mode=off");
  const size_t configured = output.find("Camera::Configure: entering");
  ASSERT_NE(stopped, std::string::npos) << output;
  EXPECT_LT(stopped, configured) << "continuous mode must stop before the dialog opens:\n" << output;
}

}  // namespace
