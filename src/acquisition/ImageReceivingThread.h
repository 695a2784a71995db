// A camera's worker: waits for a grab request (or the refresh time in
// continuous mode), downloads, decodes into the camera's free buffer, hands
// it over and calls the host back.
//
// Thread safety: Init, Destroy, SetGrabEvent and HoldWorker run on host
// threads, one at a time (`ownerLock`), Destroy also from the worker itself,
// when the host closes its port inside a callback. The worker's state (events, stream, decoder) is
// shared-owned by the worker, so it outlives a Destroy that stopped waiting;
// after Destroy returns the worker never touches the camera again.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "driver/Mutex.h"

namespace orvella {

class ImageSink;

class ImageReceivingThread {
 public:
  // What the worker thread shares with its owner.
  struct Impl;

  ImageReceivingThread();
  ~ImageReceivingThread();
  ImageReceivingThread(const ImageReceivingThread&) = delete;
  ImageReceivingThread& operator=(const ImageReceivingThread&) = delete;

  // Starts the worker for `camera`; `name` is the ImageUrl text (only its
  // presence is checked). Raises Win32Exception when no internet session opens.
  bool Init(ImageSink* camera, int port, const char* name) ORVELLA_EXCLUDES(ownerLock);
  // Stops the worker (waits at most 1000 ms) and releases everything Init
  // acquired. Any time, any number of times.
  void Destroy() ORVELLA_EXCLUDES(ownerLock);
  // Sets the grab request; requests made during a cycle collapse into one.
  void SetGrabEvent() ORVELLA_EXCLUDES(ownerLock);
  // Runs `change` with the worker held off the camera (Camera::Open
  // allocates the buffers under it while the worker already runs).
  void HoldWorker(const std::function<void()>& change) ORVELLA_EXCLUDES(ownerLock);

  static int static_ThreadMain(std::shared_ptr<Impl> state);

 private:
  int Port() ORVELLA_EXCLUDES(ownerLock);

  // Recursive: Destroy runs inside Init's clean-up paths.
  RecursiveMutex ownerLock;
  int port ORVELLA_GUARDED_BY(ownerLock) = -2;  // for log lines
  std::shared_ptr<Impl> state ORVELLA_GUARDED_BY(ownerLock);
  std::thread thread ORVELLA_GUARDED_BY(ownerLock);
};

}  // namespace orvella
