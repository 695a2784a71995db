// The system's SSL verdict on a certificate chain (Windows' own trust store),
// shared by the https downloads and the RTSP module's rtsps connections.
#pragma once

// clang-format off
#include <windows.h>  // before wincrypt.h, which builds on it
#include <wincrypt.h>
// clang-format on

#include <string>

namespace orvella {

// 0 when the SSL policy trusts `chain` for `host`, else its CERT_E_* error
// (or the system's error when the check itself failed). Revocation is not
// checked, as WinInet does not by default; the caller frees the chain.
DWORD SslPolicyError(PCCERT_CHAIN_CONTEXT chain, const std::string& host);

}  // namespace orvella
