// Debian builds FFmpeg's tls protocol on GnuTLS (libavformat/tls_gnutls.c):
// its session follows TLSShared; its credentials hold the system's trusted
// certificates (no CA file is ever given) and check nothing by themselves.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include "acquisition/source/rtsp/module/RtspTlsPeer.h"

namespace orvella_rtsp {

namespace {

struct GnutlsTls {
  const AVClass* cls;
  FfTlsShared shared;
  gnutls_session_t session;
};

}  // namespace

const char kTlsLibrary[] = "gnutls";

std::string PeerCertificate(const FfTlsHead& head, bool checkSystem, std::string& der, std::string& systemRefusal) {
  const auto& tls = reinterpret_cast<const GnutlsTls&>(head);
  // FFmpeg hands GnuTLS its own context as the transport's pointer.
  if (!tls.session || gnutls_transport_get_ptr(tls.session) != &head)
    return "its GnuTLS session is not laid out as expected";
  if (gnutls_certificate_type_get(tls.session) != GNUTLS_CRT_X509) return "the camera sent no X.509 certificate";
  unsigned int count = 0;
  const gnutls_datum_t* chain = gnutls_certificate_get_peers(tls.session, &count);
  if (!chain || count == 0) return "the camera sent no certificate";
  der.assign(reinterpret_cast<const char*>(chain[0].data), chain[0].size);
  if (!checkSystem) return "";
  unsigned int status = 0;
  const int result = gnutls_certificate_verify_peers3(tls.session, tls.shared.host, &status);
  if (result < 0) {
    systemRefusal = gnutls_strerror(result);
  } else if (status != 0) {
    gnutls_datum_t text{};
    if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0) == 0 && text.data) {
      systemRefusal.assign(reinterpret_cast<const char*>(text.data), text.size);
      gnutls_free(text.data);
    }
    if (systemRefusal.empty()) systemRefusal = "the certificate is not trusted";
  }
  return "";
}

}  // namespace orvella_rtsp
