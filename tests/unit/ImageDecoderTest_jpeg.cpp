// The Linux decoder's own choices: incomplete downloads fail while damaged
// data still gives a picture, CMYK JPEGs, and headers claiming enormous
// pictures that must not cost memory for the whole picture.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/DriverLogCapture.h"
#include "support/ImageDecoderFixture.h"

namespace orvella {
namespace {

using test::DecoderTest;
using test::GrayOf;
using test::PatternPixel;

class JpegDecoderTest : public DecoderTest {
 protected:
  // Runs in a child process with its address space limited to what it uses
  // now plus `headroomMb`, and exits with the decode's GDI+ status (0: decoded).
  void DecodeUnderAddressLimit(const char* file, int headroomMb) {
    long pages = 0, ignored = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(f, "%ld %ld", &pages, &ignored) != 2) pages = 0;
      std::fclose(f);
    }
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = rlim_t(pages) * 4096 + rlim_t(headroomMb) * 1024 * 1024;
    if (pages == 0 || setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(100);
    Prepare(640, 480, true, 0);
    bool ok = Decode(file, 640, 480, true);
    std::_Exit(ok ? 0 : (status ? status : 101));
  }

  test::DriverLogCapture log{3};
};

TEST_F(JpegDecoderTest, DownloadThatStopsInsideTheRegionFailsButRowsAboveTheCutDecode) {
  // truncated.jpg keeps the first 40 % of the scan of a 640 x 480 picture.
  Prepare(640, 480, true, 0);
  EXPECT_FALSE(Decode("truncated.jpg", 640, 480, true));
  EXPECT_EQ(error, "GDI Error 2");
  EXPECT_EQ(log.Count("ImageDecoder::Decode: ERROR: JPEG: premature end of data"), 1);

  Prepare(640, 64, true, 0);
  ASSERT_TRUE(Decode("truncated.jpg", 640, 64, true)) << "the first 64 rows are all there: " << error;
  EXPECT_EQ(buffer.GetLine(63)[3 * 639 + 2], PatternPixel(639, 63).r);
}

TEST_F(JpegDecoderTest, DamagedDataStillGivesAPictureAndOneWarning) {
  Prepare(640, 480, true, 0);
  ASSERT_TRUE(Decode("damaged.jpg", 640, 480, true)) << error;
  EXPECT_EQ(log.Count("ImageDecoder::Decode: WARNING: JPEG: Corrupt JPEG data"), 1);
  // The rows before the damage are intact.
  for (int x : {0, 100, 639}) EXPECT_NEAR(buffer.GetLine(0)[3 * x + 1], PatternPixel(x, 0).g, 4) << x;
}

TEST_F(JpegDecoderTest, UndecodableDataNamesTheLibraryReasonAtLevel3) {
  Prepare(64, 64, true, 0);
  EXPECT_FALSE(Decode("corrupt.jpg", 64, 64, true));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(log.Count("ImageDecoder::Decode: ERROR: JPEG: "), 1);
  EXPECT_FALSE(Decode("text.html", 64, 64, true));
  EXPECT_EQ(error, "GDI Error 2") << "what GDI+ says for data it cannot decode";
  EXPECT_EQ(log.Count("ImageDecoder::Decode: ERROR: decoder: not a picture format GDI+ reads"), 1);
}

TEST_F(JpegDecoderTest, CmykJpegIsConvertedToColourAndGray) {
  for (bool colour : {true, false}) {
    Prepare(320, 240, colour, 0);
    ASSERT_TRUE(Decode("pattern_320x240_cmyk.jpg", 320, 240, colour)) << error;
    int bad = 0;
    for (int y = 0; y < 240; y += 7)
      for (int x = 0; x < 320; x += 5) {
        test::Rgb want = PatternPixel(x, y);
        const unsigned char* row = buffer.GetLine(y);
        if (colour) {
          bad += std::abs(row[3 * x] - want.b) > 4 || std::abs(row[3 * x + 2] - want.r) > 4;
        } else {
          bad += std::abs(row[x] - GrayOf(want)) > 5;
        }
      }
    EXPECT_EQ(bad, 0) << (colour ? "colour" : "gray");
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "sanitizers reserve address space of their own"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

TEST_F(JpegDecoderTest, EnormousHeaderCostsOnlyTheRegion) {
  SKIP_UNDER_SANITIZERS();
  // 30000 x 30000 px would be 2.7 GB of pixels; 64 MB of headroom must do.
  // Whatever the small data behind the headers gives, it must not be
  // "out of memory" (3), which an attempt to hold the whole picture would end in.
  for (const char* file : {"huge.jpg", "huge.png"}) {
    SCOPED_TRACE(file);
    auto decodedOrInvalid = [](int s) { return WIFEXITED(s) && (WEXITSTATUS(s) == 0 || WEXITSTATUS(s) == 2); };
    EXPECT_EXIT(DecodeUnderAddressLimit(file, 64), decodedOrInvalid, "");
  }
  // Progressive files need the whole picture's coefficients before the first
  // row: the decoder refuses that size, as GDI+ runs out of memory, without
  // trying to get it.
  EXPECT_EXIT(DecodeUnderAddressLimit("huge_progressive.jpg", 64), ::testing::ExitedWithCode(3), "");
  // gdk-pixbuf would hold the whole BMP: refused from its header.
  EXPECT_EXIT(DecodeUnderAddressLimit("huge.bmp", 64), ::testing::ExitedWithCode(3), "");
}

}  // namespace
}  // namespace orvella
