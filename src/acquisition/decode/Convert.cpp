#include "acquisition/decode/Convert.h"

// ORVELLA_FORCE_SCALAR compiles the vector path out, so the tests can run the
// scalar one on a machine that has SSE2.
#if defined(__SSE2__) && !defined(ORVELLA_FORCE_SCALAR)
#define ORVELLA_CONVERT_SSE2 1
#include <emmintrin.h>
#endif

namespace orvella::decode {

namespace {

// Gray of every gray sample, built at compile time.
struct GrayOfGray {
  unsigned char value[256];
  constexpr GrayOfGray() : value() {
    for (uint32_t v = 0; v < 256; ++v) value[v] = Gray(v, v, v);
  }
};
constexpr GrayOfGray kGrayOfGray;

#if defined(ORVELLA_CONVERT_SSE2)
// 16 pixels a step; returns the pixels done. In each 32-bit pixel, the mask
// leaves blue and red as two 16-bit halves and, shifted by 8, green and x;
// one multiply-add each.
uint32_t GrayFromBgrxSse2(const unsigned char* in, unsigned char* out, uint32_t n) {
  const __m128i lowBytes = _mm_set1_epi32(0x00FF00FF);
  const __m128i blueRed = _mm_set1_epi32(int(kGrayWeightB | kGrayWeightR << 16));
  const __m128i green = _mm_set1_epi32(int(kGrayWeightG));
  const __m128i half = _mm_set1_epi32(int(1u << (kGrayShift - 1)));
  auto four = [&](const unsigned char* p) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i br = _mm_madd_epi16(_mm_and_si128(v, lowBytes), blueRed);
    __m128i g = _mm_madd_epi16(_mm_and_si128(_mm_srli_epi32(v, 8), lowBytes), green);
    return _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(br, g), half), kGrayShift);
  };
  uint32_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const unsigned char* p = in + 4 * i;
    __m128i lo = _mm_packs_epi32(four(p), four(p + 16));
    __m128i hi = _mm_packs_epi32(four(p + 32), four(p + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
  }
  return i;
}
#endif

// CMYK to RGB: each colour is its ink's complement scaled by black's.
template <typename Store>
void FromCmyk(const unsigned char* in, bool inverted, uint32_t n, Store store) {
  for (uint32_t i = 0; i < n; ++i, in += 4) {
    uint32_t c = in[0], m = in[1], y = in[2], k = in[3];
    if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
    store(i, (c * k + 127) / 255, (m * k + 127) / 255, (y * k + 127) / 255);
  }
}

}  // namespace

void GrayFromBgrx(const unsigned char* in, unsigned char* out, uint32_t n) {
  uint32_t i = 0;
#if defined(ORVELLA_CONVERT_SSE2)
  i = GrayFromBgrxSse2(in, out, n);
#endif
  for (; i < n; ++i) out[i] = Gray(in[4 * i + 2], in[4 * i + 1], in[4 * i]);
}

void GrayFromBgr(const unsigned char* in, unsigned char* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = Gray(in[3 * i + 2], in[3 * i + 1], in[3 * i]);
}

void GrayFromGray(const unsigned char* in, unsigned char* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) out[i] = kGrayOfGray.value[in[i]];
}

void BgrFromRgb(const unsigned char* in, int channels, unsigned char* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i, in += channels, out += 3) {
    out[0] = in[2];
    out[1] = in[1];
    out[2] = in[0];
  }
}

void GrayFromRgb(const unsigned char* in, int channels, unsigned char* out, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i, in += channels) out[i] = Gray(in[0], in[1], in[2]);
}

void BgrFromCmyk(const unsigned char* in, bool inverted, unsigned char* out, uint32_t n) {
  FromCmyk(in, inverted, n, [out](uint32_t i, uint32_t r, uint32_t g, uint32_t b) {
    out[3 * i] = static_cast<unsigned char>(b);
    out[3 * i + 1] = static_cast<unsigned char>(g);
    out[3 * i + 2] = static_cast<unsigned char>(r);
  });
}

void GrayFromCmyk(const unsigned char* in, bool inverted, unsigned char* out, uint32_t n) {
  FromCmyk(in, inverted, n, [out](uint32_t i, uint32_t r, uint32_t g, uint32_t b) { out[i] = Gray(r, g, b); });
}

const char* ConvertPath() {
#if defined(ORVELLA_CONVERT_SSE2)
  return "SSE2";
#else
  return "scalar";
#endif
}

}  // namespace orvella::decode
