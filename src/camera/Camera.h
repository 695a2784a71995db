// One of the driver's ten camera slots: its settings, its port binding, its
// worker and its image ring.
//
// Thread safety: host threads call the public methods (through the exports
// and the camera list), any number at once: open, close, grab and retire
// take `lifecycle`. The camera's worker sees only the ImageSink side, always
// under its own camera lock (ImageReceivingThread), which Open also takes
// while it replaces the buffers; the ring keeps the worker's buffer apart from
// the one the host reads (ImageRing). Single-word state is atomic. No lock of
// the camera is held while the host is called (HostSafeLock).
#pragma once

#include <atomic>
#include <string>

#include "acquisition/ImageReceivingThread.h"
#include "acquisition/ImageSink.h"
#include "camera/ImageRing.h"
#include "config/CameraSettings.h"
#include "driver/Mutex.h"
#include "driver/NoCopy.h"
#include "driver/Orvella.h"

namespace orvella {

class DriverContext;

class Camera final : private ImageSink {
 public:
  explicit Camera(const char* name);
  ~Camera();
  ORVELLA_NO_COPY(Camera);

  bool Open(int port, int* imageSize);
  void Close();
  void CleanupOnClose();
  bool Grab();
  void SetCompleteCB(CompleteCallback callback);
  bool GetProperty(const char* prop, int* value);
  bool SetProperty(const char* prop, int value);
  void SetContinuousGrab(bool mode);
  // What the destructor does, once: closes the camera for a finalize while
  // host calls on other threads may still hold it (they keep it alive;
  // an Open after this fails).
  void Retire();
  // The settings dialog on a copy of the settings; true after OK.
  bool Configure(void* parentWindow);

  // One row of the latched image (row 0 latches the newest): ImageRing::CopyRow.
  bool CopyRow(int row, unsigned char* destination, int firstColumn, int lastColumn) {
    return ring.CopyRow(row, destination, firstColumn, lastColumn);
  }
  // The ring, for row copies that skip the camera list (RowCopy.h).
  ImageRing::Ref Ring() const { return ring.Reference(); }
  // Changes after any camera's port or open state changed: which camera a
  // port names may have changed.
  static unsigned Bindings() { return bindings.load(std::memory_order_acquire); }

  const std::string& Name() const { return name; }
  int Port() const { return port; }
  bool IsOpen() const { return opened; }

 private:
  // ImageSink: the worker's side, called under its camera lock.
  Schedule ReadSchedule() const override;
  int ReadSource(std::string& url) const override;
  std::string ReadTlsTrust() const override;
  Frame WriteFrame() override;
  bool HandOver(int port, CompleteCallback* callback) override;

  // Open, close, grab and retire of this camera, one host thread at a time
  // (recursive: switching continuous mode closes and opens inside it).
  RecursiveMutex lifecycle;
  bool retired ORVELLA_GUARDED_BY(lifecycle) = false;
  std::atomic<bool> opened{false};
  std::atomic<bool> colour{false};
  std::atomic<bool> continuous{false};
  const std::string name;
  CameraSettings settings;
  std::atomic<CompleteCallback> completeCallback{nullptr};
  DriverContext* const context;
  ImageReceivingThread receivingThread;
  std::atomic<int> port{-2};
  ImageRing ring;
  static std::atomic<unsigned> bindings;
  static void Rebound() { bindings.fetch_add(1, std::memory_order_release); }
};

}  // namespace orvella
