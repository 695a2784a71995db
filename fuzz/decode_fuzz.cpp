// Any bytes as a downloaded picture: through the download stream into the
// decoder, into buffers of a fixed geometry, colour and gray. A failure must
// be an exception of the kinds the worker logs; every byte of the buffers is
// read afterwards (what a host copying rows would read). The seeds hold every
// format the decoder reads; the smoke run's per-input time limit holds the
// decoders to their budget. The input's first bytes are also its
// Content-Type, the server's words a refusal of data that is no picture quotes.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

#include "acquisition/FTPStream.h"
#include "acquisition/decode/ImageDecoder.h"
#include "camera/ImageBuffer.h"
#include "driver/DriverContext.h"

namespace {

using orvella::FTPStream;
using orvella::ImageBuffer;
using orvella::ImageDecoder;

constexpr int kWidth = 96, kHeight = 72;

struct Target {
  FTPStream stream;
  ImageDecoder decoder;
  ImageBuffer colour, gray;
  Target() {
    orvella::GetDriverContext().logLevel = 0;  // the decoder's notes are not wanted here
    if (!colour.Allocate(kWidth, kHeight, true) || !gray.Allocate(kWidth, kHeight, false)) std::abort();
  }
};

volatile uint32_t sink;

uint32_t Checksum(const ImageBuffer& buffer) {
  uint32_t sum = 0;
  for (int i = 0; i < buffer.size; ++i) sum = sum * 31 + buffer.data[static_cast<size_t>(i)];
  return sum;
}

void DecodeInto(Target& t, ImageBuffer& buffer, bool colour) {
  try {
    t.decoder.Decode(t.stream, buffer, kWidth, kHeight, colour);
  } catch (const std::exception&) {
    // Undecodable pictures fail the cycle: expected.
  }
  sink = Checksum(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Target* t = new Target();  // kept: the decoder reuses its memory from one picture to the next
  try {
    const std::string type(reinterpret_cast<const char*>(data), size < 100 ? size : 100);
    t->stream.SetContent(data, size, type);
  } catch (const std::exception&) {
    return 0;  // over the size bound
  }
  DecodeInto(*t, t->colour, true);
  DecodeInto(*t, t->gray, false);
  return 0;
}
