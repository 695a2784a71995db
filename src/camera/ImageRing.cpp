#include "camera/ImageRing.h"

#include <cstring>

#include "driver/DriverContext.h"

namespace orvella {

struct ImageRing::State {
  Mutex lock;
  // Geometry changes only under both the worker's camera lock (Open holds
  // the worker off) and `lock`; the worker reads it under the first, row
  // copies under the second. Pixels are kept apart by the indices.
  ImageBuffer buffers[3];
  // Written under `lock`; atomics so the worker finds its buffer without it.
  std::atomic<int> writeIndex{0};
  std::atomic<int> readyIndex{0};
  std::atomic<int> readIndex{0};
  // Changes when the ring that used this state is destroyed.
  unsigned generation ORVELLA_GUARDED_BY(lock) = 1;
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
long long CopyCount(const ImageBuffer& buffer, int firstColumn, int lastColumn) {
  long long count = (static_cast<long long>(lastColumn) - firstColumn + 1) * buffer.BytesPerPixel();
  return count > buffer.RowBytes() ? buffer.RowBytes() : count;
}

}  // namespace

ImageRing::ImageRing() : state(TakeState()) {}

ImageRing::~ImageRing() {
  {
    HostSafeLock<Mutex> hold(state->lock);  // a copy through a Ref ends first
    for (ImageBuffer& buffer : state->buffers) {
      buffer.Free();
      buffer.width = buffer.height = 0;
      buffer.colour = false;
    }
    state->writeIndex = state->readyIndex = state->readIndex = 0;
    ++state->generation;
  }
  Spares& spares = TheSpares();
  MutexLock hold(spares.lock);
  state->nextSpare = spares.first;
  spares.first = state;
}

bool ImageRing::Allocate(int width, int height, bool colour) {
  HostSafeLock<Mutex> hold(state->lock);  // no row copy meanwhile
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
  if (row == 0) state->readIndex = state->readyIndex.load();
  ImageBuffer& buffer = state->buffers[state->readIndex.load()];
  const unsigned char* line = buffer.GetLine(row);
  if (!line || !destination) return false;
  long long count = CopyCount(buffer, firstColumn, lastColumn);
  if (count < 0) return false;
  std::memcpy(destination, line, static_cast<size_t>(count));
  return true;
}

ImageRing::Ref ImageRing::Reference() const {
  MutexLock hold(state->lock);
  return Ref{state, state->generation};
}

ImageRing::Quick ImageRing::CopyRow(const Ref& ring, int row, unsigned char* destination, int firstColumn,
                                    int lastColumn) {
  State& s = *ring.state;
  // A plain lock, the one the row copy above takes: nothing here logs.
  MutexLock hold(s.lock);
  if (s.generation != ring.generation) return Quick::kAskTheCamera;
  if (row == 0) s.readIndex = s.readyIndex.load();
  const ImageBuffer& buffer = s.buffers[s.readIndex.load()];
  if (row < 0 || row >= buffer.height || !buffer.data || !destination) return Quick::kAskTheCamera;
  long long count = CopyCount(buffer, firstColumn, lastColumn);
  if (count < 0) return Quick::kRefused;
  std::memcpy(destination, buffer.data.get() + size_t(row) * size_t(buffer.RowBytes()), static_cast<size_t>(count));
  return Quick::kCopied;
}

}  // namespace orvella
