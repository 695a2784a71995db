// One of the driver's ten camera slots: its settings, its port binding, its
// worker and its three-buffer image ring.
//
// Thread safety: host threads call every method (through the exports).
// The camera's worker reads the atomics, the settings (integers directly,
// ImageUrl through CopyImageUrl) and writes the buffer at writeIndex; the
// hand-over (worker) and the row-0 latch (host) share `ringLock`, so the host
// can never latch a buffer the worker then chooses to write.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "acquisition/ImageReceivingThread.h"
#include "camera/ImageBuffer.h"
#include "config/CameraSettings.h"
#include "driver/Orvella.h"

namespace orvella {

class DriverContext;

class Camera {
 public:
  explicit Camera(const char* name);
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  bool Open(int port, int* imageSize);
  void Close();
  void CleanupOnClose();
  bool Grab();
  void SetCompleteCB(CompleteCallback callback);
  bool GetProperty(const char* prop, int* value);
  bool SetProperty(const char* prop, int value);
  void SetContinuousGrab(bool mode);
  bool AllocateBuffers(int width, int height, bool colour);
  // The settings dialog on a copy of the settings; true after OK.
  bool Configure(void* parentWindow);

  // Image ring. Worker: the buffer to fill next, and the hand-over.
  ImageBuffer& WriteBuffer() { return buffers[writeIndex.load()]; }
  void HandOver();
  // Host, at row 0: readIndex = readyIndex. Returns the latched index.
  int LatchNewest();

  std::atomic<bool> opened{false};
  std::atomic<bool> colour{false};
  std::atomic<bool> continuous{false};
  const std::string name;
  CameraSettings settings;
  std::atomic<CompleteCallback> completeCallback{nullptr};
  DriverContext* context;
  ImageReceivingThread receivingThread;
  std::atomic<int> port{-2};
  ImageBuffer buffers[3];
  std::atomic<int> writeIndex{0};
  std::atomic<int> readyIndex{0};
  std::atomic<int> readIndex{0};

 private:
  std::mutex ringLock;  // hand-over and row-0 latch
};

}  // namespace orvella
