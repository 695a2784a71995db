#include <condition_variable>
#include <mutex>

#include "driver/HandOffLock.h"

namespace orvella {

struct HandOffLock::Impl {
  std::mutex mutex;
  std::condition_variable changed;
};

HandOffLock::HandOffLock() : impl(std::make_unique<Impl>()) {}
HandOffLock::~HandOffLock() = default;

void HandOffLock::lock() {
  impl->mutex.lock();
}
void HandOffLock::unlock() {
  impl->mutex.unlock();
}

// The caller holds the mutex: adopt it for the wait, then hand it back.
void HandOffLock::Wait() {
  std::unique_lock<std::mutex> held(impl->mutex, std::adopt_lock);
  impl->changed.wait(held);
  held.release();
}

bool HandOffLock::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> held(impl->mutex, std::adopt_lock);
  const bool woken = impl->changed.wait_until(held, deadline) == std::cv_status::no_timeout;
  held.release();
  return woken;
}

void HandOffLock::WakeAll() {
  impl->changed.notify_all();
}

}  // namespace orvella
