// A lock with one condition, for the hand-off that happens on every picture
// between a host thread and a camera's worker (a grab wakes the worker).
// Windows' slim lock and condition variable in the DLL (HandOffLock_win32.cpp):
// under Wine they wait on futexes, while the standard library's (mingw's
// winpthreads) take two Wine server calls per hand-off; the standard ones on
// Linux (HandOffLock_posix.cpp).
#pragma once

#include <chrono>
#include <memory>

#include "driver/Mutex.h"
#include "driver/NoCopy.h"

namespace orvella {

class ORVELLA_CAPABILITY("mutex") HandOffLock {
 public:
  HandOffLock();
  ~HandOffLock();
  ORVELLA_NO_COPY(HandOffLock);

  void lock() ORVELLA_ACQUIRE();
  void unlock() ORVELLA_RELEASE();

  // One wait with the lock held, until woken (or `deadline`); the caller
  // loops on its own condition (spurious wake-ups). False once the deadline
  // has passed.
  void Wait() ORVELLA_REQUIRES(this);
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) ORVELLA_REQUIRES(this);
  // Wakes every waiter; with or without the lock held.
  void WakeAll();

 private:
  struct Impl;
  const std::unique_ptr<Impl> impl;
};

}  // namespace orvella
