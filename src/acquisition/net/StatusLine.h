// An HTTP status line as a header callback sees it ("HTTP/1.1 404 Not Found").
#pragma once

#include <cstddef>
#include <cstring>

namespace orvella {

// True for a status line; then `code` is its status and `phrase` the offset
// of its reason phrase (line end included).
inline bool ParseStatusLine(const char* data, size_t length, long& code, size_t& phrase) {
  if (length <= 5 || std::memcmp(data, "HTTP/", 5) != 0) return false;
  size_t i = 5;
  while (i < length && data[i] != ' ') ++i;
  while (i < length && data[i] == ' ') ++i;
  code = 0;
  while (i < length && data[i] >= '0' && data[i] <= '9' && code < 100000) code = code * 10 + (data[i++] - '0');
  phrase = i;
  return true;
}

}  // namespace orvella
