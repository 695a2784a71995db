// Every pixel conversion against a plain per-pixel reference, over lengths
// around the vector width and unaligned pointers, with guard bytes on both
// sides of the output. Runs whichever path the build selects (SIMD, or scalar
// with ORVELLA_FORCE_SCALAR): both must give the same bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "acquisition/decode/Convert.h"

namespace orvella::decode {
namespace {

// The weights from their decimal values, in 15-bit fixed point.
unsigned char ReferenceGray(int r, int g, int b) {
  const long wr = std::lround(0.299 * 32768), wg = std::lround(0.588 * 32768), wb = std::lround(0.111 * 32768);
  return static_cast<unsigned char>((r * wr + g * wg + b * wb + 16384) >> 15);
}

// Red, green, blue of a CMYK pixel: each ink's complement scaled by black's.
void ReferenceCmyk(const unsigned char* p, bool inverted, int rgb[3]) {
  auto amount = [&](int i) { return inverted ? p[i] : 255 - p[i]; };
  for (int i = 0; i < 3; ++i) rgb[i] = int(std::lround(amount(i) * amount(3) / 255.0));
}

struct Case {
  const char* name;
  int inBytes;
  int outBytes;
  std::function<void(const unsigned char*, unsigned char*, uint32_t)> convert;
  std::function<void(const unsigned char*, unsigned char*)> reference;  // one pixel
};

std::vector<Case> Cases() {
  auto cmyk = [](bool inverted, bool colour) {
    return [=](const unsigned char* p, unsigned char* o) {
      int rgb[3];
      ReferenceCmyk(p, inverted, rgb);
      if (colour) {
        o[0] = (unsigned char)rgb[2], o[1] = (unsigned char)rgb[1], o[2] = (unsigned char)rgb[0];
      } else {
        o[0] = ReferenceGray(rgb[0], rgb[1], rgb[2]);
      }
    };
  };
  auto bgr = [](const unsigned char* p, unsigned char* o) { o[0] = p[2], o[1] = p[1], o[2] = p[0]; };
  auto grayOfRgb = [](const unsigned char* p, unsigned char* o) { o[0] = ReferenceGray(p[0], p[1], p[2]); };
  auto grayOfBgr = [](const unsigned char* p, unsigned char* o) { o[0] = ReferenceGray(p[2], p[1], p[0]); };
  return {
      {"gray from BGRX", 4, 1, GrayFromBgrx, grayOfBgr},
      {"gray from BGR", 3, 1, GrayFromBgr, grayOfBgr},
      {"gray from gray", 1, 1, GrayFromGray, [](auto p, auto o) { o[0] = ReferenceGray(p[0], p[0], p[0]); }},
      {"BGR from RGB", 3, 3, [](auto in, auto out, uint32_t n) { BgrFromRgb(in, 3, out, n); }, bgr},
      {"BGR from RGBA", 4, 3, [](auto in, auto out, uint32_t n) { BgrFromRgb(in, 4, out, n); }, bgr},
      {"gray from RGB", 3, 1, [](auto in, auto out, uint32_t n) { GrayFromRgb(in, 3, out, n); }, grayOfRgb},
      {"gray from RGBA", 4, 1, [](auto in, auto out, uint32_t n) { GrayFromRgb(in, 4, out, n); }, grayOfRgb},
      {"BGR from CMYK", 4, 3, [](auto in, auto out, uint32_t n) { BgrFromCmyk(in, false, out, n); }, cmyk(false, true)},
      {"BGR from Adobe CMYK", 4, 3, [](auto in, auto out, uint32_t n) { BgrFromCmyk(in, true, out, n); },
       cmyk(true, true)},
      {"gray from CMYK", 4, 1, [](auto in, auto out, uint32_t n) { GrayFromCmyk(in, false, out, n); },
       cmyk(false, false)},
      {"gray from Adobe CMYK", 4, 1, [](auto in, auto out, uint32_t n) { GrayFromCmyk(in, true, out, n); },
       cmyk(true, false)},
  };
}

TEST(ConvertTest, EveryConversionMatchesAPerPixelReferenceOnAwkwardLengthsAndAlignments) {
  RecordProperty("path", ConvertPath());
#if defined(ORVELLA_FORCE_SCALAR)
  EXPECT_STREQ(ConvertPath(), "scalar") << "the option must reach the conversion code";
#endif
  constexpr size_t kGuard = 16;
  constexpr unsigned char kUntouched = 0xA5;
  const struct { size_t in, out; } offsets[] = {{0, 0}, {1, 3}, {3, 1}};
  for (const Case& c : Cases()) {
    for (uint32_t n : {0u, 1u, 15u, 16u, 17u, 33u, 4099u}) {
      for (const auto& at : offsets) {
        SCOPED_TRACE(::testing::Message() << c.name << ", " << n << " px, offsets " << at.in << "/" << at.out);
        // White, black, then pseudo-random pixels.
        std::vector<unsigned char> in(at.in + n * c.inBytes);
        uint32_t seed = n * 7919u + uint32_t(at.in);
        for (size_t i = 0; i < n * c.inBytes; ++i) {
          seed = seed * 1103515245u + 12345u;
          in[at.in + i] = i < size_t(c.inBytes) ? 255 : i < size_t(2 * c.inBytes) ? 0 : (unsigned char)(seed >> 16);
        }
        std::vector<unsigned char> out(at.out + n * c.outBytes + kGuard, kUntouched);
        c.convert(in.data() + at.in, out.data() + at.out, n);

        int wrong = 0, firstWrong = -1;
        for (uint32_t i = 0; i < n; ++i) {
          unsigned char want[3];
          c.reference(&in[at.in + size_t(i) * c.inBytes], want);
          for (int k = 0; k < c.outBytes; ++k) {
            if (out[at.out + size_t(i) * c.outBytes + k] != want[k] && wrong++ == 0) firstWrong = int(i);
          }
        }
        EXPECT_EQ(wrong, 0) << "first wrong pixel " << firstWrong;
        for (size_t i = 0; i < at.out; ++i) EXPECT_EQ(out[i], kUntouched) << "written before the output";
        for (size_t i = at.out + n * c.outBytes; i < out.size(); ++i)
          EXPECT_EQ(out[i], kUntouched) << "written past the output";
      }
    }
  }
}

}  // namespace
}  // namespace orvella::decode
