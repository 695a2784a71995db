#include "acquisition/ImageReceivingThread.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <string>

#include "acquisition/FTPStream.h"
#include "acquisition/ImageSink.h"
#include "acquisition/decode/ImageDecoder.h"
#include "acquisition/source/SourceTable.h"
#include "acquisition/source/mjpeg/MjpegSource.h"
#include "acquisition/source/onvif/OnvifSource.h"
#include "acquisition/source/rtsp/RtspSource.h"
#include "acquisition/source/snapshot/SnapshotSource.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/Url.h"
#include "driver/DriverContext.h"
#include "driver/Errors.h"
#include "driver/HandOffLock.h"
#include "driver/Mutex.h"
#include "driver/Platform.h"
#include "driver/Text.h"

namespace orvella {

namespace {
// When the worker may ask a failing camera again. A refused login is not
// tried again for kLoginWait, grabs or not: cameras lock an account out
// after a few failed logins, and then every other client of the camera
// with it. In continuous mode any other failure is retried at most once per
// kRetryWait. Another URL goes at once; a reopened camera has a new worker.
class RetryGate {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kLoginWait{30};
  static constexpr std::chrono::seconds kRetryWait{1};

  // Whether a cycle for `url` may send a request now.
  bool Lets(const std::string& url, bool grab) const {
    return url != heldUrl || Clock::now() >= until || (grab && !login);
  }
  // A failed cycle for `url` that began at `began`: holds the next one back
  // and returns what the reason says about it ("" when the next grab may go
  // at once).
  std::string Failed(const std::string& url, Clock::time_point began, bool loginRefused, bool continuous) {
    login = loginRefused;
    heldUrl = url;
    const std::chrono::seconds wait = loginRefused ? kLoginWait : continuous ? kRetryWait : std::chrono::seconds(0);
    until = began + wait;
    return wait.count() > 0 ? "; next attempt in " + std::to_string(wait.count()) + " s" : "";
  }
  void Passed() { heldUrl.clear(); }

 private:
  std::string heldUrl;  // "" when nothing is held back
  Clock::time_point until;
  bool login = false;
};
}  // namespace

// Everything the worker uses, shared by the worker and its owner so that it
// outlives whichever lets go last. The camera itself is reached only through
// `camera`, under `cameraLock`, and only while it is not null.
struct ImageReceivingThread::Impl {
  enum class Wake { Close, Grab, Timeout };

  explicit Impl(ImageSink* owner, int boundPort) : camera(owner), port(boundPort) {}

  // Stand-ins for the close event (auto-reset) and the grab event (manual
  // reset, so requests made during a cycle collapse into one). A grab wakes
  // the worker through it: a hand-off on every picture.
  HandOffLock eventLock;
  bool closeRequested ORVELLA_GUARDED_BY(eventLock) = false;
  bool grabRequested ORVELLA_GUARDED_BY(eventLock) = false;
  bool finished ORVELLA_GUARDED_BY(eventLock) = false;

  // Recursive: Open holds the worker off and allocates through the camera,
  // which may take it again. The host is never called under it (HostSafeLock).
  RecursiveMutex cameraLock;
  ImageSink* camera ORVELLA_GUARDED_BY(cameraLock);  // null once Destroy ran
  std::atomic<bool> stop{false};

  const int port;
  // Worker only, once started (the owner uses them before and after).
  FTPStream stream;
  ImageDecoder decoder;
  OnvifSource onvif;
  RtspSource rtsp;
  MjpegSource mjpeg{decoder};
  SnapshotSource snapshot{stream, decoder};
  SourceTable sources{&onvif, &rtsp, &mjpeg, &snapshot};  // the first that serves a URL reads it
  std::string url;                                        // reused every cycle: no allocation once grown
  RetryGate retry;

  // Waits for close or grab, at most timeoutMs (negative: no time-out).
  Wake Wait(long timeoutMs) ORVELLA_EXCLUDES(eventLock) {
    ScopedLock<HandOffLock> lock(eventLock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (!closeRequested && !grabRequested) {
      if (timeoutMs < 0) {
        eventLock.Wait();
      } else if (!eventLock.WaitUntil(deadline) && !closeRequested && !grabRequested) {
        return Wake::Timeout;
      }
    }
    if (closeRequested) {  // a stop request wins over a grab request
      closeRequested = false;
      return Wake::Close;
    }
    return Wake::Grab;
  }
  void ResetGrab() ORVELLA_EXCLUDES(eventLock) {
    ScopedLock<HandOffLock> lock(eventLock);
    grabRequested = false;
  }
  void Signal(bool close) ORVELLA_EXCLUDES(eventLock) {
    {
      ScopedLock<HandOffLock> lock(eventLock);
      (close ? closeRequested : grabRequested) = true;
    }
    eventLock.WakeAll();
  }
  void Finish() ORVELLA_EXCLUDES(eventLock) {
    {
      ScopedLock<HandOffLock> lock(eventLock);
      finished = true;
    }
    eventLock.WakeAll();
  }
  bool WaitFinished(int ms) ORVELLA_EXCLUDES(eventLock) {
    ScopedLock<HandOffLock> lock(eventLock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!finished)
      if (!eventLock.WaitUntil(deadline)) return finished;
    return true;
  }
  // Detaches the camera: waits for a decode in progress, after which the
  // worker never touches the camera again.
  void Detach() ORVELLA_EXCLUDES(cameraLock) {
    HostSafeLock<RecursiveMutex> hold(cameraLock);
    camera = nullptr;
    stop = true;
  }

  void ThreadMain();
  bool ReadSchedule(ImageSink::Schedule& schedule) ORVELLA_EXCLUDES(cameraLock);
  bool ReadSource() ORVELLA_EXCLUDES(cameraLock);
  bool DecodeAndHandOver(CompleteCallback* callback) ORVELLA_EXCLUDES(cameraLock);
  void RunCycle(bool& failing, PictureSource::Clock::time_point after, bool continuous);
  void ReportFailure(bool& failing, const char* reason, const std::string& next);
};

ImageReceivingThread::ImageReceivingThread() = default;

ImageReceivingThread::~ImageReceivingThread() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "ImageReceivingThread::~ImageReceivingThread: entering on port=%d\n", Port());
  Destroy();
  log.Log(2, "ImageReceivingThread::~ImageReceivingThread: leaving on port=%d\n", Port());
}

int ImageReceivingThread::Port() {
  HostSafeLock<RecursiveMutex> hold(ownerLock);
  return port;
}

bool ImageReceivingThread::Init(ImageSink* owner, int newPort, const char* name) {
  HostSafeLock<RecursiveMutex> hold(ownerLock);
  DriverContext& log = GetDriverContext();
  if (!owner) {
    log.Log(1, "ImageReceivingThread::Init: ERROR: camera pointer == 0, port=%d", newPort);
    return false;
  }
  port = newPort;
  log.Log(2, "ImageReceivingThread::Init: entering on port=%d\n", port);
  if (!name) {
    log.Log(1, "ImageReceivingThread::Init: incorrect parameters: name unassigned, port=%d\n", port);
    return false;
  }
  if (thread.joinable()) {
    log.Log(1, "ImageReceivingThread::Init: already initialized on port=%d\n", port);
    return false;
  }
  state = std::make_shared<Impl>(owner, newPort);
  std::string unused;
  state->stream.SetConnectionTimeout(owner->ReadSource(unused));
  state->stream.SetTlsTrust(owner->ReadTlsTrust());
  state->stream.OpenSession();  // raises; the caller's clean-up runs Destroy
  state->decoder.Start();
  state->decoder.SetAbortFlag(&state->stop);
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
  HostSafeLock<RecursiveMutex> hold(ownerLock);
  DriverContext& log = GetDriverContext();
  int oldPort = port;
  log.Log(2, "ImageReceivingThread::Destroy: entering on port=%d\n", oldPort);
  std::shared_ptr<Impl> s = std::move(state);
  if (thread.joinable()) {
    // Stop first: a download or a decode in progress ends within
    // milliseconds, so detaching the camera never waits for a whole picture.
    s->stop = true;
    s->Signal(true);
    s->sources.Abort();
    s->Detach();
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();  // closed from inside a host callback: the worker ends on return
    } else if (log.InBlockedCallback(thread.get_id())) {
      thread.detach();  // the host's debug callback holds it, waiting for us: it ends on return
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
  log.Log(2, "ImageReceivingThread::Destroy: leaving on port=%d\n", oldPort);
}

void ImageReceivingThread::SetGrabEvent() {
  HostSafeLock<RecursiveMutex> hold(ownerLock);
  if (state) state->Signal(false);
}

void ImageReceivingThread::HoldWorker(const std::function<void()>& change) {
  HostSafeLock<RecursiveMutex> owner(ownerLock);
  if (!state) return change();
  HostSafeLock<RecursiveMutex> hold(state->cameraLock);
  change();
}

int ImageReceivingThread::static_ThreadMain(std::shared_ptr<Impl> s) {
  if (!s) return -1;
  GetDriverContext().Log(2, "ImageReceivingThread::static_ThreadMain, port=%d", s->port);
  s->ThreadMain();
  // The session and the image library go with the last reference to the state.
  s->Finish();
  return 0;
}

bool ImageReceivingThread::Impl::ReadSchedule(ImageSink::Schedule& schedule) {
  HostSafeLock<RecursiveMutex> hold(cameraLock);
  if (!camera || stop) return false;
  schedule = camera->ReadSchedule();
  return true;
}

bool ImageReceivingThread::Impl::DecodeAndHandOver(CompleteCallback* callback) {
  HostSafeLock<RecursiveMutex> hold(cameraLock);
  if (!camera) return false;
  ImageSink::Frame frame = camera->WriteFrame();
  sources.Write(frame.target, frame.width, frame.height, frame.colour);
  return !stop && camera->HandOver(port, callback);
}

bool ImageReceivingThread::Impl::ReadSource() {
  HostSafeLock<RecursiveMutex> hold(cameraLock);
  if (!camera) return false;
  stream.SetConnectionTimeout(camera->ReadSource(url));
  return true;
}

void ImageReceivingThread::Impl::ThreadMain() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "ImageReceivingThread::ThreadMain: entering, clock=%ld on port=%d", platform::ElapsedMs(), port);
  ImageSink::Schedule schedule{500, false};
  if (!ReadSchedule(schedule)) {
    log.Log(2, "ImageReceivingThread::ThreadMain: leaving on port=%d\n", port);
    return;
  }
  long nextDue = platform::ElapsedMs() + schedule.periodMs;
  bool failing = false;
  for (;;) {
    if (!ReadSchedule(schedule)) break;
    sources.SetContinuous(schedule.continuous);
    long now = platform::ElapsedMs();
    long timeout = -1;
    if (schedule.continuous) timeout = now == -1 ? 1000 : (nextDue - now > 0 ? nextDue - now : 0);
    Wake woke = Wait(timeout);
    const auto wokeAt = PictureSource::Clock::now();
    nextDue += schedule.periodMs;
    if (woke == Wake::Close) break;
    if (woke == Wake::Grab) {
      ResetGrab();
      nextDue = now + schedule.periodMs;
    } else if (!schedule.continuous) {
      continue;
    }
    // A grab wants a picture newer than itself; a continuous cycle any not delivered yet.
    RunCycle(failing, woke == Wake::Grab ? wokeAt : PictureSource::Clock::time_point(), schedule.continuous);
    if (stop) break;
  }
  log.Log(2, "ImageReceivingThread::ThreadMain: leaving on port=%d\n", port);
}

// One picture, decode, hand-over and callback. Failures are logged once per
// run; a cycle the retry gate holds back asks nothing and reports nothing.
void ImageReceivingThread::Impl::RunCycle(bool& failing, PictureSource::Clock::time_point after, bool continuous) {
  DriverContext& log = GetDriverContext();
  const bool grab = after != PictureSource::Clock::time_point();
  const RetryGate::Clock::time_point began = RetryGate::Clock::now();
  try {
    if (!ReadSource()) return;
    MakeCanonical(url);
    if (!retry.Lets(url, grab)) return;
    const TransferLimits limits = stream.Limits();
    sources.Next(PictureSource::Request{url, after, limits, stream.Trust()});
    CompleteCallback callback = nullptr;
    if (!DecodeAndHandOver(&callback)) return;
    if (callback && !stop) callback(0, port);
    if (stop) return;
    long clock = platform::ElapsedMs();
    log.Log(3, "INFO: ImageReceivingThread::ThreadMain: image available, clock= %d.%d", int(clock / 1000),
            int(clock % 1000));
    retry.Passed();
    if (failing) {
      log.Log(1, "OK: ImageReceivingThread::ThreadMain: image receive resumed at url=(%s), port=%d\n",
              RedactUrl(url).c_str(), port);
      failing = false;
    }
  } catch (const LoginRefused& e) {
    if (!stop) ReportFailure(failing, e.what(), retry.Failed(url, began, true, continuous));
  } catch (const std::exception& e) {
    if (!stop) ReportFailure(failing, e.what(), retry.Failed(url, began, false, continuous));
  } catch (...) {
    if (!stop) ReportFailure(failing, "unknown error", retry.Failed(url, began, false, continuous));
  }
}

// `next`: when the next attempt will be, appended to the reason.
void ImageReceivingThread::Impl::ReportFailure(bool& failing, const char* reason, const std::string& next) {
  if (stop) return;  // the close aborted the download: not a camera failure
  if (!failing)
    GetDriverContext().Log(
        1, "ERR: ImageReceivingThread::ThreadMain: failed to receive image at url=(%s), port=%d, reason: %s%s\t\n",
        RedactUrl(url).c_str(), port, RedactSecrets(reason, url).c_str(), next.c_str());
  failing = true;
}

}  // namespace orvella
