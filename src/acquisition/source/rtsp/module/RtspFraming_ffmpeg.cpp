#include "acquisition/source/rtsp/module/RtspFraming_ffmpeg.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "acquisition/source/rtsp/module/FfmpegUrl_ffmpeg.h"
#include "acquisition/source/rtsp/module/RtspInterleaved.h"

namespace orvella_rtsp {

namespace {

// What the module reads of FFmpeg 5.x's private structs (rtsp.h, rtpdec.h;
// URLContext and URLProtocol in FfmpegUrl_ffmpeg.h, the latter copied whole).

struct FfRtpDemux {
  AVFormatContext* ic;
  AVStream* st;
  int payload_type;
};

struct FfRtspStream {
  FfUrl* rtp_handle;  // UDP only
  FfRtpDemux* transport_priv;
  int stream_index;
  int interleaved_min, interleaved_max;
};

struct FfRtspHead {
  const AVClass* cls;
  FfUrl* rtsp_hd;
  int nb_rtsp_streams;
  FfRtspStream** rtsp_streams;
};

int Read(FfUrl* url, unsigned char* data, int size);

}  // namespace

struct Framing::Watch {
  FfProtocol protocol;  // first: the connection's protocol points here
  const FfProtocol* original = nullptr;
  InterleavedReader reader;
  // What the connection gave beyond what the demuxer has taken: it reads an
  // interleaved packet's header and payload in two reads, and every read
  // of the connection is a poll and a receive (under Wine, calls into the
  // Wine server), so one read takes all that has arrived.
  unsigned char buffer[64 * 1024];
  int begin = 0, end = 0;
};

namespace {

// The reader follows the bytes as the demuxer takes them, so that its marker
// is the packet's the demuxer hands out next.
int Read(FfUrl* url, unsigned char* data, int size) {
  auto* watch = reinterpret_cast<Framing::Watch*>(const_cast<FfProtocol*>(url->prot));
  if (watch->begin == watch->end) {
    const int r = watch->original->url_read(url, watch->buffer, int(sizeof watch->buffer));
    if (r <= 0) return r;
    watch->begin = 0;
    watch->end = r;
  }
  const int n = std::min(size, watch->end - watch->begin);
  std::memcpy(data, watch->buffer + watch->begin, size_t(n));
  watch->begin += n;
  watch->reader.Feed(data, n);
  return n;
}

bool Named(const AVClass* cls, const char* name) {
  return cls && cls->class_name && std::strcmp(cls->class_name, name) == 0;
}

// The RTSP stream behind `stream`, when the demuxer is laid out as expected.
const FfRtspStream* RtspStream(const AVFormatContext* format, int stream) {
  if (avformat_version() >> 16 != 59 || !format->iformat || std::strcmp(format->iformat->name, "rtsp") != 0)
    return nullptr;
  const auto* rtsp = static_cast<const FfRtspHead*>(format->priv_data);
  if (!rtsp || rtsp->cls != format->iformat->priv_class || !rtsp->rtsp_hd || rtsp->nb_rtsp_streams <= 0 ||
      !rtsp->rtsp_streams)
    return nullptr;
  const FfUrl* connection = rtsp->rtsp_hd;
  if (!Named(connection->av_class, "URLContext") || !connection->prot || !connection->prot->url_read ||
      connection->interrupt_callback.callback != format->interrupt_callback.callback ||
      connection->interrupt_callback.opaque != format->interrupt_callback.opaque)
    return nullptr;
  for (int i = 0; i < rtsp->nb_rtsp_streams; ++i) {
    const FfRtspStream* s = rtsp->rtsp_streams[i];
    if (!s || s->stream_index != stream) continue;
    const FfRtpDemux* rtp = s->transport_priv;
    // Over TCP: no RTP connection of its own; its parser is FFmpeg's RTP one.
    if (s->rtp_handle || !rtp || rtp->ic != format || rtp->st != format->streams[stream] || s->interleaved_min < 0 ||
        s->interleaved_min > 255)
      return nullptr;
    return s;
  }
  return nullptr;
}

}  // namespace

Framing::Framing() : joined_(av_packet_alloc()) {}

Framing::~Framing() {
  av_packet_free(&joined_);
  for (AVPacket* p : ready_) av_packet_free(&p);
  av_parser_close(parser_);
  avcodec_free_context(&parserCodec_);
  delete watch_;
}

bool Framing::Attach(AVFormatContext* format, int stream) {
  const AVCodecParameters* codec = format->streams[stream]->codecpar;
  if (watch_ || !joined_ || (codec->codec_id != AV_CODEC_ID_H264 && codec->codec_id != AV_CODEC_ID_HEVC)) return false;
  const FfRtspStream* rtspStream = RtspStream(format, stream);
  if (!rtspStream) return false;
  parser_ = av_parser_init(codec->codec_id);
  parserCodec_ = avcodec_alloc_context3(nullptr);
  auto* watch = new (std::nothrow) Watch;
  if (!parser_ || !parserCodec_ || !watch || avcodec_parameters_to_context(parserCodec_, codec) < 0) {
    delete watch;
    return false;
  }
  parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  FfUrl* connection = static_cast<const FfRtspHead*>(format->priv_data)->rtsp_hd;
  watch->original = connection->prot;
  watch->protocol = *connection->prot;
  watch->protocol.url_read = Read;
  watch->reader.channel = rtspStream->interleaved_min;
  watch->reader.payloadType = rtspStream->transport_priv->payload_type;
  connection->prot = &watch->protocol;
  watch_ = watch;
  // The demuxer's parser would join packets a picture late: it gets none.
  format->flags |= AVFMT_FLAG_NOPARSE;
  return true;
}

void Framing::Add(AVPacket* packet) {
  const InterleavedReader& watch = watch_->reader;
  const bool fresh = watch.count != seen_;  // from an RTP packet of its own
  seen_ = watch.count;
  if (dropping_) {  // the rest of a picture that could not be kept
    dropping_ = !(fresh && watch.marker);
    av_packet_unref(packet);
    return;
  }
  // A picture whose last packet went missing ends where the next begins.
  if (joined_->data && fresh && watch.timestamp != timestamp_) Finish();
  if (!joined_->data) {
    av_packet_move_ref(joined_, packet);
    timestamp_ = watch.timestamp;
  } else {
    const int at = joined_->size;
    if (av_grow_packet(joined_, packet->size) < 0) {
      av_packet_unref(joined_);  // out of memory: the picture is lost
      av_packet_unref(packet);
      dropping_ = !(fresh && watch.marker);
      lost_ = true;
      return;
    }
    std::memcpy(joined_->data + at, packet->data, size_t(packet->size));
    av_packet_unref(packet);
  }
  if (fresh && watch.marker) Finish();
}

// Key frames as the demuxer's parser tells them (IDR or IRAP pictures,
// recovery points, intra pictures of single-reference streams).
void Framing::Finish() {
  uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(parser_, parserCodec_, &out, &outSize, joined_->data, joined_->size, AV_NOPTS_VALUE, AV_NOPTS_VALUE,
                   0);
  if (parser_->key_frame == 1 || (parser_->key_frame == -1 && parser_->pict_type == AV_PICTURE_TYPE_I))
    joined_->flags |= AV_PKT_FLAG_KEY;
  AVPacket* picture = av_packet_alloc();
  if (picture) {
    av_packet_move_ref(picture, joined_);
    ready_.push_back(picture);
  }
  av_packet_unref(joined_);
}

bool Framing::Take(AVPacket* picture) {
  if (ready_.empty()) return false;
  AVPacket* next = ready_.front();
  ready_.pop_front();
  av_packet_move_ref(picture, next);
  av_packet_free(&next);
  return true;
}

// Whether an H.264 or H.265 access unit (start-code framed, as the RTP
// depacketisers give them) begins with its picture's first slice. A client
// joining in the middle of a key frame gets its last slices only; decoding
// from there gives a half-grey picture and grey smears in every picture that
// refers to it, and the decoder does not flag them.
bool StartsPicture(const AVPacket* packet, AVCodecID codec) {
  if (codec != AV_CODEC_ID_H264 && codec != AV_CODEC_ID_HEVC) return true;
  const uint8_t* p = packet->data;
  const int size = packet->size;
  const int header = codec == AV_CODEC_ID_H264 ? 1 : 2;
  for (int i = 0; i + 3 + header < size; ++i) {
    if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
    const uint8_t* nal = p + i + 3;
    const int type = codec == AV_CODEC_ID_H264 ? (nal[0] & 0x1f) : ((nal[0] >> 1) & 0x3f);
    const bool slice = codec == AV_CODEC_ID_H264 ? (type >= 1 && type <= 5) : type <= 31;
    // first_mb_in_slice == 0 (ue(v) "1") / first_slice_segment_in_pic_flag
    if (slice) return (nal[header] & 0x80) != 0;
  }
  return false;
}

}  // namespace orvella_rtsp
