#include "acquisition/source/rtsp/module/RtspMemory_ffmpeg.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <new>

namespace orvella_rtsp {

namespace {

constexpr int kPlaneAlign = 64;

// Rides along in a frame's buffers (and in every reference to it), giving
// its bytes back when the last one goes.
struct Hold {
  std::shared_ptr<PictureBudget> budget;
  size_t bytes;
};

void ReleaseHold(void*, uint8_t* data) {
  auto* hold = reinterpret_cast<Hold*>(data);
  hold->budget->live -= hold->bytes;
  delete hold;
}

// A decoder keeps side data beside each picture it holds (H.264: motion
// vectors, macroblock types), about a third of a 4:2:0 picture; it is
// charged with the picture.
size_t Charged(size_t bytes) {
  return bytes + bytes / 3;
}

size_t FrameBytes(int width, int height, int format) {
  if (width <= 0 || height <= 0) return 0;
  const auto fmt = format >= 0 ? static_cast<AVPixelFormat>(format) : AV_PIX_FMT_YUV420P;
  const int size = av_image_get_buffer_size(fmt, FFALIGN(width, kPlaneAlign), height, kPlaneAlign);
  // Too large for an int: certainly over the cap.
  return size > 0 ? size_t(size) : size_t(-1);
}

void Refuse(PictureBudget& budget, int width, int height) {
  budget.refusedWidth = width;
  budget.refusedHeight = height;
}

int GetBuffer(AVCodecContext* codec, AVFrame* frame, int flags) {
  const std::shared_ptr<PictureBudget>& budget = *static_cast<std::shared_ptr<PictureBudget>*>(codec->opaque);
  // Refused before anything is allocated, then counted exactly.
  const size_t expected = Charged(FrameBytes(frame->width, frame->height, frame->format));
  if (expected > budget->cap || budget->live.load() + expected > budget->cap) {
    Refuse(*budget, frame->width, frame->height);
    return AVERROR(ENOMEM);
  }
  int r = avcodec_default_get_buffer2(codec, frame, flags);
  if (r < 0) return r;
  size_t bytes = 0;
  int slot = -1;
  for (int i = 0; i < AV_NUM_DATA_POINTERS; ++i) {
    if (frame->buf[i])
      bytes += frame->buf[i]->size;
    else if (slot < 0)
      slot = i;
  }
  for (int i = 0; i < frame->nb_extended_buf; ++i) bytes += frame->extended_buf[i]->size;
  bytes = Charged(bytes);
  if (slot < 0 || budget->live.fetch_add(bytes) + bytes > budget->cap) {
    if (slot >= 0) budget->live -= bytes;
    Refuse(*budget, frame->width, frame->height);
    av_frame_unref(frame);
    return AVERROR(ENOMEM);
  }
  auto* hold = new (std::nothrow) Hold{budget, bytes};
  frame->buf[slot] =
      hold ? av_buffer_create(reinterpret_cast<uint8_t*>(hold), sizeof *hold, ReleaseHold, nullptr, 0) : nullptr;
  if (!frame->buf[slot]) {
    budget->live -= bytes;
    delete hold;
    av_frame_unref(frame);
    return AVERROR(ENOMEM);
  }
  return 0;
}

std::string Megabytes(size_t bytes) {
  return std::to_string((bytes + (size_t(1) << 20) - 1) >> 20) + " MB";
}

std::string Size(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

void LimitDecoder(AVCodecContext* codec, std::shared_ptr<PictureBudget>* budget) {
  codec->opaque = budget;
  codec->get_buffer2 = GetBuffer;
  codec->max_pixels = int64_t((*budget)->cap / 3 * 2);
}

std::string CheckPictureSize(const PictureBudget& budget, int width, int height, int format) {
  const size_t bytes = FrameBytes(width, height, format);
  if (bytes <= budget.cap) return "";
  return "the stream's pictures of " + Size(width, height) + " need " +
         (bytes == size_t(-1) ? std::string("more than 2 GB") : Megabytes(bytes)) + ", more than the " +
         Megabytes(budget.cap) + " an RTSP stream's pictures may take";
}

std::string RefusalReason(const PictureBudget& budget) {
  const int width = budget.refusedWidth.load(), height = budget.refusedHeight.load();
  if (width <= 0 || height <= 0) return "";
  return "the stream's pictures of " + Size(width, height) + " need more than the " + Megabytes(budget.cap) +
         " an RTSP stream's pictures may take";
}

void ClaimedSize(const AVStream* stream, const AVCodecParserContext* parser, int& width, int& height, int& format) {
  width = stream->codecpar->width;
  height = stream->codecpar->height;
  format = stream->codecpar->format;
  if (!parser) parser = av_stream_get_parser(stream);
  if (parser && parser->coded_width > 0 && parser->coded_height > 0) {
    width = parser->coded_width;
    height = parser->coded_height;
    format = parser->format;
  }
}

}  // namespace orvella_rtsp
