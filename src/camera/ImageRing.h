// A camera's three image buffers: the worker writes one, the newest written
// one waits ready, and the host reads the one it latched at row 0.
//
// Thread safety: Allocate runs on a host thread while the camera's worker is
// held off (Camera::Open); WriteBuffer and HandOver run on the worker under
// its camera lock; CopyRow runs on any host thread. HandOver and CopyRow
// share the ring's lock, so the host can never latch a buffer the worker then
// chooses to write, and an Open on another host thread cannot replace a
// buffer during a row copy.
//
// The lock and the buffers live in a state that is never freed: a destroyed
// ring frees its pixels and hands the state back for the next ring, with a
// new generation. A host thread may therefore keep a Ref across calls and
// copy through it without holding the camera: a Ref of a destroyed ring is
// told by its generation, under the state's own lock.
#pragma once

#include <atomic>

#include "camera/ImageBuffer.h"
#include "driver/Mutex.h"
#include "driver/NoCopy.h"

namespace orvella {

class ImageRing {
 public:
  struct State;
  // Names a ring for the quick row copy; valid after the ring is gone.
  struct Ref {
    State* state = nullptr;
    unsigned generation = 0;
  };
  enum class Quick { kCopied, kRefused, kAskTheCamera };

  ImageRing();
  ~ImageRing();
  ORVELLA_NO_COPY(ImageRing);

  // Host, worker held off: gives all three buffers this geometry; false
  // (logged by the buffer) when a size is refused or memory runs out, and
  // then no buffer keeps any memory.
  bool Allocate(int width, int height, bool colour);
  // Worker: the buffer the next picture goes into.
  ImageBuffer& WriteBuffer();
  // Worker: the written buffer becomes the ready one; the next write goes to
  // a buffer that is neither ready nor latched.
  void HandOver();
  // Host: copies one row of the latched image (row 0 latches the newest
  // ready one) from its first pixel: lastColumn - firstColumn + 1 pixels,
  // never past the row. False for a missing row (logged by the buffer), a
  // null destination or a reversed range.
  bool CopyRow(int row, unsigned char* destination, int firstColumn, int lastColumn);

  Ref Reference() const;
  // CopyRow through a Ref, with nothing logged: kAskTheCamera when the ring
  // is gone or the copy would fail with a log line (CopyRow says why).
  static Quick CopyRow(const Ref& ring, int row, unsigned char* destination, int firstColumn, int lastColumn);

 private:
  State* const state;
};

}  // namespace orvella
