// How far a camera's https certificate is trusted: the TlsTrust setting.
//   "" or "system"   the system's trusted certificates and the host name
//   "sha256//<b64>"  exactly the server key with that SHA-256 (base64 of the
//                    hash of its DER SubjectPublicKeyInfo, libcurl's pinned
//                    public key form; several joined by ';'), no CA or name
//                    check: cameras serve self-signed certificates that rarely
//                    match their address
//   "any"            encrypted, but any certificate
// A value not understood checks as "system": a typo never weakens the check.
#pragma once

#include <cstddef>
#include <string>

namespace orvella {

class TlsTrust {
 public:
  enum class Mode { System, Pin, Any };

  static TlsTrust Parse(const std::string& value);

  Mode mode = Mode::System;
  // Pin: the accepted keys, "sha256//…" joined by ';' (as libcurl takes them).
  std::string pins;
  bool understood = true;
  std::string value;  // as configured, for the warning

  // Pin: whether the server key `pin` ("sha256//…") is one of the pins.
  bool Accepts(const std::string& pin) const;
  // The text of the WARNING a camera logs when it opens with this trust
  // (`any`, or a value not understood); "" when there is nothing to say.
  std::string Warning(const std::string& camera) const;
};

// "sha256//<base64>" of the public key of a DER certificate; "" when the
// bytes are not a certificate.
std::string KeyPinOfCertificate(const unsigned char* der, size_t size);
// The same for the first PEM certificate in `pem`.
std::string KeyPinOfPem(const std::string& pem);

// The reason of a refused certificate: the library's words and, when the
// server's key is known, that key as TlsTrust would accept it.
std::string TlsRefusalText(const std::string& cause, const std::string& serverPin);

}  // namespace orvella
