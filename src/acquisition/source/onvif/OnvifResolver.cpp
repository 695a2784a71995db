#include "acquisition/source/onvif/OnvifResolver.h"

#include <random>
#include <stdexcept>

#include "acquisition/transport/Url.h"
#include "driver/Errors.h"

namespace orvella::onvif {

namespace {
std::string RandomNonce() {
  std::random_device random;
  std::string bytes;
  for (int i = 0; i < 16; ++i) bytes += static_cast<char>(random() & 0xFF);
  return bytes;
}

[[noreturn]] void Fail(const Call& call, const std::string& why) {
  throw std::runtime_error(std::string("ONVIF ") + call.step + ": " + why);
}

// `url` at the camera's own host and port: cameras behind a port forward
// name their services at addresses only their own network reaches.
std::string AtDevice(const std::string& url, const Address& address) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t path = url.find('/', scheme + 3);
  return "http://" + address.host + ":" + std::to_string(address.port) +
         (path == std::string::npos ? "/" : url.substr(path));
}

// `url` with the address's credentials for the transport, which answers an
// HTTP Digest or Basic challenge with them (never Basic unasked).
std::string WithLogin(const std::string& url, const Address& address) {
  if (!address.hasCredentials) return url;
  std::string withLogin = url, why;
  Address login = address;
  return TakeUri(withLogin, true, login, why) ? withLogin : url;
}
}  // namespace

Resolver::Resolver(Poster& p, Clock clock, Nonce random)
    : poster(p),
      now(clock ? std::move(clock) : [] { return std::time(nullptr); }),
      nonce(random ? std::move(random) : RandomNonce) {}

soap::Document Resolver::Once(const Address& address, const std::string& service, const Call& call, Fault& fault) {
  Token token{address.user, address.password, nonce(), static_cast<std::time_t>(now() + offset)};
  const bool signed_ =
      address.hasCredentials && !address.user.empty() && call.step != std::string("GetSystemDateAndTime");
  const Poster::Answer answer =
      poster.Post(WithLogin(service, address), ContentType(call), Envelope(call, signed_ ? &token : nullptr));
  soap::Document doc;
  std::string error;
  if (!doc.Parse(answer.body, error)) {
    if (answer.status < 200 || answer.status > 299)
      Fail(call, "HTTP " + std::to_string(answer.status) + " without a SOAP answer");
    Fail(call, "the camera's answer is no SOAP (" + error + ")");
  }
  fault = FaultOf(doc);
  return doc;
}

soap::Document Resolver::Exchange(const Address& address, const std::string& service, const Call& call) {
  Fault fault;
  soap::Document doc = Once(address, service, call, fault);
  if (fault.present && fault.subcode == "NotAuthorized" && address.hasCredentials) {
    ReadClock(address);  // the camera's clock may have moved: once more
    doc = Once(address, service, call, fault);
    if (fault.present && fault.subcode == "NotAuthorized")
      throw LoginRefused(std::string("ONVIF ") + call.step + ": the camera refused the login (" + fault.Text() + ")");
  }
  if (fault.present) Fail(call, fault.Text());
  return doc;
}

void Resolver::ReadClock(const Address& address) {
  Fault fault;
  const soap::Document doc = Once(address, address.DeviceService(), GetSystemDateAndTime(), fault);
  std::time_t camera = 0;
  if (!fault.present && DeviceTime(doc, camera)) offset = static_cast<long long>(camera) - now();
}

void Resolver::FindServices(const Address& address) {
  Services services;
  try {
    services = ServicesOf(Exchange(address, address.DeviceService(), GetServices()));
  } catch (const LoginRefused&) {
    throw;
  } catch (const std::exception&) {
    // Older cameras know only GetCapabilities.
  }
  if (services.media.empty() && services.media2.empty())
    services = ServicesOf(Exchange(address, address.DeviceService(), GetCapabilities()));
  media2 = !services.media2.empty();
  media = AtDevice(media2 ? services.media2 : services.media, address);
  if (services.media.empty() && services.media2.empty()) Fail(GetCapabilities(), "the camera names no media service");
}

std::string Resolver::UriOf(const Address& address, const Profile& profile) {
  std::string uri, why;
  if (!address.stream) {
    try {
      uri = onvif::UriOf(Exchange(address, media, GetSnapshotUri(media2, profile.token)));
    } catch (const LoginRefused&) {
      throw;
    } catch (const std::exception&) {
      uri.clear();  // no snapshots: the stream serves
    }
    if (!uri.empty()) {
      if (!TakeUri(uri, true, address, why)) Fail(GetSnapshotUri(media2, profile.token), why);
      return uri;
    }
  }
  const Call call = GetStreamUri(media2, profile.token);
  uri = onvif::UriOf(Exchange(address, media, call));
  if (!TakeUri(uri, false, address, why)) Fail(call, why);
  return uri;
}

std::string Resolver::Resolve(const Address& address) {
  ReadClock(address);
  FindServices(address);
  const Call call = GetProfiles(media2);
  profiles = ProfilesOf(Exchange(address, media, call));
  if (profiles.empty()) Fail(call, "the camera has no profile");
  const Profile* chosen = &profiles.front();
  if (!address.profile.empty()) {
    chosen = nullptr;
    std::string names;
    for (const Profile& p : profiles) {
      if (p.token == address.profile) chosen = &p;
      names += (names.empty() ? "" : ", ") + p.token;
    }
    if (!chosen) Fail(call, "the camera has no profile " + address.profile + " (it has " + names + ")");
  }
  return UriOf(address, *chosen);
}

std::string Resolver::DeviceInformation(const Address& address) {
  return MakerAndModel(Exchange(address, address.DeviceService(), GetDeviceInformation()));
}

}  // namespace orvella::onvif
