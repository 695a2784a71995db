// The one driver-wide state: host callback, system path, reference count,
// log settings, and the diagnostic log.
//
// Thread safety: Log() may be called from any thread at any time, including
// from inside the host's debug callback on the same thread. The single-word
// fields are atomics; systemPath and the pending lines take `lock`.
//
// The host is never called under a lock of ours: a thread inside a
// HostSafeLock (camera, worker, list locks) keeps its lines and hands them
// on when it holds none. A line's two callback pieces and its file write are
// kept together by the pair lock, which a thread re-enters freely (a callback
// that logs again) and waits for at most kPairWaitMs: a host whose callback
// waits for another host thread that is logging delays it briefly, then that
// thread goes ahead (its pair may then mix with the waiting one's). It waits
// once per blocked callback: until that pair ends, its next lines go ahead
// at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "driver/Mutex.h"
#include "driver/NoCopy.h"
#include "driver/Orvella.h"

#if defined(__GNUC__)
#define ORVELLA_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ORVELLA_PRINTF(fmt, args)
#endif

namespace orvella {

class DriverContext {
 public:
  static constexpr int kMessageSize = 1024;
  static constexpr int kStampSize = 128;
  static constexpr int kPairWaitMs = 250;
  using TimeSource = std::tm (*)();

  std::atomic<DebugMsgProc> debugMsgProc{nullptr};
  std::atomic<int> refCount{0};
  std::atomic<int> logLevel{1};
  std::atomic<bool> logIntoFile{false};

  // printf-style; filtered by level first, so a dropped message costs one compare.
  void Log(int level, const char* format, ...) ORVELLA_PRINTF(3, 4);
  // Whether Log writes messages of this level: the same compare without the
  // call, for paths run once per image row.
  bool Logs(int level) const { return level <= logLevel.load(std::memory_order_relaxed); }

  // Whether `other` is inside a debug callback that this thread stopped
  // waiting for (and that has not returned since): a host's callback
  // waiting for this very thread, so waiting for `other` is in vain.
  bool InBlockedCallback(std::thread::id other) ORVELLA_EXCLUDES(pairLock);
  // Stores a copy of the path; false (and nothing changes) for null or empty.
  bool SetSystemPath(const char* path);
  std::string SystemPath() const;
  // systemPath + separator + "Orvella.ini".
  std::string GetSettingsFilePath() const;
  std::string GetLogFilePath() const;

  // Tests replace the local clock to check the time stamp; nullptr restores it.
  void SetTimeSource(TimeSource source);
  // Tests: drop lines waiting for a system path.
  void ClearPendingLines();
  size_t PendingLineCount() const;

  // Time stamp as "dd/mm/yy hh:mm:ss: " into out (at least 20 bytes).
  static void FormatStamp(const std::tm& t, char* out, size_t size);

 private:
  friend class DeferredLog;
  // Hands one line to the host and the file, a whole pair at a time.
  void Emit(const char* stamp, const char* message) ORVELLA_EXCLUDES(pairLock);
  void WriteToFile(const char* stamp, const char* message) ORVELLA_EXCLUDES(lock);
  bool AcquirePair() ORVELLA_EXCLUDES(pairLock);
  void ReleasePair() ORVELLA_EXCLUDES(pairLock);

  Mutex pairLock;
  std::condition_variable pairFree;
  bool pairBusy ORVELLA_GUARDED_BY(pairLock) = false;
  // Counts the pairs taken: which one a thread stopped waiting for.
  unsigned long pairNumber ORVELLA_GUARDED_BY(pairLock) = 0;
  std::thread::id pairOwner ORVELLA_GUARDED_BY(pairLock);

  mutable Mutex lock;  // also serialises the file append
  std::string systemPath ORVELLA_GUARDED_BY(lock);
  std::vector<std::string> pendingLines ORVELLA_GUARDED_BY(lock);
  std::atomic<TimeSource> timeSource{nullptr};
};

// While one exists on a thread, that thread's log lines are kept and handed
// to the host when its outermost one ends (after the locks it guarded).
class DeferredLog {
 public:
  DeferredLog();
  ~DeferredLog();
  ORVELLA_NO_COPY(DeferredLog);
};

// A lock of ours under which the host is never called.
template <class M>
class ORVELLA_SCOPED_CAPABILITY HostSafeLock {
 public:
  explicit HostSafeLock(M& mutex) ORVELLA_ACQUIRE(mutex) : lock(mutex) {}
  ~HostSafeLock() ORVELLA_RELEASE() {}

 private:
  DeferredLog defer;  // declared first: flushes after the lock is released
  ScopedLock<M> lock;
};

// Created on first use; never destroyed, so a worker still logging while the
// process exits never meets a dead object.
DriverContext& GetDriverContext();

}  // namespace orvella
