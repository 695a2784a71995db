#include "acquisition/source/onvif/OnvifAddress.h"

#include <cstdlib>

#include "acquisition/transport/Url.h"

namespace orvella::onvif {

namespace {
constexpr char kScheme[] = "onvif://";

bool Fail(std::string& why, const char* text) {
  why = text;
  return false;
}
}  // namespace

std::string Address::DeviceService() const {
  return "http://" + host + ":" + std::to_string(port) + path;
}

std::string Address::UserInfo() const {
  return hasCredentials ? PercentEncoded(user) + ":" + PercentEncoded(password) + "@" : "";
}

bool ParseAddress(const std::string& url, Address& out, std::string& why) {
  out = Address{};
  if (url.compare(0, sizeof kScheme - 1, kScheme) != 0) return Fail(why, "not an onvif:// URL");
  const auto info = UserInfoRange(url);
  size_t hostStart = sizeof kScheme - 1;
  if (info.first != info.second) {
    const std::string userInfo = url.substr(info.first, info.second - info.first);
    const size_t colon = userInfo.find(':');
    out.user = PercentDecoded(userInfo.substr(0, colon));
    if (colon != std::string::npos) out.password = PercentDecoded(userInfo.substr(colon + 1));
    out.hasCredentials = true;
    hostStart = info.second + 1;
  }
  size_t hostEnd = url.find_first_of("/?", hostStart);
  if (hostEnd == std::string::npos) hostEnd = url.size();
  std::string authority = url.substr(hostStart, hostEnd - hostStart);
  if (authority.find('@') != std::string::npos) return Fail(why, "the onvif:// URL names no host");
  const size_t bracket = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
    const std::string digits = authority.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::atoi(digits.c_str()) < 1 || std::atoi(digits.c_str()) > 65535)
      return Fail(why, "the onvif:// URL's port is not a number from 1 to 65535");
    out.port = std::atoi(digits.c_str());
    authority.resize(colon);
  }
  if (authority.empty() || authority.find_first_of(" \t\r\n@") != std::string::npos)
    return Fail(why, "the onvif:// URL names no host");
  out.host = authority;
  std::string rest = url.substr(hostEnd);
  const size_t query = rest.find('?');
  if (query != std::string::npos) {
    const std::string options = rest.substr(query + 1);
    if (options != "stream") return Fail(why, "the onvif:// URL's only option is ?stream");
    out.stream = true;
    rest.resize(query);
  }
  while (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  out.profile = PercentDecoded(rest);
  return true;
}

bool TakeUri(std::string& uri, bool snapshot, const Address& address, std::string& why) {
  std::string clean;
  for (char c : uri)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) clean += c;
  const size_t first = clean.find_first_not_of(' ');
  clean = first == std::string::npos ? "" : clean.substr(first, clean.find_last_not_of(' ') - first + 1);
  const size_t scheme = clean.find("://");
  const std::string name = scheme == std::string::npos ? "" : clean.substr(0, scheme);
  const bool web = name == "http" || name == "https", rtsp = name == "rtsp" || name == "rtsps";
  if (clean.empty() || clean == "(null)" || scheme == std::string::npos)
    return Fail(why, snapshot ? "the camera's snapshot URI is no URL" : "the camera's stream URI is no URL");
  if (snapshot ? !web : !rtsp)
    return Fail(why, snapshot ? "the camera's snapshot URI is not an http:// or https:// URL"
                              : "the camera's stream URI is not an rtsp:// or rtsps:// URL");
  const size_t hostStart = scheme + 3;
  const auto info = UserInfoRange(clean);
  const size_t host = info.first != info.second ? info.second + 1 : hostStart;
  if (host >= clean.size() || clean.find_first_of("/?#:", host) == host)
    return Fail(why, snapshot ? "the camera's snapshot URI names no host" : "the camera's stream URI names no host");
  if (info.first == info.second) clean.insert(hostStart, address.UserInfo());
  uri = clean;
  return true;
}

}  // namespace orvella::onvif
