// The Linux decoder's own choices: incomplete downloads fail while damaged
// data still gives a picture, CMYK JPEGs, headers claiming enormous
// pictures that must not cost memory for the whole picture, and every
// decoder ending a picture between rows when its budget runs out.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "acquisition/decode/Format.h"
#include "acquisition/decode/JpegDecoder.h"
#include "acquisition/decode/PixbufDecoder.h"
#include "acquisition/decode/PngDecoder.h"
#include "driver/DriverContext.h"
#include "support/DriverLogCapture.h"
#include "support/ImageDecoderFixture.h"

namespace orvella {
namespace {

using test::DecoderTest;
using test::GrayOf;
using test::PatternPixel;

std::atomic<std::atomic<bool>*> raiseOnWarning{nullptr};  // a flag the next warning line raises

// The capture's callback, and the flag raised on a warning line.
void ORVELLA_CALL CaptureAndRaise(const char* text) {
  test::LogCapture::Callback(text);
  std::atomic<bool>* flag = raiseOnWarning.load();
  if (flag && std::string(text).find("WARNING") != std::string::npos) *flag = true;
}

class JpegDecoderTest : public DecoderTest {
 protected:
  int LinesContaining(const std::string& part) const { return log.Count(part); }
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

TEST_F(JpegDecoderTest, DataEndingInsideTheRegionFailsWhateverEndMarkerFollows) {
  // The JPEGs keep the first 40 % (progressive: half) of a 640 x 480
  // picture, the _eoi ones with an end marker after the cut; the PNG ends
  // its data (and then the file) after half its rows.
  const struct {
    const char* file;
    const char* line;
  } cases[] = {{"truncated.jpg", "ERROR: JPEG: premature end of data"},
               {"truncated_eoi.jpg", "ERROR: JPEG: premature end of data"},
               {"truncated_eoi_progressive.jpg", "ERROR: JPEG: premature end of data"},
               {"truncated_iend.png", "ERROR: PNG: Not enough image data"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    log.Clear();
    Prepare(640, 480, true, 0);
    EXPECT_FALSE(Decode(c.file, 640, 480, true));
    EXPECT_EQ(error, "GDI Error 2");
    EXPECT_EQ(LinesContaining(std::string("ImageDecoder::Decode: ") + c.line), 1);
  }
  // Regions above the cut decode (the top-down BMP keeps 120 of its 240 rows).
  for (const char* file : {"truncated.jpg", "truncated_eoi.jpg", "truncated_topdown.bmp"}) {
    Prepare(320, 64, true, 0);
    ASSERT_TRUE(Decode(file, 320, 64, true)) << file << ": the first 64 rows are all there: " << error;
    EXPECT_EQ(buffer.GetLine(63)[3 * 319 + 2], PatternPixel(319, 63).r) << file;
  }
}

TEST_F(JpegDecoderTest, DamagedDataStillGivesAPictureAndOneWarning) {
  // Junk between header segments; a progressive scan cut short, ended by the next scan's marker.
  for (const char* file : {"damaged_scan.jpg", "damaged.jpg"}) {
    SCOPED_TRACE(file);
    log.Clear();
    Prepare(640, 480, true, 0);
    ASSERT_TRUE(Decode(file, 640, 480, true)) << error;
    EXPECT_EQ(LinesContaining("ImageDecoder::Decode: WARNING: JPEG: Corrupt JPEG data"), 1);
  }
  // damaged.jpg's pixels are all intact, down to the last row.
  for (int x : {0, 100, 639}) EXPECT_NEAR(buffer.GetLine(479)[3 * x + 1], PatternPixel(x, 479).g, 4) << x;
}

TEST_F(JpegDecoderTest, ACloseWhileDecodingEndsThePictureAtTheNextCheck) {
  // The warning's log line, written in the middle of the decode, raises the
  // camera's stop flag; the decode must not run on to the end.
  std::atomic<bool> stop{false};
  decoder.SetAbortFlag(&stop);
  raiseOnWarning = &stop;
  GetDriverContext().debugMsgProc = CaptureAndRaise;
  for (const char* file : {"damaged.jpg", "damaged_scan.jpg"}) {
    SCOPED_TRACE(file);
    stop = false;
    Prepare(640, 480, true, 0);
    EXPECT_FALSE(Decode(file, 640, 480, true));
    EXPECT_EQ(error, "ImageDecoder::Decode: stopped");
  }
  raiseOnWarning = nullptr;
  GetDriverContext().debugMsgProc = test::LogCapture::Callback;
  decoder.SetAbortFlag(nullptr);
}

// The per-format decoders, as the decoder's table calls them.
void DecodeByFormat(const decode::Request& request) {
  decode::Scratch scratch;
  const decode::Format format = decode::SniffFormat(request.data, request.size);
  if (format == decode::Format::kJpeg) return decode::JpegDecoder().Decode(request, scratch);
  if (format == decode::Format::kPng) return decode::DecodePng(request, scratch);
  decode::DecodePixbuf(format, request);
}

TEST_F(JpegDecoderTest, EveryDecoderChecksItsBudgetAsItGoes) {
  // A time limit already passed and a camera already closing: each decoder
  // must notice between its rows, scans or pieces of data, not only at the end.
  std::atomic<bool> closing{true};
  const decode::Budget expired(nullptr, std::chrono::milliseconds(-1));
  const decode::Budget stopped(&closing);
  for (const char* file :
       {"pattern_640x480.jpg", "photo_800x600_progressive.jpg", "pattern_640x480.png", "pattern_320x240_interlaced.png",
        "pattern_640x480.bmp", "pattern_320x240.gif", "pattern_320x240.tif"}) {
    const std::string bytes = test::ReadTestImage(file);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (const decode::Budget* budget : {&expired, &stopped}) {
      SCOPED_TRACE(std::string(file) + (budget == &stopped ? " stopped" : " over time"));
      Prepare(320, 240, true, 0);
      error.clear();
      try {
        DecodeByFormat({data, bytes.size(), buffer, 320, 240, true, *budget});
      } catch (const std::exception& e) {
        error = e.what();
      }
      if (budget == &stopped) {
        EXPECT_EQ(error, "ImageDecoder::Decode: stopped");
      } else {
        EXPECT_EQ(error.rfind("ImageDecoder::Decode: picture too costly to decode (", 0), 0u) << error;
        EXPECT_NE(error.find(": more than 1500 ms)"), std::string::npos) << error;
      }
    }
  }
}

TEST_F(JpegDecoderTest, UndecodableDataNamesTheLibraryReasonAtLevel3) {
  Prepare(64, 64, true, 0);
  EXPECT_FALSE(Decode("corrupt.jpg", 64, 64, true));
  EXPECT_EQ(status, 2);
  EXPECT_EQ(LinesContaining("ImageDecoder::Decode: ERROR: JPEG: "), 1);
  EXPECT_FALSE(Decode("text.html", 64, 64, true));
  EXPECT_EQ(error.substr(0, 13), "GDI Error 2 (") << "what GDI+ says for data it cannot decode";
  EXPECT_EQ(LinesContaining("ImageDecoder::Decode: ERROR: decoder: not a picture format GDI+ reads"), 1);
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
  // gdk-pixbuf would hold the whole picture: refused from its header (GIF:
  // from its frame's, the screen is 1 x 1).
  for (const char* file : {"huge.bmp", "bomb_deflate.tif", "bomb_frame.gif"}) {
    EXPECT_EXIT(DecodeUnderAddressLimit(file, 64), ::testing::ExitedWithCode(3), "") << file;
  }
}

}  // namespace
}  // namespace orvella
