// A decoder, a stream loaded from the test pictures, and a target buffer:
// what the decoder tests of both products share. Unit tests only (it reaches
// internal classes).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <exception>
#include <string>

#include "acquisition/FTPStream.h"
#include "acquisition/decode/ImageDecoder.h"
#include "camera/ImageBuffer.h"
#include "driver/Errors.h"
#include "support/TestImages.h"

namespace orvella::test {

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { decoder.Start(); }
  void TearDown() override { decoder.Shutdown(); }

  // Allocates the target and fills it with `fill`, to see what is written.
  void Prepare(int width, int height, bool colour, unsigned char fill) {
    ASSERT_TRUE(buffer.Allocate(width, height, colour));
    std::memset(buffer.data.get(), fill, size_t(buffer.size));
  }

  bool Decode(const std::string& file, int width, int height, bool colour) {
    return DecodeInto(buffer, file, width, height, colour);
  }

  // Loads the picture as a download and decodes it. False on failure, with
  // `error` the reason the worker would log and `status` the GDI+ status
  // (0 when the failure was not a GDIException).
  bool DecodeInto(ImageBuffer& target, const std::string& file, int width, int height, bool colour) {
    error.clear();
    status = 0;
    std::string bytes = ReadTestImage(file);
    stream.SetContent(bytes.data(), bytes.size());
    try {
      decoder.Decode(stream, target, width, height, colour);
      return true;
    } catch (const GDIException& e) {
      status = e.status;
      error = e.what();
    } catch (const std::exception& e) {
      error = e.what();
    }
    return false;
  }

  ImageDecoder decoder;
  FTPStream stream;
  ImageBuffer buffer;
  std::string error;
  int status = 0;
};

}  // namespace orvella::test
