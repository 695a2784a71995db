#include "support/ApiLog.h"

#include <fstream>

namespace orvella::test {

namespace {
std::mutex lock;
std::vector<std::string> lines;
bool expectMessage = false;
ApiLog* current = nullptr;
}  // namespace

ApiLog::ApiLog() {
  std::lock_guard<std::mutex> guard(lock);
  lines.clear();
  expectMessage = false;
  current = this;
  setSystemPath(scratch.path().c_str());
}

ApiLog::~ApiLog() {
  if (levelChanged) {
    // Later tests start from the initial level again.
    initialize(nullptr, nullptr);
    SetLevel(1);
    finalize();
  }
  std::lock_guard<std::mutex> guard(lock);
  current = nullptr;
}

void ORVELLA_CALL ApiLog::Callback(const char* text) {
  std::lock_guard<std::mutex> guard(lock);
  // Stamps and messages alternate; a stamp always ends in ": ".
  if (!expectMessage) {
    expectMessage = true;
    return;
  }
  expectMessage = false;
  lines.emplace_back(text ? text : "");
}

std::vector<std::string> ApiLog::Lines() const {
  std::lock_guard<std::mutex> guard(lock);
  return lines;
}

std::string ApiLog::Text() const {
  std::string all;
  for (const auto& l : Lines()) all += l;
  return all;
}

bool ApiLog::Contains(const std::string& part) const { return Count(part) > 0; }

int ApiLog::Count(const std::string& part) const {
  int n = 0;
  for (const auto& l : Lines())
    if (l.find(part) != std::string::npos) ++n;
  return n;
}

void ApiLog::Clear() {
  std::lock_guard<std::mutex> guard(lock);
  lines.clear();
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
