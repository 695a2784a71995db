#include "acquisition/transport/TlsTrust.h"

#include <cstdint>

#include "acquisition/transport/Hash.h"
#include "driver/Text.h"

namespace orvella {

namespace {

constexpr char kPinPrefix[] = "sha256//";
constexpr size_t kPinPrefixLength = sizeof kPinPrefix - 1;

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// One "sha256//<base64 of 32 bytes>" in canonical form, or "".
std::string CanonicalPin(const std::string& text) {
  const std::string pin = Trimmed(text);
  if (pin.size() <= kPinPrefixLength || !EqualsNoCase(pin.substr(0, kPinPrefixLength).c_str(), kPinPrefix)) return "";
  std::string digest;
  if (!Base64Decode(pin.substr(kPinPrefixLength), digest) || digest.size() != 32) return "";
  return kPinPrefix + Base64(digest.data(), digest.size());
}

// A DER element: its tag, and where its content lies.
struct Element {
  uint8_t tag = 0;
  size_t start = 0;  // of the whole element (tag)
  size_t content = 0;
  size_t end = 0;
};

// Reads the element at `at` within [at, limit); false when it does not fit.
bool ReadElement(const unsigned char* der, size_t at, size_t limit, Element& out) {
  if (at + 2 > limit) return false;
  out.tag = der[at];
  out.start = at;
  size_t length = der[at + 1];
  size_t next = at + 2;
  if (length & 0x80) {
    const size_t count = length & 0x7F;
    if (count == 0 || count > 4 || next + count > limit) return false;
    length = 0;
    for (size_t i = 0; i < count; ++i) length = (length << 8) | der[next++];
  }
  if (length > limit - next) return false;
  out.content = next;
  out.end = next + length;
  return true;
}

}  // namespace

TlsTrust TlsTrust::Parse(const std::string& value) {
  TlsTrust trust;
  trust.value = value;
  const std::string text = Trimmed(value);
  if (text.empty() || EqualsNoCase(text.c_str(), "system")) return trust;
  if (EqualsNoCase(text.c_str(), "any")) {
    trust.mode = Mode::Any;
    return trust;
  }
  std::string pins;
  for (size_t from = 0; from <= text.size();) {
    size_t to = text.find(';', from);
    if (to == std::string::npos) to = text.size();
    const std::string pin = CanonicalPin(text.substr(from, to - from));
    if (pin.empty()) {
      trust.understood = false;
      return trust;
    }
    pins += (pins.empty() ? "" : ";") + pin;
    from = to + 1;
  }
  trust.mode = Mode::Pin;
  trust.pins = pins;
  return trust;
}

bool TlsTrust::Accepts(const std::string& pin) const {
  if (mode != Mode::Pin || pin.empty()) return false;
  for (size_t from = 0; from < pins.size();) {
    size_t to = pins.find(';', from);
    if (to == std::string::npos) to = pins.size();
    if (pins.compare(from, to - from, pin) == 0) return true;
    from = to + 1;
  }
  return false;
}

std::string TlsTrust::Warning(const std::string& camera) const {
  if (!understood)
    return "TlsTrust=" + value + " of camera " + camera +
           " is not understood (system, any or sha256//<key>): its certificate is checked as with system";
  if (mode == Mode::Any) return "TlsTrust=any: the certificate of camera " + camera + " is not checked";
  return "";
}

std::string KeyPinOfCertificate(const unsigned char* der, size_t size) {
  // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
  //   serialNumber, signature, issuer, validity, subject,
  //   subjectPublicKeyInfo, ... }, ... }
  Element certificate, tbs, field;
  if (!der || !ReadElement(der, 0, size, certificate) || certificate.tag != 0x30) return "";
  if (!ReadElement(der, certificate.content, certificate.end, tbs) || tbs.tag != 0x30) return "";
  size_t at = tbs.content;
  if (!ReadElement(der, at, tbs.end, field)) return "";
  if (field.tag == 0xA0) {  // explicit version
    at = field.end;
    if (!ReadElement(der, at, tbs.end, field)) return "";
  }
  // serialNumber, signature, issuer, validity, subject; then the key.
  for (int skip = 0; skip < 5; ++skip) {
    at = field.end;
    if (!ReadElement(der, at, tbs.end, field)) return "";
  }
  if (field.tag != 0x30) return "";
  const Sha256Digest digest = Sha256(der + field.start, field.end - field.start);
  return kPinPrefix + Base64(digest.data(), digest.size());
}

std::string KeyPinOfPem(const std::string& pem) {
  const std::string begin = "-----BEGIN CERTIFICATE-----";
  const size_t from = pem.find(begin);
  if (from == std::string::npos) return "";
  const size_t to = pem.find("-----END", from + begin.size());
  if (to == std::string::npos) return "";
  std::string der;
  if (!Base64Decode(pem.substr(from + begin.size(), to - from - begin.size()), der)) return "";
  return KeyPinOfCertificate(reinterpret_cast<const unsigned char*>(der.data()), der.size());
}

std::string TlsRefusalText(const std::string& cause, const std::string& serverPin) {
  std::string text = cause;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (serverPin.empty()) return text;
  return text + " (the camera's key is " + serverPin +
         "; once you have checked it is the camera's, TlsTrust=" + serverPin + " in its settings accepts it)";
}

}  // namespace orvella
