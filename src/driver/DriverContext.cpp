#include "driver/DriverContext.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/Platform.h"

namespace orvella {

namespace {

// Per thread: how many HostSafeLocks it is inside, the lines it keeps
// meanwhile, and whether it is inside a pair already.
thread_local int deferDepth = 0;
struct KeptLine {
  DriverContext* context;
  std::string stamp;
  std::string message;
};
// A plain pointer, freed when the outermost lock ends: a thread_local with a
// destructor crashes at thread exit in mingw-w64's runtime.
thread_local std::vector<KeptLine>* deferred = nullptr;
thread_local bool inPair = false;
// The pair this thread last stopped waiting for (its context and number).
thread_local const void* gaveUpOn = nullptr;
thread_local unsigned long gaveUpOnNumber = 0;

}  // namespace

DriverContext& GetDriverContext() {
  static DriverContext* context = new DriverContext();
  return *context;
}

void DriverContext::FormatStamp(const std::tm& t, char* out, size_t size) {
  std::snprintf(out, size, "%.2d/%.2d/%.2d %.2d:%.2d:%.2d: ", t.tm_mday, t.tm_mon + 1, (t.tm_year + 1900) % 100,
                t.tm_hour, t.tm_min, t.tm_sec);
}

void DriverContext::Log(int level, const char* format, ...) {
  if (level > logLevel.load(std::memory_order_relaxed)) return;

  // Per-call storage: a callback that logs again on this thread, or another
  // thread logging meanwhile, can never clobber this message.
  char message[kMessageSize];
  va_list args;
  va_start(args, format);
  int n = format ? std::vsnprintf(message, sizeof message, format, args) : -1;
  va_end(args);
  if (n < 0) {
    message[0] = '\0';
    n = 0;
  }
  size_t length = std::strlen(message);  // cut to the buffer when longer
  if (length >= 1 && length <= 1021 && message[length - 1] != '\n') {
    message[length] = '\n';
    message[length + 1] = '\0';
  }

  TimeSource source = timeSource.load();
  std::tm now = source ? source() : platform::LocalTimeNow();
  char stamp[kStampSize];
  FormatStamp(now, stamp, sizeof stamp);

  if (deferDepth > 0) {
    if (!deferred) deferred = new std::vector<KeptLine>();
    deferred->push_back(KeptLine{this, stamp, message});
    return;
  }
  Emit(stamp, message);
}

void DriverContext::Emit(const char* stamp, const char* message) {
  bool owned = AcquirePair();
  if (DebugMsgProc proc = debugMsgProc.load()) {
    proc(stamp);
    proc(message);
  }
  if (logIntoFile.load()) WriteToFile(stamp, message);
  if (owned) ReleasePair();
}

bool DriverContext::AcquirePair() {
  if (inPair) return false;  // a callback logging again: its pair nests in ours
  MutexLock guard(pairLock);
  // A callback that kept us waiting once keeps us no more until it returns.
  if (pairBusy && gaveUpOn == this && gaveUpOnNumber == pairNumber) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPairWaitMs);
  while (pairBusy) {
    if (!guard.WaitUntil(pairFree, deadline) && pairBusy) {
      gaveUpOn = this;  // go ahead unpaired
      gaveUpOnNumber = pairNumber;
      return false;
    }
  }
  pairBusy = true;
  ++pairNumber;
  pairOwner = std::this_thread::get_id();
  inPair = true;
  return true;
}

bool DriverContext::InBlockedCallback(std::thread::id other) {
  MutexLock guard(pairLock);
  return pairBusy && pairOwner == other && gaveUpOn == this && gaveUpOnNumber == pairNumber;
}

void DriverContext::ReleasePair() {
  inPair = false;
  {
    MutexLock guard(pairLock);
    pairBusy = false;
  }
  pairFree.notify_one();
}

DeferredLog::DeferredLog() { ++deferDepth; }

DeferredLog::~DeferredLog() {
  if (--deferDepth > 0 || !deferred) return;
  // Taken first: a callback may log more, which goes straight out.
  std::unique_ptr<std::vector<KeptLine>> lines(deferred);
  deferred = nullptr;
  for (const KeptLine& line : *lines) line.context->Emit(line.stamp.c_str(), line.message.c_str());
}

void DriverContext::WriteToFile(const char* stamp, const char* message) {
  MutexLock guard(lock);
  if (systemPath.empty()) {
    pendingLines.emplace_back(std::string(stamp) + message);
    return;
  }
  std::FILE* file = platform::OpenForAppend(systemPath + platform::kPathSeparator + "Orvella.log");
  if (!file) return;  // lost silently; the pending lines wait for the next call
  for (const std::string& line : pendingLines) std::fputs(line.c_str(), file);
  pendingLines.clear();
  std::fputs(stamp, file);
  std::fputs(message, file);
  std::fclose(file);
}

bool DriverContext::SetSystemPath(const char* path) {
  if (!path || !*path) return false;
  MutexLock guard(lock);
  systemPath = path;
  return true;
}

std::string DriverContext::SystemPath() const {
  MutexLock guard(lock);
  return systemPath;
}

std::string DriverContext::GetSettingsFilePath() const { return SystemPath() + platform::kPathSeparator + "Orvella.ini"; }

std::string DriverContext::GetLogFilePath() const { return SystemPath() + platform::kPathSeparator + "Orvella.log"; }

void DriverContext::SetTimeSource(TimeSource source) { timeSource.store(source); }

void DriverContext::ClearPendingLines() {
  MutexLock guard(lock);
  pendingLines.clear();
}

size_t DriverContext::PendingLineCount() const {
  MutexLock guard(lock);
  return pendingLines.size();
}

}  // namespace orvella
