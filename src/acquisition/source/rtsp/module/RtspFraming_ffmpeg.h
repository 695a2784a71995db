// Pictures completed at their last RTP packet. FFmpeg's H.264 and H.265
// depacketisers hand out one packet per RTP packet (fragments included) and
// drop the marker bit; its parser then declares a picture whole only when the
// next one begins, a frame interval late. Over TCP the module watches the
// RTSP connection's interleaved stream for the marker bit of the video
// channel, turns the demuxer's parser off and joins the packets itself.
#pragma once

#include <cstdint>
#include <deque>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace orvella_rtsp {

class Framing {
 public:
  Framing();
  ~Framing();
  Framing(const Framing&) = delete;
  Framing& operator=(const Framing&) = delete;

  // Watches the connection of an RTSP-over-TCP demuxer for `stream`; false
  // (the parser's framing stays) when its state is not laid out as in
  // FFmpeg 5.x. The demuxer must be closed before this object goes.
  bool Attach(AVFormatContext* format, int stream);
  bool Attached() const { return watch_ != nullptr; }
  // The parser that has read the pictures handed out so far, when attached.
  const AVCodecParserContext* Parser() const { return watch_ ? parser_ : nullptr; }

  // Takes (moves from) a packet av_read_frame gave for the stream.
  void Add(AVPacket* packet);
  // Moves the next whole picture into `picture`; false when none is ready.
  bool Take(AVPacket* picture);
  // Whether a picture was lost since the last call: the pictures after it
  // refer to it, so decoding starts again at a key frame.
  bool TakeLoss() {
    const bool lost = lost_;
    lost_ = false;
    return lost;
  }

  struct Watch;  // what the connection's reads have shown

 private:
  void Finish();

  Watch* watch_ = nullptr;
  AVCodecParserContext* parser_ = nullptr;  // tells key frames, on whole pictures
  AVCodecContext* parserCodec_ = nullptr;
  AVPacket* joined_ = nullptr;  // the picture so far
  uint32_t timestamp_ = 0;      // its RTP timestamp
  uint64_t seen_ = 0;           // RTP packets of the channel taken so far
  bool dropping_ = false, lost_ = false;
  std::deque<AVPacket*> ready_;
};

// Whether an H.264 or H.265 access unit begins with its picture's first slice.
bool StartsPicture(const AVPacket* packet, AVCodecID codec);

}  // namespace orvella_rtsp
