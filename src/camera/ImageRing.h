// A camera's three image buffers: the worker writes one, the newest written
// one waits ready, and the host reads the one it latched at row 0.
//
// Thread safety: Allocate runs on a host thread while the camera's worker is
// held off (Camera::Open); WriteBuffer and HandOver run on the worker under
// its camera lock; CopyRow runs on any host thread. HandOver and CopyRow
// share `lock`, so the host can never latch a buffer the worker then chooses
// to write, and an Open on another host thread cannot replace a buffer during
// a row copy.
#pragma once

#include <atomic>

#include "camera/ImageBuffer.h"
#include "driver/Mutex.h"
#include "driver/NoCopy.h"

namespace orvella {

class ImageRing {
 public:
  ImageRing() = default;
  ORVELLA_NO_COPY(ImageRing);

  // Host, worker held off: gives all three buffers this geometry; false
  // (logged by the buffer) when a size is refused or memory runs out, and
  // then no buffer keeps any memory.
  bool Allocate(int width, int height, bool colour) ORVELLA_EXCLUDES(lock);
  // Worker: the buffer the next picture goes into.
  ImageBuffer& WriteBuffer() { return buffers[writeIndex.load()]; }
  // Worker: the written buffer becomes the ready one; the next write goes to
  // a buffer that is neither ready nor latched.
  void HandOver() ORVELLA_EXCLUDES(lock);
  // Host: copies one row of the latched image (row 0 latches the newest
  // ready one) from its first pixel: lastColumn - firstColumn + 1 pixels,
  // never past the row. False for a missing row (logged by the buffer), a
  // null destination or a reversed range.
  bool CopyRow(int row, unsigned char* destination, int firstColumn, int lastColumn) ORVELLA_EXCLUDES(lock);

 private:
  // Geometry changes only under both the worker's camera lock (Open holds
  // the worker off) and `lock`; the worker reads it under the first, row
  // copies under the second. Pixels are kept apart by the indices.
  ImageBuffer buffers[3];
  // Written under `lock`; atomics so the worker finds its buffer without it.
  std::atomic<int> writeIndex{0};
  std::atomic<int> readyIndex{0};
  std::atomic<int> readIndex{0};
  Mutex lock;
};

}  // namespace orvella
