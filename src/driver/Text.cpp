#include "driver/Text.h"

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

std::string RedactUrl(const std::string& url) {
  size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  size_t authority = scheme + 3;
  size_t end = url.find_first_of("/?#", authority);
  if (end == std::string::npos) end = url.size();
  // The last '@' of the authority ends the user info (a password may hold '@').
  size_t at = url.rfind('@', end - 1);
  if (at == std::string::npos || at < authority) return url;
  size_t colon = url.find(':', authority);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon + 1) + "***" + url.substr(at);
}

}  // namespace orvella
