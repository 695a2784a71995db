#include "camera/ImageRing.h"

#include <cstring>

#include "driver/DriverContext.h"

namespace orvella {

bool ImageRing::Allocate(int width, int height, bool colour) {
  HostSafeLock<Mutex> hold(lock);  // no row copy meanwhile
  for (ImageBuffer& buffer : buffers) {
    if (buffer.Allocate(width, height, colour)) continue;
    // All or none: a failed open keeps no picture memory that a 32-bit host
    // needs elsewhere (three 8192 x 8192 colour buffers are 600 MB).
    for (ImageBuffer& each : buffers) each.Free();
    return false;
  }
  return true;
}

void ImageRing::HandOver() {
  MutexLock guard(lock);
  int written = writeIndex;
  readyIndex = written;
  int next = (written + 1) % 3;
  if (next == readIndex) next = (next + 1) % 3;
  writeIndex = next;
}

bool ImageRing::CopyRow(int row, unsigned char* destination, int firstColumn, int lastColumn) {
  // Also keeps an Open on another thread from replacing the buffer meanwhile.
  HostSafeLock<Mutex> hold(lock);
  if (row == 0) readIndex = readyIndex.load();
  ImageBuffer& buffer = buffers[readIndex.load()];
  const unsigned char* line = buffer.GetLine(row);
  if (!line || !destination) return false;
  // The column range only sets the count, and never reaches past the row.
  long long count = (static_cast<long long>(lastColumn) - firstColumn + 1) * buffer.BytesPerPixel();
  if (count < 0) return false;
  if (count > buffer.RowBytes()) count = buffer.RowBytes();
  std::memcpy(destination, line, static_cast<size_t>(count));
  return true;
}

}  // namespace orvella
