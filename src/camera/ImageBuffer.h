// One decoded image as rows of pixels: `height` rows of `width` pixels, no
// padding, 3 bytes (blue, green, red) per pixel in colour, 1 byte in gray.
//
// Thread safety: Allocate runs on a host thread while the camera's worker is
// held off (Camera::Open); the worker writes pixels and the host reads rows of
// different buffers, kept apart by the camera's image ring.
#pragma once

#include <memory>

#include "acquisition/PixelTarget.h"
#include "driver/NoCopy.h"

namespace orvella {

class ImageBuffer {
 public:
  ImageBuffer() = default;
  ORVELLA_NO_COPY(ImageBuffer);

  // True when the buffer now holds memory for this geometry. Memory of the
  // same byte count is reused with its content.
  bool Allocate(int width, int height, bool colour);
  // Lets go of the pixel memory.
  void Free() {
    data.reset();
    size = 0;
  }
  // First byte of `row`, or null (logged) outside the image or without memory.
  unsigned char* GetLine(int row);

  int BytesPerPixel() const { return colour ? 3 : 1; }
  int RowBytes() const { return width * BytesPerPixel(); }
  // A buffer is what decoders write into.
  operator PixelTarget() const { return PixelTarget{data.get(), width, height, colour}; }

  int size = 0;
  int width = 0;
  int height = 0;
  bool colour = false;
  std::unique_ptr<unsigned char[]> data;
};

}  // namespace orvella
