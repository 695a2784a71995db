#include "driver/Platform.h"

namespace orvella::platform {

const char kPathSeparator = '/';

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm out{};
  localtime_r(&now, &out);
  return out;
}

std::FILE* OpenForAppend(const std::string& path) { return std::fopen(path.c_str(), "a"); }

// The shared object is linked with -z nodelete: dlclose never unmaps it.
void PinLibrary() {}

}  // namespace orvella::platform
