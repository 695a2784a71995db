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
// new generation. A host thread may therefore keep a Reader across calls:
// a Reader of a destroyed ring is told by its generation, under the state's
// own lock. A Reader pins the latched picture's memory, so its later rows
// are copied without the lock: the pinned memory is never freed nor given
// to the worker while pinned (Allocate and the ring's end set it aside), and
// a row whose latch moved meanwhile (another thread's row 0) is copied
// again under the lock.
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
  // A host thread's hold on a ring: the ring, and the picture it pinned.
  struct Reader {
    Ref ring;
    const unsigned char* pinned = nullptr;  // the pinned picture's pixels
    unsigned latch = 0;                     // the latch it was pinned under
    int rowBytes = 0;
    int height = 0;
    int bytesPerPixel = 1;
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
  // CopyRow through a Reader, with nothing logged: kAskTheCamera when the
  // ring is gone or the copy would fail with a log line (CopyRow says why).
  // Row 0 and a row after the latch moved take the lock and pin the latched
  // picture; the rows after them take no lock. The last row lets go.
  static Quick CopyRow(Reader& reader, int row, unsigned char* destination, int firstColumn, int lastColumn);
  // Lets go of what the Reader pinned.
  static void Release(Reader& reader);

 private:
  State* const state;
};

}  // namespace orvella
