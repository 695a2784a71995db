#include "acquisition/decode/Precheck.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "acquisition/ImageRegion.h"

namespace orvella::decode {

namespace {

// Bounded reads: a field past the end reads as 0.
struct Bytes {
  const unsigned char* d;
  size_t n;

  bool Has(size_t at, size_t length) const { return at <= n && length <= n - at; }
  uint32_t Le16(size_t at) const { return Has(at, 2) ? uint32_t(d[at]) | uint32_t(d[at + 1]) << 8 : 0; }
  uint32_t Le32(size_t at) const { return Has(at, 4) ? Le16(at) | Le16(at + 2) << 16 : 0; }
  uint32_t Be16(size_t at) const { return Has(at, 2) ? uint32_t(d[at]) << 8 | uint32_t(d[at + 1]) : 0; }
  uint32_t Be32(size_t at) const { return Has(at, 4) ? Be16(at) << 16 | Be16(at + 2) : 0; }
  // Offset of the next 0xFF from `at`, or n.
  size_t NextFF(size_t at) const {
    const void* p = at < n ? std::memchr(d + at, 0xFF, n - at) : nullptr;
    return p ? size_t(static_cast<const unsigned char*>(p) - d) : n;
  }
};

uint32_t Magnitude(uint32_t bits) {
  const int32_t v = int32_t(bits);
  return v < 0 ? uint32_t(-int64_t(v)) : uint32_t(v);
}

void SetPicture(Claim& c, uint32_t width, uint32_t height) {
  c.width = width;
  c.height = height;
  c.wholeBytes = uint64_t(width) * height * 4;
}

// ---- JPEG: the frame header and every scan -----------------------------------

struct JpegFrame {
  uint32_t width = 0, height = 0;
  bool progressive = false;
  int count = 0;
  unsigned id[4] = {}, h[4] = {}, v[4] = {};
  unsigned hMax = 1, vMax = 1;
};

bool IsFrameMarker(unsigned m) {
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}
bool IsRestartMarker(unsigned m) {
  return m >= 0xD0 && m <= 0xD7;
}

// A frame header's content of `length` bytes at `at`.
void ReadFrame(const Bytes& b, unsigned marker, size_t at, size_t length, JpegFrame& f) {
  f = JpegFrame{};
  f.progressive = (marker & 3) == 2;  // SOF2, SOF6, SOF10, SOF14
  if (length < 6 || !b.Has(at, length)) return;
  f.height = b.Be16(at + 1);
  f.width = b.Be16(at + 3);
  for (size_t c = 0; c < 4 && c < b.d[at + 5] && 9 + 3 * c <= length; ++c) {
    const unsigned sampling = b.d[at + 7 + 3 * c];
    f.id[c] = b.d[at + 6 + 3 * c];
    f.h[c] = sampling >> 4;
    f.v[c] = sampling & 15;
    f.hMax = f.h[c] > f.hMax ? f.h[c] : f.hMax;
    f.vMax = f.v[c] > f.vMax ? f.v[c] : f.vMax;
    f.count = int(c) + 1;
  }
}

// Pixels' worth (64 a block) of the blocks a scan header's content names.
uint64_t ScanWork(const Bytes& b, size_t at, size_t length, const JpegFrame& f) {
  uint64_t blocks = 0;
  if (length < 1 || !b.Has(at, length)) return 0;
  for (size_t i = 0; i < b.d[at] && 3 + 2 * i <= length; ++i) {
    for (int c = 0; c < f.count; ++c) {
      if (f.id[c] != b.d[at + 1 + 2 * i]) continue;
      const uint64_t w = (uint64_t(f.width) * f.h[c] + f.hMax - 1) / f.hMax;
      const uint64_t h = (uint64_t(f.height) * f.v[c] + f.vMax - 1) / f.vMax;
      blocks += ((w + 7) / 8) * ((h + 7) / 8);
    }
  }
  return blocks * 64;
}

// Where a scan's entropy-coded data ends: the first marker that is neither a
// stuffed zero nor a restart marker.
size_t SkipEntropyData(const Bytes& b, size_t at) {
  for (at = b.NextFF(at); at + 1 < b.n; at = b.NextFF(at + 1)) {
    const unsigned next = b.d[at + 1];
    if (next != 0 && next != 0xFF && !IsRestartMarker(next)) return at;
  }
  return b.n;
}

// Walks the markers as libjpeg does (bytes between markers are skipped). A
// sequential picture whose first scan holds every component is decoded in
// one pass from that scan: the walk ends there.
Claim JpegClaim(const Bytes& b) {
  Claim c;
  JpegFrame frame;
  uint64_t work = 0;
  for (size_t at = b.NextFF(2); at + 4 <= b.n && c.scans <= kMaxJpegScans;) {
    const unsigned m = b.d[at + 1];
    if (m == 0xD9) break;
    if (m == 0xFF || m == 0x00 || m == 0xD8 || m == 0x01 || IsRestartMarker(m)) {
      at = b.NextFF(at + 1);
      continue;
    }
    const size_t length = b.Be16(at + 2);
    if (length < 2) break;
    if (IsFrameMarker(m)) ReadFrame(b, m, at + 4, length - 2, frame);
    if (m == 0xDA) {
      if (++c.scans == 1 && !frame.progressive && b.Has(at + 4, 1) && b.d[at + 4] == frame.count) break;
      work += ScanWork(b, at + 4, length - 2, frame);
      at = SkipEntropyData(b, at + 2 + length);
    } else {
      at = b.NextFF(at + 2 + length);
    }
  }
  SetPicture(c, frame.width, frame.height);
  c.passWork = c.scans > 1 ? work : 0;
  return c;
}

// ---- PNG, TIFF, ICO: sizes ----------------------------------------------------

Claim PngClaim(const Bytes& b) {
  Claim c;
  if (!b.Has(8, 21) || std::memcmp(b.d + 12, "IHDR", 4) != 0) return c;
  SetPicture(c, b.Be32(16), b.Be32(20));
  if (b.d[28] != 0) c.passWork = uint64_t(c.width) * c.height;
  return c;
}

// The first directory's ImageWidth and ImageLength, in either byte order.
Claim TiffClaim(const Bytes& b) {
  Claim c;
  const bool le = b.Has(0, 1) && b.d[0] == 'I';
  auto u16 = [&](size_t at) { return le ? b.Le16(at) : b.Be16(at); };
  auto u32 = [&](size_t at) { return le ? b.Le32(at) : b.Be32(at); };
  const size_t directory = u32(4);
  uint32_t size[2] = {0, 0};
  const uint32_t entries = u16(directory);
  for (uint32_t i = 0; i < entries && b.Has(directory + 2 + 12 * size_t(i), 12); ++i) {
    const size_t e = directory + 2 + 12 * size_t(i);
    const uint32_t tag = u16(e), type = u16(e + 2);
    if (tag != 256 && tag != 257) continue;
    size[tag - 256] = type == 3 ? u16(e + 8) : type == 4 ? u32(e + 8) : 0;
  }
  SetPicture(c, size[0], size[1]);
  return c;
}

// The largest image, by the size its own header gives (a PNG's, or a
// bitmap's whose height counts the mask too), not the directory's.
Claim IcoClaim(const Bytes& b) {
  Claim c;
  const uint32_t count = b.Le16(4);
  for (uint32_t i = 0; i < count && b.Has(6 + 16 * size_t(i), 16); ++i) {
    const size_t entry = 6 + 16 * size_t(i), at = b.Le32(entry + 12);
    uint32_t w = b.d[entry] ? b.d[entry] : 256, h = b.d[entry + 1] ? b.d[entry + 1] : 256;
    if (b.Has(at, 24) && std::memcmp(b.d + at, "\x89PNG\r\n\x1A\n", 8) == 0) {
      w = b.Be32(at + 16), h = b.Be32(at + 20);
    } else if (b.Has(at, 12)) {
      w = Magnitude(b.Le32(at + 4)), h = Magnitude(b.Le32(at + 8)) / 2;
    }
    if (uint64_t(w) * h > uint64_t(c.width) * c.height) SetPicture(c, w, h);
  }
  return c;
}

// ---- BMP: size and the rows the pixel data holds ---------------------------

// Lines an RLE pixel stream completes before its data ends; all at its
// end-of-bitmap code.
uint64_t RleLines(const Bytes& b, size_t at, bool fourBits) {
  uint64_t lines = 0;
  for (; b.Has(at, 2); at += 2) {
    const unsigned count = b.d[at], code = b.d[at + 1];
    if (count != 0) continue;  // a run
    if (code == 0) {
      ++lines;
    } else if (code == 1) {
      return Claim::kAllRows;
    } else if (code == 2) {  // delta: skips dy lines
      if (!b.Has(at + 2, 2)) break;
      lines += b.d[at + 3];
      at += 2;
    } else {  // literal pixels, padded to 16 bits
      const size_t bytes = fourBits ? (code + 1) / 2 : code;
      at += (bytes + 1) & ~size_t(1);
    }
  }
  return lines;
}

Claim BmpClaim(const Bytes& b) {
  Claim c;
  if (!b.Has(0, 26)) return c;
  const bool core = b.Le32(14) == 12;  // OS/2 header: 16-bit sizes, no compression
  const uint32_t rawHeight = core ? b.Le16(20) : b.Le32(22);
  SetPicture(c, core ? b.Le16(18) : Magnitude(b.Le32(18)), core ? rawHeight : Magnitude(rawHeight));
  const bool topDown = !core && int32_t(rawHeight) < 0;
  const uint32_t bits = b.Le16(core ? 24 : 28), compression = core ? 0 : b.Le32(30);
  const size_t pixels = b.Le32(10);
  uint64_t lines = 0;
  if (compression == 0 || compression == 3 || compression == 6) {
    const uint64_t rowBytes = (uint64_t(c.width) * bits + 31) / 32 * 4;
    if (rowBytes == 0) return c;
    lines = pixels < b.n ? (b.n - pixels) / rowBytes : 0;
  } else if (compression == 1 || compression == 2) {
    lines = RleLines(b, pixels, compression == 2);
  } else {
    return c;  // JPEG or PNG inside: not told here
  }
  // Bottom-up rows (the usual order) store the top rows last.
  if (lines < c.height) c.rowsPresent = topDown ? uint32_t(lines) : 0;
  return c;
}

// ---- GIF: every frame, and the rows of the first ---------------------------

// Reads the LZW codes of one image across its data sub-blocks.
struct SubBlockBits {
  const Bytes& b;
  size_t at;        // next byte
  size_t blockEnd;  // end of the current sub-block
  uint32_t held = 0;
  int bits = 0;

  int Byte() {
    while (at == blockEnd) {
      if (!b.Has(at, 1) || b.d[at] == 0) return -1;
      blockEnd = at + 1 + b.d[at];
      ++at;
    }
    return b.Has(at, 1) ? b.d[at++] : -1;
  }
  int Code(int size) {
    for (; bits < size; bits += 8) {
      const int v = Byte();
      if (v < 0) return -1;
      held |= uint32_t(v) << bits;
    }
    const int code = int(held & ((1u << size) - 1));
    held >>= size;
    bits -= size;
    return code;
  }
};

// Pixels the image's LZW data yields before it ends, at most `limit`. Only
// the length of each dictionary string is kept.
uint64_t LzwPixels(const Bytes& b, size_t at, uint64_t limit) {
  const int minimum = b.Has(at, 1) ? b.d[at] : 0;
  if (minimum < 1 || minimum > 11) return limit;  // the decoder judges this
  SubBlockBits in{b, at + 1, at + 1};
  const int clear = 1 << minimum, end = clear + 1;
  uint16_t length[4096];
  for (int i = 0; i < clear; ++i) length[i] = 1;
  int size = minimum + 1, next = end + 1, previous = -1;
  uint64_t pixels = 0;
  while (pixels < limit) {
    const int code = in.Code(size);
    if (code < 0 || code == end) break;
    if (code == clear) {
      size = minimum + 1, next = end + 1, previous = -1;
      continue;
    }
    const bool known = code < clear || (code > end && code < next);
    if (previous < 0 ? code >= clear : !known && code != next) break;  // not a code yet
    if (previous >= 0 && next < 4096) {
      length[next] = uint16_t(length[previous] + 1);
      if (++next == (1 << size) && size < 12) ++size;
    }
    pixels += length[code];
    previous = code;
  }
  return pixels;
}

// First rows (of h) all decoded when the first `done` rows in interlaced
// order (every 8th from 0, every 8th from 4, every 4th from 2, every 2nd from 1) are.
uint32_t LeadingInterlacedRows(uint32_t done, uint32_t h) {
  const uint32_t pass1 = (h + 7) / 8, pass2 = (h + 3) / 8, pass3 = (h + 1) / 4;
  for (uint32_t y = 0; y < h; ++y) {
    const uint32_t index = y % 8 == 0   ? y / 8
                           : y % 8 == 4 ? pass1 + y / 8
                           : y % 4 == 2 ? pass1 + pass2 + y / 4
                                        : pass1 + pass2 + pass3 + y / 2;
    if (index >= done) return y;
  }
  return h;
}

size_t SkipSubBlocks(const Bytes& b, size_t at) {
  while (b.Has(at, 1) && b.d[at] != 0) at += 1 + size_t(b.d[at]);
  return at + 1;
}

size_t ColourTableBytes(unsigned flags) {
  return flags & 0x80 ? size_t(3) << ((flags & 7) + 1) : 0;
}

// Screen rows from the top that the first frame's data covers (rows outside
// the frame are background).
uint32_t GifRowsPresent(const Bytes& b, size_t image, size_t data) {
  const uint32_t top = b.Le16(image + 3), w = b.Le16(image + 5), h = b.Le16(image + 7);
  const uint64_t all = uint64_t(w) * h, pixels = all ? LzwPixels(b, data, all) : 0;
  if (pixels >= all) return Claim::kAllRows;
  const uint32_t done = uint32_t(pixels / w);
  return top + (b.d[image + 9] & 0x40 ? LeadingInterlacedRows(done, h) : done);
}

Claim GifClaim(const Bytes& b) {
  Claim c;
  if (!b.Has(0, 13)) return c;
  SetPicture(c, b.Le16(6), b.Le16(8));
  c.rowsPresent = 0;  // until the first frame is found
  bool first = true;
  for (size_t at = 13 + ColourTableBytes(b.d[10]); b.Has(at, 1) && b.d[at] != 0x3B;) {
    if (b.d[at] == 0x21) {  // extension: label, then sub-blocks
      at = SkipSubBlocks(b, at + 2);
      continue;
    }
    if (b.d[at] != 0x2C || !b.Has(at, 10)) break;
    const size_t data = at + 10 + ColourTableBytes(b.d[at + 9]);
    c.wholeBytes += uint64_t(b.Le16(at + 5)) * b.Le16(at + 7) * 4;
    if (first) c.rowsPresent = GifRowsPresent(b, at, data);
    first = false;
    at = SkipSubBlocks(b, data + 1);
  }
  return c;
}

struct ClaimReader {
  Format format;
  Claim (*read)(const Bytes&);
};

constexpr ClaimReader kClaimReaders[] = {
    {Format::kJpeg, JpegClaim}, {Format::kPng, PngClaim},   {Format::kBmp, BmpClaim},
    {Format::kGif, GifClaim},   {Format::kTiff, TiffClaim}, {Format::kIco, IcoClaim},
};

}  // namespace

Claim ReadClaim(Format format, const unsigned char* data, size_t size) {
  for (const ClaimReader& r : kClaimReaders) {
    if (r.format == format) return r.read(Bytes{data, size});
  }
  return Claim{};
}

void Precheck(Format format, const Request& request, bool wholePicture) {
  const Claim claim = ReadClaim(format, request.data, request.size);
  const char* name = FormatName(format);
  char detail[128];
  // Every decoder holds a multi-scan JPEG whole (its coefficients) before the first row.
  if ((wholePicture || claim.scans > 1) && claim.wholeBytes > kMaxPictureMemory)
    Fail(kOutOfMemory, name, "picture too large");
  if (claim.scans > kMaxJpegScans) {
    std::snprintf(detail, sizeof detail, "more than %d scans", kMaxJpegScans);
    FailWith(kTooCostly, name, detail);
  }
  if (claim.width == 0 || claim.height == 0) return;  // the decoder says what is wrong
  const ImageRegion region =
      FitRegion(request.width, request.height, claim.width, claim.height, request.target, request.colour);
  const uint64_t allowed = kPassWorkFloor + kPassWorkPerRegionPixel * region.width * region.height;
  if (claim.passWork > allowed) {
    std::snprintf(detail, sizeof detail, "%" PRIu64 " Mpx of passes, at most %" PRIu64 " for this region",
                  claim.passWork >> 20, allowed >> 20);
    FailWith(kTooCostly, name, detail);
  }
  if (claim.rowsPresent < region.height) Fail(kInvalidParameter, name, "premature end of data");
}

}  // namespace orvella::decode
