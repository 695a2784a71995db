#include "camera/ImageBuffer.h"

#include <cstdint>
#include <new>

#include "driver/DriverContext.h"

namespace orvella {

bool ImageBuffer::Allocate(int newWidth, int newHeight, bool newColour) {
  // Computed wide so a huge geometry cannot wrap into a small positive count.
  int64_t wide = int64_t(newColour ? 3 : 1) * newWidth * newHeight;
  int n = (wide > INT32_MAX || wide < INT32_MIN) ? -1 : int(wide);
  if (n <= 0) {
    GetDriverContext().Log(1, "ImageBuffer::Allocate: ERROR: incorrect size %d\n", n);
    return false;
  }
  if (n != size || !data) {
    data.reset();
    size = 0;
    // A 32-bit host may not find room for a big picture: Open then fails as
    // for any buffer it cannot allocate.
    data.reset(new (std::nothrow) unsigned char[size_t(n)]);
    if (!data) {
      GetDriverContext().Log(1, "ImageBuffer::Allocate: ERROR: no memory for %d bytes\n", n);
      return false;
    }
    size = n;
  }
  height = newHeight;
  width = newWidth;
  colour = newColour;
  return true;
}

unsigned char* ImageBuffer::GetLine(int row) {
  if (row < 0 || row >= height) {
    GetDriverContext().Log(1, "ImageBuffer::GetLine: ERROR: line index out of range: %d", row);
    return nullptr;
  }
  if (!data) {
    GetDriverContext().Log(1, "ImageBuffer::GetLine: ERROR: cannot proceed since it finds unallocated buffer\n");
    return nullptr;
  }
  return data.get() + size_t(row) * size_t(RowBytes());
}

}  // namespace orvella
