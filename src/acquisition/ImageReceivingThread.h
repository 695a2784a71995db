// A camera's worker: waits for a grab request (or the refresh time in
// continuous mode), downloads, decodes into the camera's free buffer, hands
// it over and calls the host back.
//
// Thread safety: Init, Destroy and Grab run on host threads (Destroy also
// from the worker itself, when the host closes its port inside the completion
// callback). The worker's state (events, stream, decoder) is shared-owned by
// the worker, so it outlives a Destroy that stopped waiting; after Destroy
// returns the worker never touches the camera again.
#pragma once

#include <memory>
#include <mutex>
#include <thread>

namespace orvella {

class Camera;
struct WorkerState;

class ImageReceivingThread {
 public:
  ImageReceivingThread();
  ~ImageReceivingThread();
  ImageReceivingThread(const ImageReceivingThread&) = delete;
  ImageReceivingThread& operator=(const ImageReceivingThread&) = delete;

  // Starts the worker for `camera`; `name` is the ImageUrl text (only its
  // presence is checked). Raises Win32Exception when no internet session opens.
  bool Init(Camera* camera, int port, const char* name);
  // Stops the worker (waits at most 1000 ms) and releases everything Init
  // acquired. Any time, any number of times.
  void Destroy();
  // Sets the grab request; requests made during a cycle collapse into one.
  void SetGrabEvent();
  // Holds the worker off the camera's buffers (Camera::Open allocates under it).
  std::unique_lock<std::recursive_mutex> HoldWorker();

  static int static_ThreadMain(std::shared_ptr<WorkerState> state);

  int port = -2;
  Camera* camera = nullptr;

 private:
  std::shared_ptr<WorkerState> state;
  std::thread thread;
};

}  // namespace orvella
