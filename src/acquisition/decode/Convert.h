// Pixel conversions from what an image library decodes to what the image
// buffer holds: blue-green-red bytes (colour) or one gray byte a pixel.
//
// Gray is 0.299 R + 0.588 G + 0.111 B (the single-precision values of the
// GDI+ colour matrix) in 15-bit fixed point, which fits SSE2's 16-bit
// multiplies; every path uses the same integers, so they agree to the bit.
// The weights add up to 0.998, so white is 254, as GDI+ rounds 254.49.
//
// Thread safety: pure functions, callable from any thread. `in` and `out`
// need no alignment and must not overlap; exactly n output pixels are written.
#pragma once

#include <cstdint>

namespace orvella::decode {

constexpr uint32_t kGrayWeightR = 9798;
constexpr uint32_t kGrayWeightG = 19268;
constexpr uint32_t kGrayWeightB = 3637;
constexpr int kGrayShift = 15;

constexpr unsigned char Gray(uint32_t r, uint32_t g, uint32_t b) {
  constexpr uint32_t half = 1u << (kGrayShift - 1);
  return static_cast<unsigned char>((r * kGrayWeightR + g * kGrayWeightG + b * kGrayWeightB + half) >> kGrayShift);
}

// Gray from blue-green-red-x pixels; SSE2 when the build allows it.
void GrayFromBgrx(const unsigned char* in, unsigned char* out, uint32_t n);
void GrayFromBgr(const unsigned char* in, unsigned char* out, uint32_t n);
// Gray from gray samples: the weights scale them (255 becomes 254).
void GrayFromGray(const unsigned char* in, unsigned char* out, uint32_t n);
// From red-green-blue(-alpha) pixels of `channels` (3 or 4) bytes; alpha is dropped.
void BgrFromRgb(const unsigned char* in, int channels, unsigned char* out, uint32_t n);
void GrayFromRgb(const unsigned char* in, int channels, unsigned char* out, uint32_t n);
// From cyan-magenta-yellow-black pixels; `inverted` when the inks are stored
// inverted (Adobe's files), else 0 means no ink.
void BgrFromCmyk(const unsigned char* in, bool inverted, unsigned char* out, uint32_t n);
void GrayFromCmyk(const unsigned char* in, bool inverted, unsigned char* out, uint32_t n);

// "SSE2" or "scalar": the path GrayFromBgrx takes in this build.
const char* ConvertPath();

}  // namespace orvella::decode
