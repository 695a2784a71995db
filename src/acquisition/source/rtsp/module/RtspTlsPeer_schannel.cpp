// Our Windows FFmpeg builds its tls protocol on Schannel
// (libavformat/tls_schannel.c) with manual validation: the handshake accepts
// any certificate and the security context that follows TLSShared holds it.
#define SECURITY_WIN32
// clang-format off
#include <windows.h>  // before the headers that build on it
#include <security.h>
#include <wincrypt.h>
#include <schannel.h>
// clang-format on

#include <cstdio>

#include "acquisition/source/rtsp/module/RtspTlsPeer.h"
#include "acquisition/transport/SslChain.h"

namespace orvella_rtsp {

namespace {

struct SchannelTls {
  const AVClass* cls;
  FfTlsShared shared;
  CredHandle cred_handle;
  TimeStamp cred_timestamp;
  CtxtHandle ctxt_handle;
};

// The words WinInet gives for the same verdicts on https.
std::string PolicyWords(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_UNTRUSTEDCA):
    case static_cast<DWORD>(CERT_E_CHAINING):
      return "The certificate authority is invalid or incorrect.";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "The certificate is not for this host name.";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "The certificate date is invalid.";
    default:
      break;
  }
  char text[64];
  std::snprintf(text, sizeof text, "The server's certificate is invalid (0x%08lx).", static_cast<unsigned long>(error));
  return text;
}

// The chain the camera sent, built against the system's trusted roots, and
// the SSL policy with the host name the connection was opened for.
std::string SystemRefusal(PCCERT_CONTEXT certificate, const char* host) {
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &para, 0, nullptr, &chain))
    return PolicyWords(GetLastError());
  const DWORD error = orvella::SslPolicyError(chain, host ? host : "");
  CertFreeCertificateChain(chain);
  return error == 0 ? std::string() : PolicyWords(error);
}

}  // namespace

const char kTlsLibrary[] = "schannel";

std::string PeerCertificate(const FfTlsHead& head, bool checkSystem, std::string& der, std::string& systemRefusal) {
  auto& tls = const_cast<SchannelTls&>(reinterpret_cast<const SchannelTls&>(head));
  PCCERT_CONTEXT certificate = nullptr;
  const SECURITY_STATUS status =
      QueryContextAttributesA(&tls.ctxt_handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
  if (status != SEC_E_OK || !certificate) {
    char text[64];
    std::snprintf(text, sizeof text, "Schannel shows no certificate: 0x%08lx", static_cast<unsigned long>(status));
    return text;
  }
  der.assign(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
  if (checkSystem) systemRefusal = SystemRefusal(certificate, tls.shared.host);
  CertFreeCertificateContext(certificate);
  return "";
}

}  // namespace orvella_rtsp
