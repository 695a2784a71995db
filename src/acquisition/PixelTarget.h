// The pixel memory a decoder writes into, described without its owner.
#pragma once

namespace orvella {

// Pixel memory a decoder may write: `height` rows of `RowBytes()` bytes.
// Null `data` means the buffer has no memory (its owner has logged why).
struct PixelTarget {
  unsigned char* data = nullptr;
  int width = 0;
  int height = 0;
  bool colour = false;

  int BytesPerPixel() const { return colour ? 3 : 1; }
  int RowBytes() const { return width * BytesPerPixel(); }
};

}  // namespace orvella
