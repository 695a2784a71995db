// The certificate a camera shows on an rtsps (or, for the DLL, https)
// connection, read for its key: no input crashes, and a key that is read
// comes out in the form TlsTrust takes, which then accepts it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzCheck.h"
#include "acquisition/transport/TlsTrust.h"

namespace {

void CheckPin(const std::string& pin) {
  if (pin.empty()) return;
  Check(pin.compare(0, 8, "sha256//") == 0 && pin.size() == 8 + 44);
  const orvella::TlsTrust trust = orvella::TlsTrust::Parse(pin);
  Check(trust.mode == orvella::TlsTrust::Mode::Pin && trust.Accepts(pin));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckPin(orvella::KeyPinOfCertificate(data, size));
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckPin(orvella::KeyPinOfPem("-----BEGIN CERTIFICATE-----\n" + text + "\n-----END CERTIFICATE-----\n"));
  return 0;
}
