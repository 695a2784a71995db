#include <dlfcn.h>
#include <pthread.h>

#include <chrono>
#include <stdexcept>

#include "driver/Platform.h"

namespace orvella::platform {

const char kPathSeparator = '/';

void LocalTime(const std::time_t& when, std::tm& out) {
  localtime_r(&when, &out);
}

std::FILE* OpenForAppend(const std::string& path) {
  return std::fopen(path.c_str(), "a");
}

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

ThreadEnd::ThreadEnd(void (*endFunction)(void*)) : end(endFunction) {
  pthread_key_t created;
  if (pthread_key_create(&created, end) != 0) throw std::runtime_error("no thread key left");
  key = created;
}

void ThreadEnd::Set(void* value) { pthread_setspecific(static_cast<pthread_key_t>(key), value); }

uint64_t FileTimeNow() {
  constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;  // 1970 in ticks since 1601
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100) +
         kUnixEpochTicks;
}

}  // namespace orvella::platform
