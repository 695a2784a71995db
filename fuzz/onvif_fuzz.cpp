// What an ONVIF camera hands the driver: any answer text through the XML
// reader and every reading of it, the URIs it returns and its discovery
// answers. No input
// crashes; a URI taken has no control character and starts with a scheme
// that fits.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "FuzzCheck.h"
#include "acquisition/source/onvif/OnvifAddress.h"
#include "acquisition/source/onvif/OnvifDiscovery.h"
#include "acquisition/source/onvif/OnvifMessages.h"
#include "acquisition/source/onvif/SoapXml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string url = input.ConsumeRandomLengthString(128);
  std::string uri = input.ConsumeRandomLengthString(256);
  const bool snapshot = input.ConsumeBool();
  const std::string answer = input.ConsumeRemainingBytesAsString();

  orvella::onvif::Address address;
  std::string why;
  orvella::onvif::ParseAddress(url, address, why);
  if (orvella::onvif::TakeUri(uri, snapshot, address, why)) {
    for (char c : uri) Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    Check(uri.compare(0, snapshot ? 4 : 4, snapshot ? "http" : "rtsp") == 0);
  }

  orvella::onvif::Address device;
  if (orvella::onvif::AddressOfXAddr(uri, device)) Check(!device.host.empty() && device.path[0] == '/');
  for (const auto& match : orvella::onvif::MatchesOf(answer, url)) {
    Check(!match.xaddrs.empty());
    orvella::onvif::NameOfScopes(match.scopes);
  }

  orvella::soap::Document doc;
  if (!doc.Parse(answer, why)) return 0;
  orvella::onvif::FaultOf(doc).Text();
  std::time_t t = 0;
  orvella::onvif::DeviceTime(doc, t);
  orvella::onvif::ServicesOf(doc);
  orvella::onvif::ProfilesOf(doc);
  orvella::onvif::UriOf(doc);
  orvella::onvif::MakerAndModel(doc);
  return 0;
}
