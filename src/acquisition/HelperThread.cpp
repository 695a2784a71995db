#include "acquisition/HelperThread.h"

#include <utility>

#include "driver/Platform.h"

namespace orvella {

std::shared_ptr<HelperThread> HelperThread::Start(const std::shared_ptr<std::atomic<int>>& running) {
  auto helper = std::make_shared<HelperThread>(running);
  ++*running;
  try {
    helper->thread = std::thread(&HelperThread::Main, helper);
  } catch (...) {
    --*running;
    throw;
  }
  return helper;
}

void HelperThread::Post(Job job) {
  {
    ScopedLock<Mutex> hold(lock);
    next = std::move(job);
  }
  wake.notify_one();
}

void HelperThread::Stop(bool idle) {
  {
    ScopedLock<Mutex> hold(lock);
    quit = true;
  }
  wake.notify_one();
  if (idle) {
    thread.join();
  } else {
    platform::PinLibrary();
    thread.detach();
  }
}

void HelperThread::Main(std::shared_ptr<HelperThread> self) {
  for (;;) {
    Job job;
    {
      MutexLock hold(self->lock);
      while (!self->next && !self->quit) hold.Wait(self->wake);
      if (!self->next) break;
      job = std::move(self->next);
      self->next = nullptr;
    }
    job();
  }
  --*self->running;
}

}  // namespace orvella
