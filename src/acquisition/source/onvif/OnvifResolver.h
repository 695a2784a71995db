// Finds the picture URI of an ONVIF camera: the device service's clock and
// services, the media service's profiles, and the profile's snapshot (or
// stream) URI. Media2 where the camera offers it, else Media; GetServices,
// else GetCapabilities. Requests are signed with a WS-Security
// UsernameToken on the camera's clock; a NotAuthorized answer is tried once
// more with the clock asked again. HTTP Digest or Basic is the transport's,
// when the camera asks for it.
//
// Thread safety: one resolver per worker; Abort (through the poster) from
// any thread.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "acquisition/source/onvif/OnvifAddress.h"
#include "acquisition/source/onvif/OnvifMessages.h"

namespace orvella::onvif {

// One SOAP exchange over HTTP: the answer's status and body, whatever the
// status (a SOAP Fault comes with 400 or 500). Raises what the transport
// raises (no answer, a refused login or certificate, a time-out, an abort).
class Poster {
 public:
  struct Answer {
    long status = 0;
    std::string body;
  };
  virtual Answer Post(const std::string& url, const std::string& contentType, const std::string& body) = 0;

 protected:
  ~Poster() = default;
};

class Resolver {
 public:
  using Clock = std::function<std::time_t()>;
  using Nonce = std::function<std::string()>;

  // `now` and `nonce` default to the system clock and random bytes.
  explicit Resolver(Poster& poster, Clock now = nullptr, Nonce nonce = nullptr);

  // The URI `address` asks for, with its credentials, made usable
  // (TakeUri). Raises std::runtime_error naming the ONVIF step and the
  // camera's words ("ONVIF GetProfiles: NotAuthorized: …"), LoginRefused
  // when the camera refuses the login.
  std::string Resolve(const Address& address);

  // What the camera told about itself on the way (for discovery).
  const std::vector<Profile>& Profiles() const { return profiles; }
  std::string DeviceInformation(const Address& address);

 private:
  // The device and media services' addresses.
  void FindServices(const Address& address);
  // One call, signed when the address has a user; the answer parsed.
  soap::Document Exchange(const Address& address, const std::string& service, const Call& call);
  soap::Document Once(const Address& address, const std::string& service, const Call& call, Fault& fault);
  // The camera's clock against ours.
  void ReadClock(const Address& address);
  std::string UriOf(const Address& address, const Profile& profile);

  Poster& poster;
  Clock now;
  Nonce nonce;
  long long offset = 0;  // camera's clock minus ours, in seconds
  std::string media;     // the media service to use
  bool media2 = false;
  std::vector<Profile> profiles;
};

}  // namespace orvella::onvif
