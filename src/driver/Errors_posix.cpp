#include <curl/curl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/Errors.h"

namespace orvella::platform {

namespace {
// strerror_r comes in two flavours; overloads pick whichever the C library has.
[[maybe_unused]] const char* Pick(int result, const char* buffer) {
  return result == 0 ? buffer : "";
}
[[maybe_unused]] const char* Pick(const char* result, const char*) {
  return result ? result : "";
}
}  // namespace

void ErrorText(unsigned long code, Win32Exception::Kind kind, char* out, size_t size) {
  if (size == 0) return;
  out[0] = '\0';
  const char* text = "";
  char buffer[256] = "";
  if (kind == Win32Exception::Kind::Internet) {
    text = curl_easy_strerror(static_cast<CURLcode>(code));
  } else {
    text = Pick(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  }
  std::snprintf(out, size, "%s", text ? text : "");
}

unsigned long LastErrorCode() {
  return static_cast<unsigned long>(errno);
}

}  // namespace orvella::platform
