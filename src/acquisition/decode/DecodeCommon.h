// What the per-format decoders share: the request, how they fail, their
// memory cap and a reused scratch area.
//
// Thread safety: a Scratch belongs to one decoder, used by its worker only.
#pragma once

#include <cstddef>
#include <vector>

#include "acquisition/PixelTarget.h"

namespace orvella::decode {

// The statuses GDI+ gives for the same failures.
constexpr int kInvalidParameter = 2;  // data it cannot decode
constexpr int kOutOfMemory = 3;

// Whole-picture memory a decoder may take: libjpeg's coefficient store for
// progressive files, interlaced PNG rows, gdk-pixbuf's picture. More than a
// camera picture ever needs; a header claiming more fails as out of memory.
constexpr size_t kMaxPictureMemory = size_t(256) << 20;

// One picture to decode into the top-left region of `target` (see ImageDecoder::Decode).
struct Request {
  const unsigned char* data;
  size_t size;
  const PixelTarget& target;
  int width;
  int height;
  bool colour;
};

// Logs "ImageDecoder::Decode: ERROR: <library>: <detail>" at level 3 and
// raises GDIException(status).
[[noreturn]] void Fail(int status, const char* library, const char* detail);

// A level-3 line from inside a library callback: nothing may be thrown
// through the library's C frames. `format` takes one %s.
void LogFromLibrary(const char* format, const char* text) noexcept;

// A reused area that only grows, so a steady stream of pictures allocates
// nothing here. Deliberately not 16-byte aligned: libjpeg-turbo's SIMD colour
// conversion writes aligned rows with non-temporal stores, which bypass the
// cache, and reading such a row back straight away costs more than the whole
// conversion.
class Scratch {
 public:
  // At least `bytes` bytes; fails the picture as out of memory when it cannot grow.
  unsigned char* Get(size_t bytes);

 private:
  std::vector<unsigned char> area;
};

}  // namespace orvella::decode
