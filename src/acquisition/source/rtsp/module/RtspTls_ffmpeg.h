// rtsps:// certificates, judged on the connection that carries the stream.
// FFmpeg's RTSP demuxer opens its TLS connection itself and takes no TLS
// options for it, nor shows its certificate. Its interrupt callback, which
// FFmpeg asks before every read and write, finds that connection once its
// handshake is done, before the first request goes out over it, and hands
// the certificate to the driver. The connection is FFmpeg's private state:
// what the module reads of it is confirmed first (our own interrupt callback
// in the TLS connection and in the TCP one under it); where that does not
// hold, the open fails with a reason rather than going on unchecked.
#pragma once

#include <string>

#include "acquisition/source/rtsp/RtspModule.h"

struct AVFormatContext;

namespace orvella_rtsp {

struct TlsCheck {
  OrvellaRtspCertificateFn certificate = nullptr;  // null: nothing is checked
  void* opaque = nullptr;
  bool checkSystem = false;
  const void* checked = nullptr;  // the connection that passed
  bool refused = false;           // the driver refused the certificate
  std::string failure;            // why it could not be checked

  // From `format`'s interrupt callback: true ends the call (refused, or not
  // checkable: `failure` says why).
  bool Ends(const AVFormatContext* format);
};

}  // namespace orvella_rtsp
