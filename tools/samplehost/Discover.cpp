#include "samplehost/Discover.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include "acquisition/source/onvif/OnvifDiscovery.h"
#include "acquisition/source/onvif/OnvifResolver.h"
#include "acquisition/source/rtsp/RtspResolver.h"
#include "acquisition/transport/Download.h"
#include "acquisition/transport/TlsTrust.h"
#include "acquisition/transport/TransferClock.h"
#include "acquisition/transport/Url.h"
#include "samplehost/ProbeSocket.h"

namespace orvella::host {

namespace {

using Clock = std::chrono::steady_clock;

// The driver's own download, as an ONVIF camera's worker uses it.
class DownloadPoster final : public onvif::Poster {
 public:
  explicit DownloadPoster(const std::string& tlsTrust) : trust(TlsTrust::Parse(tlsTrust)) {
    limits.connectMs = 3000;
    limits.answerMs = 10000;  // a camera that is slow to answer is reported, not waited for
    limits.stallMs = 5000;
    download.OpenSession();
  }
  Answer Post(const std::string& url, const std::string& contentType, const std::string& body) override {
    Download::Body into{buffer, 0, std::string()};
    const long status = download.Post(url.c_str(), contentType, body, limits, trust, into);
    return Answer{status, std::string(reinterpret_cast<const char*>(buffer.Data()), into.size)};
  }

 private:
  Download download;
  ReceiveBuffer buffer;
  TransferLimits limits;
  TlsTrust trust;
};

std::string NewMessageId() {
  std::random_device random;
  unsigned char b[16];
  for (unsigned char& c : b) c = static_cast<unsigned char>(random());
  b[6] = (b[6] & 0x0F) | 0x40;  // version 4
  b[8] = (b[8] & 0x3F) | 0x80;
  char text[64];
  std::snprintf(text, sizeof text, "urn:uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

// "host[:port]", port 3702 unless given.
void SendProbe(ProbeSocket& socket, const std::string& address, const std::string& message) {
  const size_t colon = address.rfind(':');
  int port = onvif::kDiscoveryPort;
  std::string host = address;
  if (colon != std::string::npos) {
    port = std::atoi(address.c_str() + colon + 1);
    host.resize(colon);
    if (port < 1 || port > 65535) throw std::runtime_error("--probe " + address + ": the port is not 1 to 65535");
  }
  // The driver's own look-up: the first IPv4 address of the name.
  std::string error;
  for (const std::string& found : rtsp_resolver::LookUp(host, error))
    if (found.find_first_of("[:") == std::string::npos) return socket.SendTo(found, port, message);
  throw std::runtime_error("--probe: unknown host " + host + (error.empty() ? "" : " (" + error + ")"));
}

// Probes (twice: datagrams get lost) and collects the distinct answers.
std::vector<onvif::Match> Collect(const DiscoverOptions& o) {
  const std::string id = NewMessageId(), probe = onvif::ProbeMessage(id);
  ProbeSocket socket;
  const auto send = [&](bool report) {
    if (o.multicast) {
      const auto via = socket.SendToGroup(onvif::kDiscoveryGroup, onvif::kDiscoveryPort, probe);
      if (report)
        for (const std::string& v : via)
          std::printf("probing %s:%d via %s\n", onvif::kDiscoveryGroup, onvif::kDiscoveryPort, v.c_str());
    }
    for (const std::string& a : o.probe) {
      SendProbe(socket, a, probe);
      if (report) std::printf("probing %s\n", a.c_str());
    }
  };
  send(true);
  std::fflush(stdout);
  std::vector<onvif::Match> found;
  const Clock::time_point start = Clock::now();
  bool again = false;
  for (;;) {
    const int elapsed = int(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    if (elapsed >= o.listenMs) break;
    if (!again && elapsed >= 250) send(false), again = true;
    std::string datagram;
    if (!socket.Receive(datagram, again ? o.listenMs - elapsed : 250 - elapsed)) continue;
    for (onvif::Match& m : onvif::MatchesOf(datagram, id)) {
      bool known = false;
      for (const onvif::Match& f : found) known = known || f.endpoint == m.endpoint;
      if (!known) found.push_back(std::move(m));
    }
  }
  return found;
}

void PrintImageUrls(onvif::Resolver& resolver, const onvif::Address& device, const onvif::Profile& p) {
  std::printf("  profile %s \"%s\": %dx%d %s\n", p.token.c_str(), p.name.c_str(), p.width, p.height,
              p.encoding.c_str());
  for (const bool stream : {false, true}) {
    onvif::Address a = device;
    a.profile = p.token;
    a.stream = stream;
    const std::string url = onvif::ImageUrlOf(a, p.token, stream);
    std::printf("    ImageUrl=%s\n", RedactUrl(url).c_str());
    try {
      std::printf("      gives %s\n", RedactUrl(resolver.Resolve(a)).c_str());
    } catch (const std::exception& e) {
      std::printf("      not resolved: %s\n", RedactSecrets(e.what(), url).c_str());
    }
  }
}

void Describe(const onvif::Match& match, const DiscoverOptions& o) {
  std::printf("\nONVIF camera %s\n", match.endpoint.c_str());
  onvif::Address device;
  bool usable = false;
  for (const std::string& x : match.xaddrs) usable = usable || onvif::AddressOfXAddr(x, device);
  if (!usable) {
    std::printf("  no http:// device service among its addresses (%s)\n", match.xaddrs.front().c_str());
    return;
  }
  device.user = o.user;
  device.password = o.password;
  device.hasCredentials = !o.user.empty();
  const std::string url = onvif::ImageUrlOf(device, "", false);
  std::printf("  at %s:%d, device service %s\n", device.host.c_str(), device.port, device.DeviceService().c_str());
  if (device.path != onvif::Address().path)
    std::printf("  (an onvif:// URL looks for it at %s: use the URLs it gives below)\n", onvif::Address().path.c_str());
  DownloadPoster poster(o.tlsTrust);
  onvif::Resolver resolver(poster);
  try {
    resolver.Resolve(device);
  } catch (const std::exception& e) {
    const std::string scopes = onvif::NameOfScopes(match.scopes);
    if (!scopes.empty()) std::printf("  name and hardware (its scopes): %s\n", scopes.c_str());
    std::printf("  ImageUrl=%s\n  profiles not told: %s%s\n", RedactUrl(url).c_str(),
                RedactSecrets(e.what(), url).c_str(), o.user.empty() ? " (give --user and --password)" : "");
    return;
  }
  try {
    std::printf("  maker and model: %s\n", resolver.DeviceInformation(device).c_str());
  } catch (const std::exception& e) {
    std::printf("  maker and model not told: %s\n", RedactSecrets(e.what(), url).c_str());
  }
  const std::vector<onvif::Profile> profiles = resolver.Profiles();
  for (const onvif::Profile& p : profiles) PrintImageUrls(resolver, device, p);
}

}  // namespace

int Discover(const DiscoverOptions& o) {
  const std::vector<onvif::Match> found = Collect(o);
  std::printf("%zu ONVIF camera%s answered within %d ms\n", found.size(), found.size() == 1 ? "" : "s", o.listenMs);
  for (const onvif::Match& m : found) Describe(m, o);
  if (!found.empty() && !o.password.empty()) std::printf("\n*** stands for the password given with --password\n");
  return found.empty() ? 1 : 0;
}

}  // namespace orvella::host
