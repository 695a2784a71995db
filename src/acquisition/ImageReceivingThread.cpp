#include "acquisition/ImageReceivingThread.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <string>

#include "acquisition/FTPStream.h"
#include "acquisition/ImageDecoder.h"
#include "camera/Camera.h"
#include "driver/DriverContext.h"
#include "driver/Platform.h"
#include "driver/Text.h"

namespace orvella {

// Everything the worker uses, shared by the worker and its owner so that it
// outlives whichever lets go last. The camera itself is reached only through
// `camera`, under `cameraLock`, and only while it is not null.
struct WorkerState {
  enum class Wake { Close, Grab, Timeout };

  // Stand-ins for the close event (auto-reset) and the grab event (manual
  // reset, so requests made during a cycle collapse into one).
  std::mutex eventLock;
  std::condition_variable wake;
  bool closeRequested = false;  // GUARDED_BY(eventLock)
  bool grabRequested = false;   // GUARDED_BY(eventLock)
  bool finished = false;        // GUARDED_BY(eventLock)
  std::condition_variable done;

  // Recursive: a host debug callback run from inside a locked section may
  // reach Destroy on this same thread.
  std::recursive_mutex cameraLock;
  Camera* camera = nullptr;  // GUARDED_BY(cameraLock); null once Destroy ran
  std::atomic<bool> stop{false};

  int port = -2;
  std::thread::id workerId;
  FTPStream stream;
  ImageDecoder decoder;
  std::string url;  // reused every cycle: no allocation once grown

  // Waits for close or grab, at most timeoutMs (negative: no time-out).
  Wake Wait(long timeoutMs) {
    std::unique_lock<std::mutex> lock(eventLock);
    auto signalled = [this] { return closeRequested || grabRequested; };
    if (timeoutMs < 0) {
      wake.wait(lock, signalled);
    } else if (!wake.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled)) {
      return Wake::Timeout;
    }
    if (closeRequested) {  // a stop request wins over a grab request
      closeRequested = false;
      return Wake::Close;
    }
    return Wake::Grab;
  }
  void ResetGrab() {
    std::lock_guard<std::mutex> lock(eventLock);
    grabRequested = false;
  }
  void Signal(bool close) {
    {
      std::lock_guard<std::mutex> lock(eventLock);
      (close ? closeRequested : grabRequested) = true;
    }
    wake.notify_all();
  }
  void Finish() {
    {
      std::lock_guard<std::mutex> lock(eventLock);
      finished = true;
    }
    done.notify_all();
  }
  bool WaitFinished(int ms) {
    std::unique_lock<std::mutex> lock(eventLock);
    return done.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished; });
  }

  void ThreadMain();
  void RunCycle(bool& failing);
};

namespace {

// Reads the refresh period and mode; false when the camera is gone.
bool ReadSchedule(WorkerState& s, int& period, bool& continuous) {
  std::lock_guard<std::recursive_mutex> hold(s.cameraLock);
  if (!s.camera || s.stop) return false;
  period = s.camera->settings.RefreshPeriodMs();
  continuous = s.camera->continuous;
  return true;
}

}  // namespace

ImageReceivingThread::ImageReceivingThread() = default;

ImageReceivingThread::~ImageReceivingThread() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "ImageReceivingThread::~ImageReceivingThread: entering on port=%d\n", port);
  Destroy();
  log.Log(2, "ImageReceivingThread::~ImageReceivingThread: leaving on port=%d\n", port);
}

bool ImageReceivingThread::Init(Camera* owner, int newPort, const char* name) {
  DriverContext& log = GetDriverContext();
  if (!owner) {
    log.Log(1, "ImageReceivingThread::Init: ERROR: camera pointer == 0, port=%d", newPort);
    return false;
  }
  port = newPort;
  camera = owner;
  log.Log(2, "ImageReceivingThread::Init: entering on port=%d\n", port);
  if (!name) {
    log.Log(1, "ImageReceivingThread::Init: incorrect parameters: name unassigned, port=%d\n", port);
    return false;
  }
  if (thread.joinable()) {
    log.Log(1, "ImageReceivingThread::Init: already initialized on port=%d\n", port);
    return false;
  }
  state = std::make_shared<WorkerState>();
  state->camera = owner;
  state->port = newPort;
  state->stream.SetConnectionTimeout(owner->settings.connectionTimeout.value);
  state->stream.OpenSession();  // raises; the caller's clean-up runs Destroy
  state->decoder.Start();
  platform::PinLibrary();
  try {
    thread = std::thread(&ImageReceivingThread::static_ThreadMain, state);
  } catch (const std::exception&) {
    log.Log(2, "ImageReceivingThread::Init: ERROR: failed to initialize camera thread on port=%d\n", port);
    return false;
  }
  log.Log(2, "ImageReceivingThread::Init: thread created:%d on port=%d\n",
          int(std::hash<std::thread::id>()(thread.get_id()) & 0x7fffffff), port);
  log.Log(2, "ImageReceivingThread::Init: leaving on port=%d\n", port);
  return true;
}

void ImageReceivingThread::Destroy() {
  DriverContext& log = GetDriverContext();
  int oldPort = port;
  log.Log(2, "ImageReceivingThread::Destroy: entering on port=%d\n", oldPort);
  std::shared_ptr<WorkerState> s = std::move(state);
  if (thread.joinable()) {
    {
      // Waits for a decode in progress; afterwards the worker never touches the camera.
      std::lock_guard<std::recursive_mutex> hold(s->cameraLock);
      s->camera = nullptr;
      s->stop = true;
    }
    s->Signal(true);
    s->stream.Abort();
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // closed from inside the completion callback: the worker ends on return
    } else if (s->WaitFinished(1000)) {
      thread.join();
    } else {
      thread.detach();  // it keeps its own reference to the state and ends by itself
    }
    port = -2;
    log.Log(2, "ImageReceivingThread::Destroy: thread closed on port=%d\n", oldPort);
  } else if (s) {
    // Partly initialised, no worker: release the session and the image library now.
    s->stream.CloseSession();
    s->decoder.Shutdown();
  }
  camera = nullptr;
  log.Log(2, "ImageReceivingThread::Destroy: leaving on port=%d\n", oldPort);
}

void ImageReceivingThread::SetGrabEvent() {
  if (state) state->Signal(false);
}

std::unique_lock<std::recursive_mutex> ImageReceivingThread::HoldWorker() {
  if (!state) return {};
  return std::unique_lock<std::recursive_mutex>(state->cameraLock);
}

int ImageReceivingThread::static_ThreadMain(std::shared_ptr<WorkerState> s) {
  if (!s) return -1;
  s->workerId = std::this_thread::get_id();
  GetDriverContext().Log(2, "ImageReceivingThread::static_ThreadMain, port=%d", s->port);
  s->ThreadMain();
  // The session and the image library go with the last reference to the state.
  s->Finish();
  return 0;
}

void WorkerState::ThreadMain() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "ImageReceivingThread::ThreadMain: entering, clock=%ld on port=%d", platform::ElapsedMs(), port);
  int period = 500;
  bool continuous = false;
  if (!ReadSchedule(*this, period, continuous)) {
    log.Log(2, "ImageReceivingThread::ThreadMain: leaving on port=%d\n", port);
    return;
  }
  long nextDue = platform::ElapsedMs() + period;
  bool failing = false;
  for (;;) {
    if (!ReadSchedule(*this, period, continuous)) break;
    long now = platform::ElapsedMs();
    long timeout = -1;
    if (continuous) timeout = now == -1 ? 1000 : (nextDue - now > 0 ? nextDue - now : 0);
    Wake woke = Wait(timeout);
    nextDue += period;
    if (woke == Wake::Close) break;
    if (woke == Wake::Grab) {
      ResetGrab();
      nextDue = now + period;
    } else if (!continuous) {
      continue;
    }
    RunCycle(failing);
    if (stop) break;
  }
  log.Log(2, "ImageReceivingThread::ThreadMain: leaving on port=%d\n", port);
}

// One download, decode, hand-over and callback. Failures are logged once per run.
void WorkerState::RunCycle(bool& failing) {
  DriverContext& log = GetDriverContext();
  const char* reason = nullptr;
  try {
    {
      std::lock_guard<std::recursive_mutex> hold(cameraLock);
      if (!camera) return;
      camera->settings.CopyImageUrl(url);
      stream.SetConnectionTimeout(camera->settings.connectionTimeout.value);
    }
    stream.ReadFile(url.c_str());

    CompleteCallback callback;
    {
      std::lock_guard<std::recursive_mutex> hold(cameraLock);
      if (!camera) return;
      decoder.Decode(stream, camera->WriteBuffer(), camera->settings.width.value, camera->settings.height.value,
                     camera->colour);
      // A camera being closed is unbound before its worker is stopped: the
      // close wins over the image, as over a download it aborts. Handing it
      // over would replace the host's last image unannounced (the callback
      // would name port -2).
      if (camera->port != port) return;
      camera->HandOver();
      callback = camera->completeCallback;
    }
    if (callback) callback(0, port);
    if (stop) return;
    long clock = platform::ElapsedMs();
    log.Log(3, "INFO: ImageReceivingThread::ThreadMain: image available, clock= %d.%d", int(clock / 1000),
            int(clock % 1000));
    if (failing) {
      log.Log(1, "OK: ImageReceivingThread::ThreadMain: image receive resumed at url=(%s), port=%d\n",
              RedactUrl(url).c_str(), port);
      failing = false;
    }
    return;
  } catch (const std::exception& e) {
    if (stop) return;  // the close aborted the download: not a camera failure
    if (!failing) {
      log.Log(1, "ERR: ImageReceivingThread::ThreadMain: failed to receive image at url=(%s), port=%d, reason: %s\t\n",
              RedactUrl(url).c_str(), port, e.what());
    }
    failing = true;
    return;
  } catch (...) {
    reason = "unknown error";
  }
  if (stop) return;
  if (!failing)
    log.Log(1, "ERR: ImageReceivingThread::ThreadMain: failed to receive image at url=(%s), port=%d, reason: %s\t\n",
            RedactUrl(url).c_str(), port, reason);
  failing = true;
}

}  // namespace orvella
