#include "acquisition/source/rtsp/module/RtspTls_ffmpeg.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
}

#include <cstring>

#include "acquisition/source/rtsp/module/FfmpegUrl_ffmpeg.h"
#include "acquisition/source/rtsp/module/RtspTlsPeer.h"

namespace orvella_rtsp {

namespace {

// What the module reads of FFmpeg 5.x's private RTSP state (rtsp.h): its
// first fields, unchanged for many releases (URLContext: FfmpegUrl_ffmpeg.h).

struct FfRtspHead {
  const AVClass* cls;
  const FfUrl* rtsp_hd;  // the RTSP connection, with RTP interleaved in it
};

bool Named(const AVClass* cls, const char* name) {
  return cls && cls->class_name && std::strcmp(cls->class_name, name) == 0;
}

// FFmpeg copies the format's interrupt callback into every connection it
// opens for it: a pointer that holds ours points at such a connection.
bool Ours(const void* url, const AVIOInterruptCB& ours) {
  const auto* connection = static_cast<const FfUrl*>(url);
  return connection && connection->interrupt_callback.callback == ours.callback &&
         connection->interrupt_callback.opaque == ours.opaque;
}

bool BuiltWithOurLibrary() {
  static const bool built =
      std::strstr(avformat_configuration(), (std::string("--enable-") + kTlsLibrary).c_str()) != nullptr;
  return built;
}

bool Fail(TlsCheck& check, const std::string& why) {
  check.failure = "the certificates of rtsps:// cameras cannot be checked with this FFmpeg (" + why +
                  "): only TlsTrust=any plays them, unchecked";
  return true;
}

}  // namespace

bool TlsCheck::Ends(const AVFormatContext* format) {
  if (refused || !failure.empty()) return true;
  // Only an rtsps:// stream (the URL FFmpeg goes to now, after redirects) has
  // a TLS connection: an rtsp:// one never depends on the layout below.
  if (!certificate || !format || !format->url || std::strncmp(format->url, "rtsps:", 6) != 0) return false;
  const AVInputFormat* demuxer = format->iformat;
  if (!demuxer || std::strcmp(demuxer->name, "rtsp") != 0 || !format->priv_data) return false;
  const auto* rtsp = static_cast<const FfRtspHead*>(format->priv_data);
  if (rtsp->cls != demuxer->priv_class) return Fail(*this, "its RTSP state is not laid out as expected");
  const FfUrl* connection = rtsp->rtsp_hd;
  if (!connection || !connection->is_connected) {
    checked = nullptr;  // none yet, or a handshake under way
    return false;
  }
  if (connection == checked) return false;
  if (!Ours(connection, format->interrupt_callback) || !Named(connection->av_class, "URLContext") ||
      !connection->prot || !connection->prot->name)
    return Fail(*this, "its RTSP connection is not laid out as expected");
  if (std::strcmp(connection->prot->name, "tls") != 0) {
    checked = connection;  // rtsp:// has no certificate
    return false;
  }
  if (!BuiltWithOurLibrary()) return Fail(*this, std::string("its TLS is not ") + kTlsLibrary);
  const auto* tls = static_cast<const FfTlsHead*>(connection->priv_data);
  if (!tls || !Named(tls->cls, "tls") || !Ours(tls->shared.tcp, format->interrupt_callback))
    return Fail(*this, "its TLS connection is not laid out as expected");
  std::string der, systemRefusal;
  const std::string why = PeerCertificate(*tls, checkSystem, der, systemRefusal);
  if (!why.empty()) return Fail(*this, why);
  checked = connection;
  if (certificate(opaque, reinterpret_cast<const unsigned char*>(der.data()), der.size(), systemRefusal.c_str()) == 0)
    return false;
  refused = true;
  return true;
}

}  // namespace orvella_rtsp
