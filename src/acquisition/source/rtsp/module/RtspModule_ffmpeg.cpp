// The RTSP module (liborvella-rtsp.so, orvella-rtsp.dll): FFmpeg's RTSP demuxer, decoders and
// swscale behind the plain C table of RtspModule.h. Only library calls live
// here; threads, waiting, reconnecting and pixel formats are the driver's.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/source/rtsp/RtspModule.h"
#include "acquisition/source/rtsp/module/RtspConvert_ffmpeg.h"
#include "acquisition/source/rtsp/module/RtspFraming_ffmpeg.h"
#include "acquisition/source/rtsp/module/RtspLog_ffmpeg.h"
#include "acquisition/source/rtsp/module/RtspMemory_ffmpeg.h"
#include "acquisition/source/rtsp/module/RtspTls_ffmpeg.h"
#include "driver/Mutex.h"
#include "driver/NoCopy.h"

#ifdef _WIN32
#define ORVELLA_MODULE_EXPORT extern "C" __declspec(dllexport)
#else
#define ORVELLA_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

struct OrvellaRtspSession {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVPacket* picture = nullptr;  // a whole picture's packets, joined
  AVFrame* frame = nullptr;
  int stream = -1;
  bool synced = false;    // a whole key frame has reached the decoder
  bool decoding = false;  // a packet has gone to the decoder: its threads are set
  OrvellaRtspInterruptFn interrupt = nullptr;
  OrvellaRtspRedirectFn redirect = nullptr;
  void* opaque = nullptr;
  std::string url;  // where the open goes now
  bool redirectRefused = false;
  orvella_rtsp::TlsCheck tls;  // rtsps://: the certificate, before the first request
  // Shared with the frames, which may outlive the session.
  std::shared_ptr<orvella_rtsp::PictureBudget> budget = std::make_shared<orvella_rtsp::PictureBudget>();
  orvella_rtsp::Framing framing;  // outlives the demuxer, whose connection it watches
};

namespace {

// FFmpeg follows a 3xx answer itself, with the first URL's login. The
// demuxer names the new URL before it connects there, and asks us before
// its first connect or write: a refused redirect ends the open then.
int Interrupt(void* opaque) {
  auto* session = static_cast<OrvellaRtspSession*>(opaque);
  if (session->redirectRefused) return 1;
  const AVFormatContext* format = session->format;
  if (session->redirect && format && format->url && session->url != format->url) {
    session->url = format->url;
    if (session->redirect(session->opaque, format->url)) {
      session->redirectRefused = true;
      return 1;
    }
  }
  if (session->tls.Ends(format)) return 1;
  return session->interrupt ? session->interrupt(session->opaque) : 0;
}

// A call the TLS check ended: the driver words a refused certificate itself.
bool TlsEnded(const OrvellaRtspSession* session, char* error) {
  if (session->tls.refused) {
    error[0] = 0;
    return true;
  }
  if (session->tls.failure.empty()) return false;
  std::snprintf(error, ORVELLA_RTSP_ERROR_SIZE, "%s", session->tls.failure.c_str());
  return true;
}

void CloseSession(OrvellaRtspSession* session) {
  if (!session) return;
  const void* codec = session->codec;
  avcodec_free_context(&session->codec);  // ends its threads
  if (codec) orvella_rtsp::ForgetDecoder(codec);
  avformat_close_input(&session->format);  // sends TEARDOWN; the interrupt bounds it
  av_packet_free(&session->packet);
  av_packet_free(&session->picture);
  av_frame_free(&session->frame);
  delete session;
}

AVDictionary* InputOptions(bool tcp) {
  AVDictionary* options = nullptr;
  if (tcp) av_dict_set(&options, "rtsp_transport", "tcp", 0);
  av_dict_set(&options, "allowed_media_types", "video", 0);
  // Over TCP nothing arrives out of order: no reorder queue, no added delay.
  av_dict_set(&options, "reorder_queue_size", tcp ? "0" : "64", 0);
  av_dict_set(&options, "max_delay", tcp ? "0" : "200000", 0);
  return options;
}

// Decoder for the first video stream. H.264: slice threads (frame threads
// would hold every picture back by one frame per thread), but one thread
// up to 720p, where handing slices to other threads costs more than it
// saves. H.265: one thread; its slice threads hand pictures over row by row
// (wavefronts), which costs more CPU than it saves (the tests' server's 4K
// picture: 20 ms on one core).
int DecoderThreads(AVCodecID codec, int width, int height) {
  if (codec == AV_CODEC_ID_HEVC) return 1;
  const bool small = width > 0 && height > 0 && int64_t(width) * height <= 1280 * 720;
  return small ? 1 : 0;  // 0: one per core
}

// A decoder context for the session's stream, or null: `r` is then the
// library's error, or 0 when the context itself could not be allocated.
AVCodecContext* OpenCodec(OrvellaRtspSession* session, const AVCodec* decoder, int threads, int& r) {
  r = 0;
  AVCodecContext* codec = avcodec_alloc_context3(decoder);
  if (!codec) return nullptr;
  orvella_rtsp::OwnDecoder(codec);
  r = avcodec_parameters_to_context(codec, session->format->streams[session->stream]->codecpar);
  if (r >= 0) {
    orvella_rtsp::LimitDecoder(codec, &session->budget);
    codec->flags |= AV_CODEC_FLAG_LOW_DELAY;
    // A picture may come in several packets: payloaders that repeat the
    // parameter sets before every key-frame slice make the parser cut there.
    // The decoder then hands a picture out once all its rows are in.
    codec->flags2 |= AV_CODEC_FLAG2_CHUNKS;
    codec->thread_type = FF_THREAD_SLICE;
    codec->thread_count = threads;
    r = avcodec_open2(codec, decoder, nullptr);
  }
  if (r < 0) {
    const void* failed = codec;
    avcodec_free_context(&codec);  // null from here on
    orvella_rtsp::ForgetDecoder(failed);
  }
  return codec;
}

int OpenDecoder(OrvellaRtspSession* session, const orvella_rtsp::CallScope& scope, char* error) {
  const AVCodec* decoder = nullptr;
  int stream = av_find_best_stream(session->format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (stream < 0 || !decoder) {
    scope.Fail(error, "the camera offers no video stream that can be decoded", stream);
    return -1;
  }
  session->stream = stream;
  session->packet = av_packet_alloc();
  session->picture = av_packet_alloc();
  session->frame = av_frame_alloc();
  if (!session->packet || !session->picture || !session->frame) {
    scope.Fail(error, "out of memory", AVERROR(ENOMEM));
    return -1;
  }
  const AVCodecParameters* claimed = session->format->streams[stream]->codecpar;
  int r = 0;
  session->codec = OpenCodec(session, decoder, DecoderThreads(decoder->id, claimed->width, claimed->height), r);
  if (!session->codec) {
    if (r == 0)
      scope.Fail(error, "out of memory", AVERROR(ENOMEM));
    else
      scope.Fail(error, (std::string("cannot open the ") + decoder->name + " decoder").c_str(), r);
    return -1;
  }
  return 1;
}

// The size is often known only from the first key frame (the stream's
// description need not say it): before that frame reaches the decoder, a
// decoder opened with threads it does not need is replaced.
void FitThreads(OrvellaRtspSession* session) {
  int width = 0, height = 0, format = -1;
  orvella_rtsp::ClaimedSize(session->format->streams[session->stream], session->framing.Parser(), width, height,
                            format);
  const int threads = DecoderThreads(session->codec->codec_id, width, height);
  if (threads == 0 || session->codec->thread_count == threads) return;
  int r = 0;
  AVCodecContext* fitted = OpenCodec(session, session->codec->codec, threads, r);
  if (!fitted) return;  // the first one still decodes
  const void* old = session->codec;
  avcodec_free_context(&session->codec);
  orvella_rtsp::ForgetDecoder(old);
  session->codec = fitted;
}

// A stream is refused by the picture size it claims, before a picture of it
// reaches the decoder; the decoder's own allocations are counted too.
bool PictureSizeFits(OrvellaRtspSession* session, char* error) {
  int width = 0, height = 0, format = -1;
  orvella_rtsp::ClaimedSize(session->format->streams[session->stream], session->framing.Parser(), width, height,
                            format);
  const std::string reason = orvella_rtsp::CheckPictureSize(*session->budget, width, height, format);
  if (!reason.empty()) std::snprintf(error, ORVELLA_RTSP_ERROR_SIZE, "%s", reason.c_str());
  return reason.empty();
}

// The demuxer reads its stream descriptions from the camera's answer to
// DESCRIBE, so no probing of packets: the first picture comes sooner.
int Open(OrvellaRtspOpenCall* call) {
  if (!call || call->structSize != sizeof *call) return -2;
  orvella_rtsp::CallScope scope;
  call->session = nullptr;
  auto* session = new OrvellaRtspSession;
  session->interrupt = call->interrupt;
  session->redirect = call->redirect;
  session->opaque = call->opaque;
  session->url = call->url;
  session->tls.certificate = call->certificate;
  session->tls.opaque = call->opaque;
  session->tls.checkSystem = call->checkSystem != 0;
  session->budget->cap = call->pictureMemory ? call->pictureMemory : size_t(-1);
  call->status = 0;
  session->format = avformat_alloc_context();
  if (!session->format) {
    scope.Fail(call->error, "out of memory", AVERROR(ENOMEM));
    CloseSession(session);
    return -1;
  }
  session->format->interrupt_callback.callback = Interrupt;
  session->format->interrupt_callback.opaque = session;
  AVDictionary* options = InputOptions(call->tcp != 0);
  int r = avformat_open_input(&session->format, call->url, nullptr, &options);
  av_dict_free(&options);
  if (r < 0) {
    if (TlsEnded(session, call->error)) {
      CloseSession(session);
      return -1;
    }
    if (r == AVERROR_HTTP_UNAUTHORIZED || r == AVERROR_HTTP_FORBIDDEN)
      call->status = r == AVERROR_HTTP_UNAUTHORIZED ? 401 : 403;
    scope.Fail(call->error, "cannot open the stream", r);
    CloseSession(session);  // the failed open freed the format context already
    return -1;
  }
  if (OpenDecoder(session, scope, call->error) < 0 || !PictureSizeFits(session, call->error)) {
    CloseSession(session);
    return -1;
  }
  // Over TCP a picture is complete at its last RTP packet; over UDP, where
  // packets may come late or not at all, the parser's framing stays.
  if (call->tcp) session->framing.Attach(session->format, session->stream);
  call->session = session;
  return 1;
}

// A picture is handed out only when it decoded cleanly: a client that joins
// between key frames gets grey smears until the next one.
bool TakeFrame(OrvellaRtspSession* session, OrvellaRtspReadCall* call) {
  AVFrame* frame = session->frame;
  if ((frame->flags & AV_FRAME_FLAG_CORRUPT) || frame->decode_error_flags || frame->width <= 0 || frame->height <= 0) {
    av_frame_unref(frame);
    return false;
  }
  AVFrame* picture = av_frame_alloc();
  if (!picture) {
    av_frame_unref(frame);
    return false;
  }
  av_frame_move_ref(picture, frame);
  call->picture = reinterpret_cast<OrvellaRtspPicture*>(picture);
  call->width = picture->width;
  call->height = picture->height;
  return true;
}

// Hands a picture's packets to the decoder from the start of a key frame on;
// false, with the reason in `error`, when the stream must end.
bool Decode(OrvellaRtspSession* session, AVPacket* packet, const orvella_rtsp::CallScope& scope, char* error) {
  if (!session->synced)
    session->synced =
        (packet->flags & AV_PKT_FLAG_KEY) && orvella_rtsp::StartsPicture(packet, session->codec->codec_id);
  if (!session->synced) return true;
  if (!PictureSizeFits(session, error)) return false;
  if (!session->decoding) FitThreads(session);
  session->decoding = true;
  const int r = avcodec_send_packet(session->codec, packet);
  // A refused frame may pass as damaged data: the decoder goes on.
  const std::string refused = orvella_rtsp::RefusalReason(*session->budget);
  if (!refused.empty()) {
    std::snprintf(error, ORVELLA_RTSP_ERROR_SIZE, "%s", refused.c_str());
    return false;
  }
  // Damaged data costs pictures, not the stream: the next key frame heals it.
  if (r < 0 && r != AVERROR_INVALIDDATA && r != AVERROR(EAGAIN)) {
    scope.Fail(error, "the decoder failed", r);
    return false;
  }
  return true;
}

int Read(OrvellaRtspReadCall* call) {
  if (!call || call->structSize != sizeof *call || !call->session) return -2;
  orvella_rtsp::CallScope scope;
  OrvellaRtspSession* session = call->session;
  call->picture = nullptr;
  for (;;) {
    int r = avcodec_receive_frame(session->codec, session->frame);
    if (r == 0) {
      if (TakeFrame(session, call)) return 1;
      continue;
    }
    if (r != AVERROR(EAGAIN)) {
      scope.Fail(call->error, "the decoder failed", r);
      return -1;
    }
    if (session->framing.Take(session->picture)) {
      const bool going = Decode(session, session->picture, scope, call->error);
      av_packet_unref(session->picture);
      if (!going) return -1;
      continue;
    }
    r = av_read_frame(session->format, session->packet);
    if (r == AVERROR_EOF) {
      scope.Fail(call->error, "the camera ended the stream", 0);
      return -1;
    }
    if (r < 0) {
      if (!TlsEnded(session, call->error)) scope.Fail(call->error, "reading the stream failed", r);
      return -1;
    }
    AVPacket* packet = session->packet;
    if (packet->stream_index == session->stream) {
      if (session->framing.Attached()) {
        session->framing.Add(packet);
        if (session->framing.TakeLoss()) session->synced = false;
      } else if (!Decode(session, packet, scope, call->error)) {
        av_packet_unref(packet);
        return -1;
      }
    }
    av_packet_unref(packet);
  }
}

void ReleasePicture(OrvellaRtspPicture* picture) {
  auto* frame = reinterpret_cast<AVFrame*>(picture);
  av_frame_free(&frame);
}

void Close(OrvellaRtspSession* session) {
  orvella_rtsp::CallScope scope;
  CloseSession(session);
}

std::string Libraries() {
  auto version = [](const char* name, unsigned v) {
    return std::string(name) + " " + std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." +
           std::to_string(v & 0xff);
  };
  return version("libavformat", avformat_version()) + ", " + version("libavcodec", avcodec_version()) + ", " +
         version("libswscale", swscale_version());
}

}  // namespace

ORVELLA_MODULE_EXPORT const OrvellaRtspApi* orvellaRtspGetApi(int version, size_t apiSize) {
  static std::once_flag once;
  static std::string libraries;
  static OrvellaRtspApi api{};
  if (version != ORVELLA_RTSP_ABI_VERSION || apiSize > sizeof api) return nullptr;
  std::call_once(once, [] {
    avformat_network_init();
    av_max_alloc(orvella_rtsp::kMaxAllocation);
    av_log_set_callback(orvella_rtsp::LogCallback);
    libraries = Libraries();
    api = OrvellaRtspApi{sizeof(OrvellaRtspApi), ORVELLA_RTSP_ABI_VERSION, libraries.c_str(),       Open, Read,
                         orvella_rtsp::Convert,  ReleasePicture,           orvella_rtsp::FreeCache, Close};
  });
  return &api;
}
