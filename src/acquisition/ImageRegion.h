// The part of a decoded picture that goes into an image buffer, shared by the
// decoders of both platforms.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "acquisition/PixelTarget.h"

namespace orvella {

// Top-left rectangle of `width` x `height` pixels, written `bytesPerPixel`
// bytes a pixel, row r at `first` + r x `stride`.
struct ImageRegion {
  uint32_t width = 0;
  uint32_t height = 0;
  int bytesPerPixel = 0;
  int stride = 0;
  unsigned char* first = nullptr;

  unsigned char* Row(uint32_t r) const { return first + size_t(r) * size_t(stride); }
};

// The region of a picture of imageWidth x imageHeight pixels for a camera
// configured to width x height: the smaller sizes, compared as unsigned
// 32-bit values. The settings can change while the camera is open, so the
// region is also limited to what the target buffer holds, and rows use the
// buffer's own row length: no write can leave the buffer. A buffer without
// memory fails the cycle instead of being written.
inline ImageRegion FitRegion(int width, int height, uint32_t imageWidth, uint32_t imageHeight,
                             const PixelTarget& target, bool colour) {
  if (!target.data || target.width <= 0 || target.height <= 0)
    throw std::runtime_error("image buffer has no memory");
  ImageRegion region;
  region.bytesPerPixel = colour ? 3 : 1;
  region.stride = target.RowBytes();
  region.first = target.data;
  uint32_t maxWidth = uint32_t(region.stride / region.bytesPerPixel);
  uint32_t maxHeight = uint32_t(target.height);
  auto smallest = [](uint32_t a, uint32_t b, uint32_t c) { return a < b ? (a < c ? a : c) : (b < c ? b : c); };
  region.width = smallest(uint32_t(width), imageWidth, maxWidth);
  region.height = smallest(uint32_t(height), imageHeight, maxHeight);
  return region;
}

}  // namespace orvella
