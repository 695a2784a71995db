// A thread that runs its owner's jobs one at a time, and that the owner can
// leave behind while a job is stuck in a call that cannot be interrupted: it
// then ends by itself once that job returns. Used by the WinInet download,
// whose blocking calls ignore their time-outs under Wine (Windows only:
// HelperThread_win32.cpp).
//
// Thread safety: Start, Post and Stop belong to the owner (one thread at a
// time); jobs run on the helper. The helper keeps itself alive while it runs.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace orvella {

class HelperThread {
 public:
  using Job = std::function<void()>;

  // Starts a helper. `running` counts the owner's helpers that have not
  // ended (this one from now on). Raises std::system_error without a thread.
  static std::shared_ptr<HelperThread> Start(const std::shared_ptr<std::atomic<int>>& running);

  virtual ~HelperThread() = default;

  // Runs `job` after the one in progress, if any. At most one job waits.
  virtual void Post(Job job) = 0;

  // Ends the helper after its current job: joined when `idle` (no job
  // running), else detached, with the library pinned so that the job can
  // never run unloaded code. Once per helper.
  virtual void Stop(bool idle) = 0;
};

}  // namespace orvella
