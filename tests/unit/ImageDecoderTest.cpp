// Decoding and conversion on both products: crop without scaling, untouched
// pixels outside the region, colour byte order, gray values, formats, failing
// files, and buffers smaller than the configured size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "acquisition/FTPStream.h"
#include "acquisition/decode/ImageDecoder.h"
#include "acquisition/decode/Convert.h"
#include "camera/ImageBuffer.h"
#include "driver/Errors.h"
#include "support/ImageDecoderFixture.h"
#include "support/TestImages.h"

namespace orvella {
namespace {

using test::DecoderTest;
using test::GrayOf;
using test::PatternPixel;
using test::Rgb;

constexpr unsigned char kUntouched = 0xA5;

// Pixels of the region that differ from the pattern by more than `tolerance`
// in some channel; `where` names the first.
int PatternMismatches(ImageBuffer& b, int w, int h, int tolerance, std::string* where) {
  int bad = 0;
  for (int y = 0; y < h; ++y) {
    const unsigned char* row = b.GetLine(y);
    for (int x = 0; x < w; ++x) {
      Rgb want = PatternPixel(x, y);
      bool ok;
      if (b.colour) {
        const unsigned char* p = row + 3 * x;
        ok = std::abs(p[0] - want.b) <= tolerance && std::abs(p[1] - want.g) <= tolerance &&
             std::abs(p[2] - want.r) <= tolerance;
      } else {
        ok = std::abs(row[x] - GrayOf(want)) <= tolerance;
      }
      if (!ok && bad++ == 0) *where = "first at x=" + std::to_string(x) + " y=" + std::to_string(y);
    }
  }
  return bad;
}

// Bytes outside the top-left w x h that no longer hold kUntouched.
int TouchedOutside(ImageBuffer& b, int w, int h) {
  int touched = 0, bpp = b.colour ? 3 : 1;
  for (int y = 0; y < b.height; ++y) {
    const unsigned char* row = b.GetLine(y);
    for (int i = (y < h ? w * bpp : 0); i < b.width * bpp; ++i) touched += row[i] != kUntouched;
  }
  return touched;
}

struct Format {
  const char* extension;
  int tolerance;  // per channel: JPEG rounds its colour conversion
};

class PatternTest : public DecoderTest, public ::testing::WithParamInterface<Format> {
 protected:
  std::string Name(const char* stem) { return std::string(stem) + "." + GetParam().extension; }
  int Tolerance(bool colour) { return GetParam().tolerance + (colour ? 0 : 1); }
};

// Into a 640 x 480 buffer: a larger picture is cropped to its top left, a
// smaller one fills the top left and leaves the rest alone; none is scaled.
TEST_P(PatternTest, PictureLandsTopLeftCroppedNeverScaled) {
  const struct {
    const char* stem;
    int width, height;  // the region the picture covers
  } pictures[] = {{"pattern_800x600", 640, 480}, {"pattern_320x240", 320, 240}, {"pattern_640x480", 640, 480}};
  for (const auto& p : pictures)
    for (bool colour : {true, false}) {
      SCOPED_TRACE(std::string(p.stem) + (colour ? " colour" : " gray"));
      Prepare(640, 480, colour, kUntouched);
      ASSERT_TRUE(Decode(Name(p.stem), 640, 480, colour)) << error;
      std::string where;
      EXPECT_EQ(PatternMismatches(buffer, p.width, p.height, Tolerance(colour), &where), 0) << where;
      EXPECT_EQ(TouchedOutside(buffer, p.width, p.height), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, PatternTest, ::testing::Values(Format{"jpg", 4}, Format{"png", 0}, Format{"bmp", 0}),
                         [](const ::testing::TestParamInfo<Format>& info) { return info.param.extension; });

TEST_F(DecoderTest, OtherEncodingsOfThePatternDecodeAlike) {
  const Format files[] = {{"pattern_320x240.gif", 0},
                          {"pattern_320x240.tif", 0},
                          {"pattern_320x240_rgba.png", 0},
                          {"pattern_320x240_palette.png", 0},
                          {"pattern_320x240_interlaced.png", 0},
                          {"pattern_320x240_progressive.jpg", 4}};
  for (const Format& f : files) {
    for (bool colour : {true, false}) {
      SCOPED_TRACE(std::string(f.extension) + (colour ? " colour" : " gray"));
      Prepare(320, 240, colour, kUntouched);
      ASSERT_TRUE(Decode(f.extension, 200, 100, colour)) << error;
      std::string where;
      EXPECT_EQ(PatternMismatches(buffer, 200, 100, f.tolerance + (colour ? 0 : 1), &where), 0) << where;
      EXPECT_EQ(TouchedOutside(buffer, 200, 100), 0);
    }
  }
}

TEST_F(DecoderTest, GrayJpegGivesEqualColourChannelsAndItsGrayScaledByTheWeights) {
  for (bool colour : {true, false}) {
    SCOPED_TRACE(colour ? "colour" : "gray");
    Prepare(320, 240, colour, kUntouched);
    ASSERT_TRUE(Decode("pattern_320x240_gray.jpg", 320, 240, colour)) << error;
    int bad = 0;
    for (int y = 0; y < 240; ++y)
      for (int x = 0; x < 320; ++x) {
        int v = PatternPixel(x, y).r;
        if (colour) {
          const unsigned char* p = buffer.GetLine(y) + 3 * x;
          bad += std::abs(p[0] - v) > 2 || p[0] != p[1] || p[1] != p[2];
        } else {
          bad += std::abs(buffer.GetLine(y)[x] - GrayOf({v, v, v})) > 3;
        }
      }
    EXPECT_EQ(bad, 0);
  }
}

TEST_F(DecoderTest, ColourPixelsAreBlueGreenRedBytes) {
  struct Case {
    const char* file;
    unsigned char b, g, r;
  } cases[] = {{"red.png", 0, 0, 255}, {"green.png", 0, 255, 0}, {"blue.png", 255, 0, 0}, {"red.bmp", 0, 0, 255}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Prepare(48, 32, true, kUntouched);
    ASSERT_TRUE(Decode(c.file, 48, 32, true)) << error;
    const unsigned char* p = buffer.GetLine(31) + 3 * 47;
    EXPECT_EQ(p[0], c.b);
    EXPECT_EQ(p[1], c.g);
    EXPECT_EQ(p[2], c.r);
  }
}

TEST_F(DecoderTest, GrayOfPureColoursFollowsTheDocumentedWeights) {
  // 0.299, 0.588 and 0.111 of 255; they add up to 0.998, so white is 254.49.
  struct Case {
    const char* stem;
    int low, high;
  } cases[] = {{"red", 75, 77}, {"green", 149, 151}, {"blue", 27, 29}, {"white", 254, 255}, {"black", 0, 0}};
  for (const char* extension : {".png", ".bmp", ".jpg"}) {
    for (const Case& c : cases) {
      std::string file = std::string(c.stem) + extension;
      SCOPED_TRACE(file);
      int slack = std::string(extension) == ".jpg" ? 1 : 0;  // JPEG's pure colours are off by a level
      Prepare(48, 32, false, kUntouched);
      ASSERT_TRUE(Decode(file, 48, 32, false)) << error;
      for (int y : {0, 31})
        for (int x : {0, 47}) {
          int v = buffer.GetLine(y)[x];
          EXPECT_GE(v, c.low - slack) << "x=" << x << " y=" << y;
          EXPECT_LE(v, c.high + slack) << "x=" << x << " y=" << y;
        }
    }
  }
}

// Pixels of the top-left w x h that differ from `reference`, a whole picture
// of `stride` pixels as blue-green-red bytes (gray: its documented weights).
int ReferenceMismatches(ImageBuffer& b, int w, int h, const std::string& reference, int stride, std::string* where) {
  int bad = 0;
  for (int y = 0; y < h; ++y) {
    const auto* want = reinterpret_cast<const unsigned char*>(reference.data()) + size_t(y) * stride * 3;
    const unsigned char* row = b.GetLine(y);
    for (int x = 0; x < w; ++x, want += 3) {
      bool ok = b.colour ? std::memcmp(row + 3 * x, want, 3) == 0 : row[x] == decode::Gray(want[2], want[1], want[0]);
      if (!ok && bad++ == 0) *where = "first at x=" + std::to_string(x) + " y=" + std::to_string(y);
    }
  }
  return bad;
}

TEST_F(DecoderTest, JpegPixelsEqualTheLinuxLibrarysFullDecodeExactly) {
  // Both products decode JPEG with libjpeg-turbo; the reference beside each
  // picture is the Linux system library's full decode. 4:2:0, 4:2:2,
  // progressive, 4:4:4 and gray files; crops that end inside a block, on one,
  // and one pixel short of the picture give the very same pixels.
  const struct {
    const char* file;
    int width, height;
  } pictures[] = {{"photo_800x600.jpg", 800, 600},
                  {"photo_800x600_422.jpg", 800, 600},
                  {"photo_800x600_progressive.jpg", 800, 600},
                  {"pattern_333x251.jpg", 333, 251},
                  {"pattern_320x240_gray.jpg", 320, 240}};
  for (const auto& p : pictures) {
    const std::string reference = test::ReadTestImage(std::string(p.file) + ".bgr");
    ASSERT_EQ(reference.size(), size_t(p.width) * p.height * 3) << p.file;
    for (bool colour : {true, false}) {
      for (int w : {p.width, 333, 320, p.width - 1}) {
        const int h = w == p.width ? p.height : 201;
        SCOPED_TRACE(std::string(p.file) + (colour ? " colour " : " gray ") + std::to_string(w) + "x" +
                     std::to_string(h));
        Prepare(w, h, colour, kUntouched);
        ASSERT_TRUE(Decode(p.file, w, h, colour)) << error;
        std::string where;
        EXPECT_EQ(ReferenceMismatches(buffer, std::min(w, p.width), h, reference, p.width, &where), 0) << where;
      }
    }
  }
}

TEST_F(DecoderTest, TextPageFailsWithTheGdiStatusAndWritesNothing) {
  // GDI+ says 2 (InvalidParameter); Wine's GDI+ says 1. The text is the same,
  // with what came instead of a picture (a test's content has no type).
  Prepare(64, 64, true, kUntouched);
  EXPECT_FALSE(Decode("text.html", 64, 64, true));
  EXPECT_NE(status, 0);
  const std::string page = test::ReadTestImage("text.html");
  const std::string size = std::to_string(page.size());
  EXPECT_EQ(error, "GDI Error " + std::to_string(status) + " (the camera answered with no content type, " + size +
                       " bytes, not a picture)");
  // The server's words: printable, at most 64 characters.
  stream.SetContent(page.data(), page.size(), " text/html;\r\n\x1b[2J charset=" + std::string(80, 'x'));
  try {
    decoder.Decode(stream, buffer, 64, 64, true);
    ADD_FAILURE() << "a page decoded";
  } catch (const GDIException& e) {
    EXPECT_EQ(std::string(e.what()), "GDI Error " + std::to_string(status) +
                                         " (the camera answered text/html;[2J charset=" + std::string(41, 'x') + ", " +
                                         size + " bytes, not a picture)");
  }
  EXPECT_EQ(TouchedOutside(buffer, 0, 0), 0);
}

TEST_F(DecoderTest, BrokenFilesFailCleanlyAndTheNextPictureStillDecodes) {
  // Each either fails with a GDI+ status or decodes; none may crash or leave
  // the decoder unable to read the next picture.
  const char* broken[] = {"empty.jpg", "truncated_header.jpg", "corrupt.jpg", "truncated.jpg", "damaged.jpg",
                          "huge.jpg",  "huge_progressive.jpg", "huge.png",    "huge.bmp"};
  for (const char* file : broken) {
    for (bool colour : {true, false}) {
      SCOPED_TRACE(std::string(file) + (colour ? " colour" : " gray"));
      Prepare(640, 480, colour, kUntouched);
      if (!Decode(file, 640, 480, colour)) {
        EXPECT_NE(status, 0) << "not a GDIException: " << error;
      }
      Prepare(320, 240, colour, kUntouched);
      ASSERT_TRUE(Decode("pattern_320x240.jpg", 320, 240, colour)) << error;
      std::string where;
      EXPECT_EQ(PatternMismatches(buffer, 320, 240, colour ? 4 : 5, &where), 0) << where;
    }
  }
  for (const char* file : {"empty.jpg", "truncated_header.jpg", "corrupt.jpg"}) {
    SCOPED_TRACE(file);
    Prepare(640, 480, true, kUntouched);
    EXPECT_FALSE(Decode(file, 640, 480, true));
    EXPECT_NE(status, 0) << error;
  }
}

TEST_F(DecoderTest, PicturesClaimingTooMuchOrLackingNeededRowsFailBeforeDecoding) {
  // Small files whose headers claim more memory or passes than any camera
  // picture needs, and data that ends inside the region's rows whatever end
  // marker follows: refused from the header on both products.
  enum Want { kDecodes, kTooLarge, kTooLargeOrCostly, kTooCostly, kMissingRows, kOther };
  const struct {
    const char* file;
    int height;  // of the region; 320 px wide
    Want want;
  } cases[] = {
      {"bomb_frame.gif", 240, kTooLarge},               // 1 x 1 screen, 8200 x 8200 frame
      {"bomb_frames.gif", 240, kTooLarge},              // the big frame second
      {"bomb_deflate.tif", 240, kTooLarge},             // 8200 x 8200 in 12 KB
      {"bomb_icon.ico", 240, kTooLarge},                // 16 x 16 in the directory, 8200 x 8200 in the bitmap
      {"bomb_scans.jpg", 240, kTooCostly},              // one scan repeated 1000 times over 4096 x 4096
      {"bomb_interlaced.png", 240, kTooLargeOrCostly},  // 20000 x 20000, all passes before the rows
      {"truncated_half.bmp", 240, kMissingRows},        // bottom-up: the top rows come last
      {"truncated_rle.bmp", 240, kMissingRows},
      {"truncated_topdown.bmp", 240, kMissingRows},
      {"truncated_short.gif", 240, kMissingRows},  // end code and trailer after 100 rows
      {"small_frame.gif", 240, kDecodes},          // a frame smaller than the screen: background
      {"complete.gif", 240, kDecodes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " height " + std::to_string(c.height));
    Prepare(320, 240, true, kUntouched);
    const bool decoded = Decode(c.file, 320, c.height, true);
    const bool costly = error.rfind("ImageDecoder::Decode: picture too costly to decode (", 0) == 0;
    const Want got = decoded                  ? kDecodes
                     : error == "GDI Error 3" ? kTooLarge
                     : costly                 ? kTooCostly
                     : error == "GDI Error 2" ? kMissingRows
                                              : kOther;
    if (c.want == kTooLargeOrCostly) {
      EXPECT_TRUE(got == kTooLarge || got == kTooCostly) << error;
    } else {
      EXPECT_EQ(got, c.want) << error;
    }
  }
}

TEST_F(DecoderTest, ConfiguredSizeLargerThanTheBufferStaysInsideIt) {
  // Width and Height raised while the camera is open: the buffer keeps its
  // size and only its own rows are written, at its own row length. Guard
  // bytes after the pixel memory catch any write past the end. The 320 x 240
  // pictures fill the buffer exactly, the larger ones are cut to it.
  for (const char* file : {"pattern_800x600.png", "pattern_800x600.jpg", "pattern_320x240.jpg", "pattern_320x240.png",
                           "pattern_320x240.bmp"}) {
    for (bool colour : {true, false}) {
      SCOPED_TRACE(std::string(file) + (colour ? " colour" : " gray"));
      constexpr int kGuard = 4096;
      int bpp = colour ? 3 : 1, size = 320 * 240 * bpp;
      buffer.data.reset(new unsigned char[size_t(size + kGuard)]);
      std::memset(buffer.data.get(), kUntouched, size_t(size + kGuard));
      buffer.size = size;
      buffer.width = 320;
      buffer.height = 240;
      buffer.colour = colour;
      ASSERT_TRUE(Decode(file, 800, 600, colour)) << error;
      std::string where;
      EXPECT_EQ(PatternMismatches(buffer, 320, 240, colour ? 4 : 5, &where), 0) << where;
      int guardTouched = 0;
      for (int i = 0; i < kGuard; ++i) guardTouched += buffer.data[size_t(size + i)] != kUntouched;
      EXPECT_EQ(guardTouched, 0);
    }
  }
}

TEST_F(DecoderTest, ConfiguredSizeSmallerThanTheBufferUsesTheBufferRowLength) {
  Prepare(320, 240, true, kUntouched);
  ASSERT_TRUE(Decode("pattern_800x600.jpg", 200, 100, true)) << error;
  std::string where;
  EXPECT_EQ(PatternMismatches(buffer, 200, 100, 4, &where), 0) << where;
  EXPECT_EQ(TouchedOutside(buffer, 200, 100), 0);
}

TEST_F(DecoderTest, BufferWithoutMemoryFailsTheCycleInsteadOfBeingWritten) {
  ImageBuffer never;
  EXPECT_FALSE(DecodeInto(never, "pattern_320x240.png", 320, 240, true));
  EXPECT_EQ(status, 0) << "not a decoding failure";
  EXPECT_FALSE(error.empty());

  ImageBuffer lost;  // geometry kept, memory gone (an allocation that ran out)
  lost.width = 320;
  lost.height = 240;
  lost.colour = true;
  EXPECT_FALSE(DecodeInto(lost, "pattern_320x240.jpg", 320, 240, true));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace orvella
