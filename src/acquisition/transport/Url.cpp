#include "acquisition/transport/Url.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "acquisition/transport/HttpAnswer.h"
#include "driver/Text.h"

namespace orvella {

namespace {

// Length of "scheme:" at the start of the URL when the scheme is followed by
// '/' or '\' (libraries accept one to three of either); 0 when there is none,
// so "user:pw@host" has no scheme.
size_t SchemeLength(const std::string& url) {
  size_t i = 0;
  while (i < url.size() &&
         (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' || url[i] == '-' || url[i] == '.'))
    ++i;
  bool letterFirst = !url.empty() && std::isalpha(static_cast<unsigned char>(url[0]));
  if (!letterFirst || i + 1 >= url.size() || url[i] != ':' || (url[i + 1] != '/' && url[i + 1] != '\\')) return 0;
  return i + 1;
}

size_t AuthorityStart(const std::string& url) {
  size_t i = SchemeLength(url);
  if (i == 0) return 0;
  while (i < url.size() && (url[i] == '/' || url[i] == '\\')) ++i;
  return i;
}

// The password's range in `url` (the last '@' ends the user info: a password
// may hold '@', '/', '?' or '#'); empty when there is none.
std::pair<size_t, size_t> PasswordRange(const std::string& url, size_t start) {
  size_t at = url.rfind('@');
  if (at == std::string::npos || at < start) return {0, 0};
  size_t colon = url.find(':', start);
  if (colon == std::string::npos || colon > at) return {0, 0};
  return {colon + 1, at};
}

std::pair<size_t, size_t> PasswordOf(const std::string& url) {
  auto range = PasswordRange(url, AuthorityStart(url));
  // Without a well-formed "scheme://", "user:/pw@host" must not escape as
  // a scheme named "user".
  size_t scheme = SchemeLength(url);
  bool wellFormed = scheme > 0 && url.compare(scheme, 2, "//") == 0;
  if (range.first == range.second && !wellFormed) range = PasswordRange(url, 0);
  return range;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

void ReplaceAll(std::string& text, const std::string& secret) {
  if (secret.empty()) return;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
    text.replace(at, secret.size(), "***");
}

// The secret in every form a text may quote it in.
void ReplaceForms(std::string& text, const std::string& secret) {
  const std::string decoded = PercentDecoded(secret);
  for (const std::string& form : {secret, decoded, PercentEncoded(decoded, true), PercentEncoded(decoded, false)})
    ReplaceAll(text, form);
}

// Whether `text` is "host[:port]" (a name, an IPv4 address or a bracketed
// IPv6 address; the port digits only).
bool IsHostPort(const std::string& text) {
  size_t i = 0;
  if (!text.empty() && text[0] == '[') {
    i = text.find(']');
    if (i == std::string::npos || i < 2) return false;
    ++i;
  } else {
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '-' || text[i] == '.' ||
                               text[i] == '_' || text[i] == '~' || text[i] == '%'))
      ++i;
    if (i == 0) return false;
  }
  if (i == text.size()) return true;
  if (text[i] != ':') return false;
  for (++i; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

size_t AuthorityEnd(const std::string& url, size_t from) {
  size_t end = url.find_first_of("/?#\\", from);
  return end == std::string::npos ? url.size() : end;
}

}  // namespace

std::string PercentEncoded(const std::string& text, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += digits[u >> 4];
      out += digits[u & 15];
    }
  }
  return out;
}

std::string RedactUrl(const std::string& url) {
  auto range = PasswordOf(url);
  if (range.first == range.second) return url;
  return url.substr(0, range.first) + "***" + url.substr(range.second);
}

std::string RedactSecrets(const std::string& text, const std::string& url) {
  std::string out = text;
  auto range = PasswordOf(url);
  if (range.first != range.second) ReplaceForms(out, url.substr(range.first, range.second - range.first));
  // The password as the download reads it, where that is shorter.
  auto info = UserInfoRange(url);
  size_t colon = url.find(':', info.first);
  if (info.first != info.second && colon < info.second)
    ReplaceForms(out, url.substr(colon + 1, info.second - colon - 1));
  return out;
}

std::pair<size_t, size_t> UserInfoRange(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return {0, 0};
  const size_t start = scheme + 3;
  const size_t end = AuthorityEnd(url, start);
  const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at != std::string::npos && at >= start && IsHostPort(url.substr(at + 1, end - at - 1))) return {start, at};
  if (IsHostPort(url.substr(start, end - start))) return {0, 0};
  const size_t last = url.rfind('@');
  if (last == std::string::npos || last < start) return {0, 0};
  const size_t hostEnd = AuthorityEnd(url, last + 1);
  if (!IsHostPort(url.substr(last + 1, hostEnd - last - 1))) return {0, 0};
  return {start, last};
}

std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    int high = (text[i] == '%' && i + 2 < text.size()) ? HexValue(text[i + 1]) : -1;
    int low = high >= 0 ? HexValue(text[i + 2]) : -1;
    if (low >= 0) {
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void MakeCanonical(std::string& url) {
  size_t scheme = SchemeLength(url);
  if (scheme == 0) throw std::runtime_error("ImageUrl has no scheme: it must begin with http://, https:// or ftp://");
  size_t authority = AuthorityStart(url);
  if (authority == scheme + 2 && url.compare(scheme, 2, "//") == 0) return;  // the usual case: untouched
  url.replace(scheme, authority - scheme, "//");
}

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

bool IsHttpUrl(const std::string& url) {
  const std::string origin = SplitLogin(url).origin;
  return origin.rfind("http://", 0) == 0 || origin.rfind("https://", 0) == 0;
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
