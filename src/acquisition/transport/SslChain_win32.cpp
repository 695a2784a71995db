#include "acquisition/transport/SslChain.h"

namespace orvella {

DWORD SslPolicyError(PCCERT_CHAIN_CONTEXT chain, const std::string& host) {
  std::wstring name;
  for (unsigned char c : host) name += static_cast<wchar_t>(c);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = 0x00000080;  // SECURITY_FLAG_IGNORE_REVOCATION: not ours to add
  ssl.pwszServerName = &name[0];
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
    const DWORD error = GetLastError();
    return error ? error : static_cast<DWORD>(CERT_E_CHAINING);  // never trusted by a failed check
  }
  return status.dwError;
}

}  // namespace orvella
