// What a picture's header claims, read before any decoder sees the data, and
// the refusals that follow from it. Both products call Precheck first: GDI+
// and gdk-pixbuf decode whole pictures in one call, so what they will take
// is only known from the header, and a small file can claim gigabytes of
// pixels, thousands of passes over them, or rows its data does not hold.
//
// Thread safety: pure functions of their arguments (failures log through the
// driver context).
#pragma once

#include <cstddef>
#include <cstdint>

#include "acquisition/decode/FormatDecoder.h"
#include "acquisition/decode/Format.h"

namespace orvella::decode {

struct Claim {
  static constexpr uint32_t kAllRows = UINT32_MAX;

  // The picture a decoder delivers (GIF: its screen; ICO: its largest
  // image); 0 when the header cannot be read.
  uint32_t width = 0;
  uint32_t height = 0;
  // Memory to decode it whole: 4 bytes a pixel of every frame (GIF) or of
  // the largest image (ICO), whatever the header's own size fields say.
  uint64_t wholeBytes = 0;
  // Pixels decoded in passes before the rows are done: every scan of a
  // multi-scan JPEG, an interlaced PNG's picture; 0 for one pass.
  uint64_t passWork = 0;
  // JPEG scans; counting stops past kMaxJpegScans.
  int scans = 0;
  // BMP and GIF: rows from the top that the data holds.
  uint32_t rowsPresent = kAllRows;
};

Claim ReadClaim(Format format, const unsigned char* data, size_t size);

// Fails the request before decoding: memory over kMaxPictureMemory for a
// decoder that holds the whole picture (`wholePicture`, and every decoder
// of a multi-scan JPEG) (GDI Error 3), more scans or passes than the region
// allows (too costly), data that ends inside the region's rows (GDI Error 2).
void Precheck(Format format, const Request& request, bool wholePicture);

}  // namespace orvella::decode
