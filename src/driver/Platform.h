// Small platform services for the shared code: one implementation file per
// platform (Platform_win32.cpp, Platform_posix.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace orvella::platform {

// Separator placed between the system path and a file name.
extern const char kPathSeparator;

// Local calendar time now, and of a given moment (thread-safe).
std::tm LocalTimeNow();
void LocalTime(const std::time_t& when, std::tm& out);

// Opens a log file for appending in text mode, shared with other processes.
std::FILE* OpenForAppend(const std::string& path);

// The time now as Windows counts file times: 100-ns ticks since 1601-01-01.
uint64_t FileTimeNow();

// Milliseconds since the library was loaded, or -1 when no clock is available.
long ElapsedMs();

// Keeps the library's code mapped until the process ends, so a worker thread
// can never execute unloaded code. Safe to call many times.
void PinLibrary();

// The path of `file` relative to the directory of the library that holds the
// driver (a module in its private folder). Raises std::runtime_error when
// that directory cannot be found.
std::string BesideDriver(const std::string& file);

// Calls `end(value)` on a thread that set a value here, as it ends (the last
// value it set, when not null): for what a host thread holds of ours between
// calls. One object per kind of value, never destroyed.
class ThreadEnd {
 public:
  explicit ThreadEnd(void (*end)(void*));
  ThreadEnd(const ThreadEnd&) = delete;
  ThreadEnd& operator=(const ThreadEnd&) = delete;
  // For the calling thread.
  void Set(void* value);

 private:
  void (*const end)(void*);
  unsigned long key = 0;
};

}  // namespace orvella::platform
