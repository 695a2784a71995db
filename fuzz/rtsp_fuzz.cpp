// What an RTSP camera sends on its TCP connection (answers, requests,
// interleaved packets), followed as the RTSP module follows it for the
// marker bits (RtspInterleaved.h). The first two bytes pick the channel
// watched and the size of the pieces the rest arrives in: the state after
// the whole input is the same however it was cut.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "acquisition/source/rtsp/module/RtspInterleaved.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  orvella_rtsp::InterleavedReader whole, pieces;
  whole.channel = pieces.channel = data[0] & 3;
  whole.payloadType = pieces.payloadType = 96;
  const size_t step = data[1] % 13 + 1;
  data += 2, size -= 2;
  whole.Feed(data, int(size));
  for (size_t at = 0; at < size; at += step) pieces.Feed(data + at, int(std::min(step, size - at)));
  Check(whole.count == pieces.count && whole.marker == pieces.marker && whole.timestamp == pieces.timestamp);
  Check(whole.part == pieces.part && whole.body == pieces.body && whole.left == pieces.left);
  Check(whole.body >= 0 && whole.left >= 0 && whole.got >= 0 && whole.got <= 8);
  return 0;
}
