#include <windows.h>

#include <system_error>
#include <thread>
#include <utility>

#include "acquisition/transport/wininet/HelperThread.h"
#include "driver/Platform.h"
#include "driver/WinLock.h"

namespace orvella {

namespace {

// Waits and wakes on Windows' own primitives: a job hand-off happens on
// every picture (driver/WinLock.h says why).
class WinHelper final : public HelperThread {
 public:
  explicit WinHelper(std::shared_ptr<std::atomic<int>> running) : running(std::move(running)) {}

  static void Main(std::shared_ptr<WinHelper> self) {
    for (;;) {
      Job job;
      {
        ScopedLock<WinLock> hold(self->lock);
        while (!self->next && !self->quit) self->lock.Wait(self->wake);
        if (!self->next) break;
        job = std::move(self->next);
        self->next = nullptr;
      }
      job();
    }
    --*self->running;
  }

  void Post(Job job) override ORVELLA_EXCLUDES(lock) {
    {
      ScopedLock<WinLock> hold(lock);
      next = std::move(job);
    }
    WakeConditionVariable(&wake);
  }

  void Stop(bool idle) override ORVELLA_EXCLUDES(lock) {
    {
      ScopedLock<WinLock> hold(lock);
      quit = true;
    }
    WakeConditionVariable(&wake);
    if (idle) {
      thread.join();
    } else {
      platform::PinLibrary();
      thread.detach();
    }
  }

  std::thread thread;  // the owner's

 private:
  WinLock lock;
  CONDITION_VARIABLE wake = CONDITION_VARIABLE_INIT;
  Job next ORVELLA_GUARDED_BY(lock);
  bool quit ORVELLA_GUARDED_BY(lock) = false;
  const std::shared_ptr<std::atomic<int>> running;
};

}  // namespace

std::shared_ptr<HelperThread> HelperThread::Start(const std::shared_ptr<std::atomic<int>>& running) {
  auto helper = std::make_shared<WinHelper>(running);
  ++*running;
  try {
    helper->thread = std::thread(&WinHelper::Main, helper);
  } catch (...) {
    --*running;
    throw;
  }
  return helper;
}

}  // namespace orvella
