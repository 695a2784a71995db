#include "acquisition/transport/UrlLogin.h"

#include <algorithm>
#include <cctype>

#include "acquisition/transport/HttpAnswer.h"
#include "driver/Text.h"

namespace orvella {

UrlLogin SplitLogin(const std::string& url) {
  UrlLogin login;
  login.url = url;
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return login;
  const auto info = UserInfoRange(url);
  const size_t hostStart = info.first != info.second ? info.second + 1 : scheme + 3;
  size_t hostEnd = url.find_first_of("/?#\\", hostStart);
  if (hostEnd == std::string::npos) hostEnd = url.size();
  if (info.first != info.second) {
    const std::string userInfo = url.substr(info.first, info.second - info.first);
    const size_t colon = userInfo.find(':');
    login.user = PercentDecoded(userInfo.substr(0, colon));
    if (colon != std::string::npos) login.password = PercentDecoded(userInfo.substr(colon + 1));
    login.hasCredentials = true;
    login.url = url.substr(0, scheme + 3) + url.substr(hostStart);
  }
  const std::string name = AsciiLower(url.substr(0, scheme));
  std::string host = AsciiLower(url.substr(hostStart, hostEnd - hostStart));
  if (host.find(':', host.rfind(']') == std::string::npos ? 0 : host.rfind(']')) == std::string::npos)
    host += name == "https"   ? ":443"
            : name == "ftp"   ? ":21"
            : name == "rtsp"  ? ":554"
            : name == "rtsps" ? ":322"
                              : ":80";
  login.origin = name + "://" + host;
  std::string target = url.substr(hostEnd);
  target = target.substr(0, target.find('#'));
  login.target = target.empty() || target[0] != '/' ? "/" + target : target;
  return login;
}

bool SameOrigin(const UrlLogin& login, const std::string& target) {
  return SplitLogin(target).origin == login.origin;
}

std::string ResolveLocation(const std::string& base, const std::string& location) {
  std::string ref = location.substr(0, location.find('#'));
  while (!ref.empty() && (ref.back() == ' ' || ref.back() == '\t')) ref.pop_back();
  ref.erase(0, std::min(ref.find_first_not_of(" \t"), ref.size()));
  const size_t colon = ref.find(':');
  if (colon != std::string::npos && colon > 0 && std::isalpha(static_cast<unsigned char>(ref[0])) &&
      ref.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == colon)
    return ref;  // a whole URL
  const size_t scheme = base.find("://");
  if (scheme == std::string::npos) return ref;
  if (ref.rfind("//", 0) == 0) return base.substr(0, scheme + 1) + ref;
  size_t authorityEnd = base.find_first_of("/?#\\", scheme + 3);
  if (authorityEnd == std::string::npos) authorityEnd = base.size();
  const std::string root = base.substr(0, authorityEnd);
  std::string path = base.substr(authorityEnd);
  path = path.substr(0, path.find_first_of("?#"));
  if (path.empty()) path = "/";
  if (ref.empty()) return root + base.substr(authorityEnd, base.find('#', authorityEnd) - authorityEnd);
  if (ref[0] == '/') return root + ref;
  if (ref[0] == '?') return root + path + ref;
  return root + path.substr(0, path.rfind('/') + 1) + ref;
}

std::string RedirectRefusalText(const std::string& target) {
  return "redirect to " + ServerWords(SplitLogin(target).origin) +
         " not followed: the camera's login goes only to its own address";
}

}  // namespace orvella
