// What an RTSP session's pictures may take (inside the module): a stream is
// refused by the size its parameter sets claim before a picture of it is
// decoded, and the decoder's frames are counted as they are allocated, so a
// stream that claims less and decodes more is stopped at the same cap.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

namespace orvella_rtsp {

// One FFmpeg allocation may take at most this: more than any picture plane
// up to 8192x8192 (8 bits) with its padding; an RTSP answer that claims more
// fails instead of being read into memory.
constexpr size_t kMaxAllocation = size_t(80) << 20;

struct PictureBudget {
  size_t cap = 0;
  std::atomic<size_t> live{0};
  std::atomic<int> refusedWidth{0}, refusedHeight{0};
};

// Sets the decoder up to allocate its frames within `budget`: frame by
// frame, and no picture of more pixels than the cap holds at 4:2:0.
void LimitDecoder(AVCodecContext* codec, std::shared_ptr<PictureBudget>* budget);

// "" when pictures of width x height in `format` (-1: not known yet) fit the
// budget; otherwise the reason.
std::string CheckPictureSize(const PictureBudget& budget, int width, int height, int format);

// The reason once the decoder was refused a frame; "" when it never was.
std::string RefusalReason(const PictureBudget& budget);

// The size the stream's parameters claim (`parser`, or the demuxer's, has
// read them before the packet that needs them reaches the decoder).
void ClaimedSize(const AVStream* stream, const AVCodecParserContext* parser, int& width, int& height, int& format);

}  // namespace orvella_rtsp
