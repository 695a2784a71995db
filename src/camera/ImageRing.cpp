#include "camera/ImageRing.h"

#include <cstring>
#include <memory>
#include <vector>

#include "driver/DriverContext.h"

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVELLA_HAS_TSAN 1
#endif
#endif
#ifndef ORVELLA_HAS_TSAN
#define ORVELLA_HAS_TSAN 0
#endif

namespace orvella {

struct ImageRing::State {
  Mutex lock;
  // Geometry changes only under both the worker's camera lock (Open holds
  // the worker off) and `lock`; the worker reads it under the first, row
  // copies under the second. Pixels are kept apart by the indices.
  ImageBuffer buffers[3];
  // Written under `lock`; atomics so the worker finds its buffer without it.
  // The write buffer is never the ready or the latched one, from the start:
  // a row 0 before the first hand-over latches a buffer nobody writes.
  std::atomic<int> writeIndex{0};
  std::atomic<int> readyIndex{1};
  std::atomic<int> readIndex{1};
  // Changes when the ring that used this state is destroyed.
  unsigned generation ORVELLA_GUARDED_BY(lock) = 1;
  // Changes (under `lock`) whenever a pinned picture may stop being the
  // latched one: the latch moves to another buffer, Allocate, the ring's end.
  std::atomic<unsigned> latch{1};
  // Readers' pins on each buffer's memory, and the memory taken from a
  // buffer while pinned, freed when its last pin goes.
  int pins[3] ORVELLA_GUARDED_BY(lock) = {0, 0, 0};
  struct SetAside {
    std::unique_ptr<unsigned char[]> pixels;
    int pins;
  };
  std::vector<SetAside> setAside ORVELLA_GUARDED_BY(lock);
  State* nextSpare = nullptr;  // in the spares' list
};

namespace {

// States of destroyed rings, for the next ones: never freed, so a Ref kept
// by a host thread always names memory it may lock.
struct Spares {
  Mutex lock;
  ImageRing::State* first ORVELLA_GUARDED_BY(lock) = nullptr;
};

Spares& TheSpares() {
  static Spares* spares = new Spares();
  return *spares;
}

ImageRing::State* TakeState() {
  Spares& spares = TheSpares();
  {
    MutexLock hold(spares.lock);
    if (ImageRing::State* state = spares.first) {
      spares.first = state->nextSpare;
      return state;
    }
  }
  return new ImageRing::State();
}

// Bytes of lastColumn - firstColumn + 1 pixels, never past the row;
// negative for a reversed range. The column range only sets the count.
long long CopyCount(int bytesPerPixel, int rowBytes, int firstColumn, int lastColumn) {
  long long count = (static_cast<long long>(lastColumn) - firstColumn + 1) * bytesPerPixel;
  return count > rowBytes ? rowBytes : count;
}

// Before buffers' memory is freed or reused: pinned memory goes aside, and
// its readers find the latch moved.
void SetAsidePinned(ImageRing::State& s) ORVELLA_REQUIRES(s.lock) {
  for (int k = 0; k < 3; ++k) {
    if (s.pins[k] == 0) continue;
    try {
      s.setAside.push_back({std::move(s.buffers[k].data), s.pins[k]});
    } catch (...) {
      s.buffers[k].data.release();  // kept for good rather than freed under a copy
    }
    s.buffers[k].size = 0;
    s.pins[k] = 0;
  }
  s.latch.fetch_add(1, std::memory_order_release);
}

void Unpin(ImageRing::State& s, ImageRing::Reader& reader) ORVELLA_REQUIRES(s.lock) {
  const unsigned char* pinned = reader.pinned;
  reader.pinned = nullptr;
  if (!pinned) return;
  for (int k = 0; k < 3; ++k) {
    if (s.pins[k] > 0 && s.buffers[k].data.get() == pinned) {
      --s.pins[k];
      return;
    }
  }
  for (auto aside = s.setAside.begin(); aside != s.setAside.end(); ++aside) {
    if (aside->pixels.get() != pinned) continue;
    if (--aside->pins == 0) s.setAside.erase(aside);
    return;
  }
}

// The latch as it was after the reads before this call (a seqlock's second
// look). TSan does not model fences: there, a read-modify-write does it.
unsigned LatchAfterCopy(ImageRing::State& s) {
#if defined(__SANITIZE_THREAD__) || ORVELLA_HAS_TSAN
  return s.latch.fetch_add(0, std::memory_order_acq_rel);
#else
  std::atomic_thread_fence(std::memory_order_acquire);
  return s.latch.load(std::memory_order_relaxed);
#endif
}

void Latch(ImageRing::State& s) ORVELLA_REQUIRES(s.lock) {
  const int newest = s.readyIndex;
  if (newest == s.readIndex) return;
  s.readIndex = newest;
  s.latch.fetch_add(1, std::memory_order_release);
}

// The Reader's row under the lock; pins the latched picture for the rows after it.
ImageRing::Quick CopyLocked(ImageRing::Reader& reader, int row, unsigned char* destination, int firstColumn,
                            int lastColumn) {
  ImageRing::State& s = *reader.ring.state;
  // A plain lock, the one every row copy takes: nothing here logs.
  MutexLock hold(s.lock);
  Unpin(s, reader);
  if (s.generation != reader.ring.generation) return ImageRing::Quick::kAskTheCamera;
  if (row == 0) Latch(s);
  const int k = s.readIndex;
  const ImageBuffer& buffer = s.buffers[k];
  if (row < 0 || row >= buffer.height || !buffer.data || !destination) return ImageRing::Quick::kAskTheCamera;
  long long count = CopyCount(buffer.BytesPerPixel(), buffer.RowBytes(), firstColumn, lastColumn);
  if (count < 0) return ImageRing::Quick::kRefused;
  std::memcpy(destination, buffer.data.get() + size_t(row) * size_t(buffer.RowBytes()), static_cast<size_t>(count));
  if (row < buffer.height - 1) {
    ++s.pins[k];
    reader.pinned = buffer.data.get();
    reader.latch = s.latch.load(std::memory_order_relaxed);
    reader.rowBytes = buffer.RowBytes();
    reader.height = buffer.height;
    reader.bytesPerPixel = buffer.BytesPerPixel();
  }
  return ImageRing::Quick::kCopied;
}

}  // namespace

ImageRing::ImageRing() : state(TakeState()) {}

ImageRing::~ImageRing() {
  {
    HostSafeLock<Mutex> hold(state->lock);  // a copy under the lock ends first
    SetAsidePinned(*state);
    for (ImageBuffer& buffer : state->buffers) {
      buffer.Free();
      buffer.width = buffer.height = 0;
      buffer.colour = false;
    }
    state->writeIndex = 0;
    state->readyIndex = state->readIndex = 1;
    ++state->generation;
  }
  Spares& spares = TheSpares();
  MutexLock hold(spares.lock);
  state->nextSpare = spares.first;
  spares.first = state;
}

bool ImageRing::Allocate(int width, int height, bool colour) {
  HostSafeLock<Mutex> hold(state->lock);  // no row copy meanwhile
  SetAsidePinned(*state);                 // neither freed nor reused under a copy without the lock
  for (ImageBuffer& buffer : state->buffers) {
    if (buffer.Allocate(width, height, colour)) continue;
    // All or none: a failed open keeps no picture memory that a 32-bit host
    // needs elsewhere (three 8192 x 8192 colour buffers are 600 MB).
    for (ImageBuffer& each : state->buffers) each.Free();
    return false;
  }
  return true;
}

ImageBuffer& ImageRing::WriteBuffer() {
  return state->buffers[state->writeIndex.load()];
}

void ImageRing::HandOver() {
  MutexLock guard(state->lock);
  int written = state->writeIndex;
  state->readyIndex = written;
  int next = (written + 1) % 3;
  if (next == state->readIndex) next = (next + 1) % 3;
  state->writeIndex = next;
}

bool ImageRing::CopyRow(int row, unsigned char* destination, int firstColumn, int lastColumn) {
  // Also keeps an Open on another thread from replacing the buffer meanwhile.
  HostSafeLock<Mutex> hold(state->lock);
  if (row == 0) Latch(*state);
  ImageBuffer& buffer = state->buffers[state->readIndex.load()];
  const unsigned char* line = buffer.GetLine(row);
  if (!line || !destination) return false;
  long long count = CopyCount(buffer.BytesPerPixel(), buffer.RowBytes(), firstColumn, lastColumn);
  if (count < 0) return false;
  std::memcpy(destination, line, static_cast<size_t>(count));
  return true;
}

ImageRing::Ref ImageRing::Reference() const {
  MutexLock hold(state->lock);
  return Ref{state, state->generation};
}

ImageRing::Quick ImageRing::CopyRow(Reader& reader, int row, unsigned char* destination, int firstColumn,
                                    int lastColumn) {
  State& s = *reader.ring.state;
  if (reader.pinned && row > 0 && row < reader.height && destination &&
      s.latch.load(std::memory_order_acquire) == reader.latch) {
    long long count = CopyCount(reader.bytesPerPixel, reader.rowBytes, firstColumn, lastColumn);
    if (count < 0) return Quick::kRefused;
    std::memcpy(destination, reader.pinned + size_t(row) * size_t(reader.rowBytes), static_cast<size_t>(count));
    // Another thread's row 0 may have moved the latch during the copy, and
    // the worker may then write this picture: then the row is copied again.
    if (LatchAfterCopy(s) == reader.latch) {
      if (row == reader.height - 1) Release(reader);
      return Quick::kCopied;
    }
  }
  return CopyLocked(reader, row, destination, firstColumn, lastColumn);
}

void ImageRing::Release(Reader& reader) {
  if (!reader.pinned) return;
  MutexLock hold(reader.ring.state->lock);
  Unpin(*reader.ring.state, reader);
}

}  // namespace orvella
