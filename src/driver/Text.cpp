#include "driver/Text.h"

#include <cctype>
#include <stdexcept>
#include <utility>

namespace orvella {

namespace {
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
}  // namespace

bool EqualsNoCase(const char* a, const char* b) {
  if (!a || !b) return false;
  for (; *a && *b; ++a, ++b)
    if (Lower(*a) != Lower(*b)) return false;
  return *a == *b;
}

namespace {

// Length of "scheme:" at the start of the URL when the scheme is followed by
// '/' or '\' (libraries accept one to three of either); 0 when there is none,
// so "user:pw@host" has no scheme.
size_t SchemeLength(const std::string& url) {
  size_t i = 0;
  while (i < url.size() && (std::isalnum(static_cast<unsigned char>(url[i])) || url[i] == '+' || url[i] == '-' ||
                            url[i] == '.'))
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

void ReplaceAll(std::string& text, const std::string& secret) {
  if (secret.empty()) return;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
    text.replace(at, secret.size(), "***");
}

}  // namespace

std::string RedactUrl(const std::string& url) {
  auto range = PasswordOf(url);
  if (range.first == range.second) return url;
  return url.substr(0, range.first) + "***" + url.substr(range.second);
}

std::string RedactSecrets(const std::string& text, const std::string& url) {
  auto range = PasswordOf(url);
  if (range.first == range.second) return text;
  std::string secret = url.substr(range.first, range.second - range.first);
  std::string out = text;
  ReplaceAll(out, secret);
  ReplaceAll(out, PercentDecoded(secret));
  return out;
}

std::string CanonicalUrl(const std::string& url) {
  size_t scheme = SchemeLength(url);
  if (scheme == 0)
    throw std::runtime_error("ImageUrl has no scheme: it must begin with http://, https:// or ftp://");
  size_t authority = AuthorityStart(url);
  if (authority == scheme + 2 && url.compare(scheme, 2, "//") == 0) return url;
  return url.substr(0, scheme) + "//" + url.substr(AuthorityStart(url));
}

}  // namespace orvella
