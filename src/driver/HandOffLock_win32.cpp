#include <windows.h>

#include "driver/HandOffLock.h"
#include "driver/WinLock.h"

namespace orvella {

struct HandOffLock::Impl {
  WinLock lock;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

HandOffLock::HandOffLock() : impl(std::make_unique<Impl>()) {}
HandOffLock::~HandOffLock() = default;

void HandOffLock::lock() ORVELLA_NO_THREAD_SAFETY_ANALYSIS {
  impl->lock.lock();
}
void HandOffLock::unlock() ORVELLA_NO_THREAD_SAFETY_ANALYSIS {
  impl->lock.unlock();
}

// The caller holds `impl->lock` through this object.
void HandOffLock::Wait() ORVELLA_NO_THREAD_SAFETY_ANALYSIS {
  impl->lock.Wait(impl->changed);
}

bool HandOffLock::WaitUntil(std::chrono::steady_clock::time_point deadline) ORVELLA_NO_THREAD_SAFETY_ANALYSIS {
  impl->lock.WaitUntil(impl->changed, deadline);
  return std::chrono::steady_clock::now() < deadline;
}

void HandOffLock::WakeAll() {
  WakeAllConditionVariable(&impl->changed);
}

}  // namespace orvella
