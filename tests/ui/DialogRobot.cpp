#include "ui/DialogRobot.h"

#include <gtest/gtest.h>

#include <exception>
#include <filesystem>

#include "support/TestEnv.h"

namespace orvella::test {

void DialogRobot::Run(Script script) {
  try {
    script(*this);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "dialog script: " << e.what();
  }
  // A window that was told to close may take a moment to go.
  if (!WaitUntilClosed(std::chrono::seconds(2))) {
    ADD_FAILURE() << "the script left the dialog open; cancelling it";
    CloseBox();
  }
}

std::string ArtifactPath(const std::string& name) {
  std::string dir = Env("ORVELLA_ARTIFACT_DIR", "artifacts");
#ifdef _WIN32
  if (!dir.empty() && dir[0] == '/') dir = "Z:" + dir;  // a Linux path seen from Wine
#endif
  std::error_code ignored;
  std::filesystem::create_directories(dir, ignored);
  return dir + "/" + name;
}

}  // namespace orvella::test
