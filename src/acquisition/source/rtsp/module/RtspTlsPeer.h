// The TLS library under FFmpeg's tls protocol, as the RTSP module reads a
// finished handshake: RtspTlsPeer_gnutls.cpp (Debian's FFmpeg, Linux) and
// RtspTlsPeer_schannel.cpp (our FFmpeg build, Windows).
#pragma once

#include <string>

extern "C" {
#include <libavutil/log.h>
}

namespace orvella_rtsp {

// FFmpeg 5.x's TLSShared (libavformat/tls.h), which follows the AVClass in
// the private data of every tls protocol; the library's own state follows it.
struct FfTlsShared {
  char* ca_file;
  int verify;
  char* cert_file;
  char* key_file;
  int listen;
  char* host;  // the name the connection was opened for (SNI, the name check)
  char* http_proxy;
  char underlying_host[200];
  int numerichost;
  void* tcp;  // the URLContext under it
};

struct FfTlsHead {
  const AVClass* cls;
  FfTlsShared shared;
};

// The library whose state the module reads, as FFmpeg's configure names it.
extern const char kTlsLibrary[];

// The camera's certificate (DER) on a connection whose handshake is done
// and, with `checkSystem`, why the system's trusted certificates or the host
// name refuse it ("" when they accept it). Returns "" or why it cannot tell.
std::string PeerCertificate(const FfTlsHead& tls, bool checkSystem, std::string& der, std::string& systemRefusal);

}  // namespace orvella_rtsp
