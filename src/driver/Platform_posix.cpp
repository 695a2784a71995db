#include "driver/Platform.h"

#include <dlfcn.h>

#include <stdexcept>

namespace orvella::platform {

const char kPathSeparator = '/';

void LocalTime(const std::time_t& when, std::tm& out) { localtime_r(&when, &out); }

std::FILE* OpenForAppend(const std::string& path) { return std::fopen(path.c_str(), "a"); }

// The shared object is linked with -z nodelete: dlclose never unmaps it.
void PinLibrary() {}

std::string BesideDriver(const std::string& file) {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&BesideDriver), &info) || !info.dli_fname)
    throw std::runtime_error("cannot find the driver's own directory");
  std::string self = info.dli_fname;
  size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + file;
}

}  // namespace orvella::platform
