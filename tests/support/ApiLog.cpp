#include "support/ApiLog.h"

#include <fstream>

namespace orvella::test {

ApiLog::ApiLog() {
  setSystemPath(scratch.path().c_str());
}

ApiLog::~ApiLog() {
  if (levelChanged) {
    // Later tests start from the initial level again.
    initialize(nullptr, nullptr);
    SetLevel(1);
    finalize();
  }
}

void ApiLog::SetLevel(int level) {
  levelChanged = level != 1;
  // The log level follows the camera opened last; a private open of an unused
  // slot is not worth it here, so the settings file carries it for every camera.
  std::ofstream out(scratch.File("Orvella.ini"), std::ios::trunc);
  for (int i = 1; i <= 10; ++i) out << "[Camera " << i << "]\nLogLevel=" << level << "\n";
  out.close();
  // Takes effect at once through a short open and close of the last slot.
  int size[2];
  if (openCVLPort(0, 19, "Camera 10", size)) closeCVLPort(0, 19);
}

void ResetDriver() {
  while (getCVLNoOfSupportedCameras() > 0) finalize();
  // Below zero (a finalize without initialize): bring the count back to 0.
  // An initialize from -1 goes to 0 without building cameras.
  setDebugMsgProc(nullptr);
}

}  // namespace orvella::test
