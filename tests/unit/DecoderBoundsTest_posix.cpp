// Picture headers that make an image library buffer gigabytes before it
// reads a pixel (found by fuzz/decode_fuzz): refused from the header. Each
// decode runs in a child whose address space is limited to what it uses now
// plus 64 MiB, so an allocation that gets through shows as a failed child.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "acquisition/FTPStream.h"
#include "acquisition/decode/ImageDecoder.h"
#include "camera/ImageBuffer.h"
#include "driver/Errors.h"
#include "support/AddressLimit.h"

namespace orvella {
namespace {

// Exits 0 when decoded, with the GDI+ status when refused, 100+ on trouble.
[[noreturn]] void DecodeUnderAddressLimit(const std::string& bytes) {
  if (!test::LimitAddressSpace(size_t(64) << 20)) std::_Exit(100);
  FTPStream stream;
  ImageDecoder decoder;
  ImageBuffer buffer;
  if (!buffer.Allocate(64, 48, true)) std::_Exit(101);
  stream.SetContent(bytes.data(), bytes.size());
  try {
    decoder.Decode(stream, buffer, 64, 48, true);
  } catch (const GDIException& e) {
    std::_Exit(e.status);
  } catch (...) {
    std::_Exit(102);
  }
  std::_Exit(0);
}

std::string Bytes(const char* data, size_t size) {
  return std::string(data, size);
}

TEST(DecoderBoundsTest, HeadersPointingFarPastTheDataAreRefusedAsInvalid) {
  // BMP whose info header claims to be 4 GiB long.
  static const char kLongHeader[] =
      "BM\x36\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\xee\x00\xff\xff"
      "\x08\x00\x00\x00\x08\x00\x00\x00\x01\x00\x18\x00";
  // BMP whose pixels start 4 GiB into the file (an OS/2 header).
  static const char kFarPixels[] =
      "\x42\x4d\xb6\x05\x20\x7a\x00\x20\x7a\x00\x03\x00\x00\xfe\x0c\x00"
      "\x00\x00\x61\x00\x00\x4d\xb6\x00\x20\x00\xc4\x06";
  // RLE BMP (a whole one: end of bitmap) whose palette claims 4 billion colours.
  static const char kHugePalette[] =
      "BM\x38\x00\x00\x00\x00\x00\x00\x00\x36\x00\x00\x00\x28\x00\x00\x00\x28\x00\x00\x00"
      "\x1e\x00\x00\x00\x01\x00\x08\x00\x01\x00\x00\x00\x02\x00\x00\x00\x13\x0b\x00\x00"
      "\x13\x0b\x00\x00\x00\xf5\xf5\xf5\x00\x00\x00\x00\x00\x01";
  // ICO whose one image lies 650 MiB into the file.
  static const char kFarIcon[] =
      "\x00\x00\x01\x00\x01\x00\x10\x0b\x00\x00\x00\x00\x20\x00\x1e\x01"
      "\x3f\x00\x00\x16\x00\x27\x89PNG\r\n\x1a\n";
  struct Case {
    const char* name;
    std::string bytes;
  } cases[] = {{"long BMP header", Bytes(kLongHeader, sizeof kLongHeader - 1)},
               {"BMP pixels far away", Bytes(kFarPixels, sizeof kFarPixels - 1)},
               {"BMP palette of 4 billion colours", Bytes(kHugePalette, sizeof kHugePalette - 1)},
               {"ICO image far away", Bytes(kFarIcon, sizeof kFarIcon - 1)}};
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(DecodeUnderAddressLimit(c.bytes), ::testing::ExitedWithCode(2), "");
  }
}

}  // namespace
}  // namespace orvella
