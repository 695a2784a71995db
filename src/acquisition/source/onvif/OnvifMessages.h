// The ONVIF calls the driver makes, as SOAP 1.2 texts, and what it reads
// from the answers. Requests carry a WS-Security UsernameToken with a
// PasswordDigest when there is a user; its Created time is the camera's
// clock (ours corrected by the offset GetSystemDateAndTime showed).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "acquisition/source/onvif/SoapXml.h"

namespace orvella::onvif {

// Where a call goes and what it asks.
struct Call {
  const char* step;    // its name in a failure reason, e.g. "GetProfiles"
  std::string action;  // the SOAP action
  std::string body;    // the Body's content
};

Call GetSystemDateAndTime();
Call GetServices();
Call GetCapabilities();
Call GetDeviceInformation();
Call GetProfiles(bool media2);
Call GetSnapshotUri(bool media2, const std::string& profile);
Call GetStreamUri(bool media2, const std::string& profile);

// A UsernameToken's login: who, and the camera's time to stamp it with.
struct Token {
  std::string user, password;
  std::string nonce;        // 16 random bytes
  std::time_t created = 0;  // UTC, on the camera's clock
};
// Base64(SHA-1(nonce + created + password)), WS-Security's PasswordDigest.
std::string PasswordDigest(const std::string& nonce, const std::string& created, const std::string& password);
// "2026-12-07T23:31:01Z"
std::string UtcText(std::time_t t);
// The SOAP envelope of `call`, with the token's security header when it
// has a user (null: none).
std::string Envelope(const Call& call, const Token* token);
// The Content-Type of a call: SOAP 1.2 with its action.
std::string ContentType(const Call& call);

// A SOAP Fault: its code's and innermost subcode's values (prefix
// dropped) and its reason text. `present` false when the answer is none.
struct Fault {
  bool present = false;
  std::string code, subcode, reason;
  // "NotAuthorized: Sender not authorized" for a reason text.
  std::string Text() const;
};
Fault FaultOf(const soap::Document& answer);

// The camera's UTC time from GetSystemDateAndTime; false when it gives none.
bool DeviceTime(const soap::Document& answer, std::time_t& utc);

// Media service addresses from GetServices or GetCapabilities ("" none).
struct Services {
  std::string media, media2;
};
Services ServicesOf(const soap::Document& answer);

struct Profile {
  std::string token, name, encoding;
  int width = 0, height = 0;
};
std::vector<Profile> ProfilesOf(const soap::Document& answer);

// The Uri of a GetSnapshotUri or GetStreamUri answer, as given; "" none.
std::string UriOf(const soap::Document& answer);

// Maker and model from GetDeviceInformation ("" when not given).
std::string MakerAndModel(const soap::Document& answer);

}  // namespace orvella::onvif
