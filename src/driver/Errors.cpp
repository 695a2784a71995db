#include "driver/Errors.h"

#include <cstdio>
#include <cstring>

namespace orvella {

namespace {
void Compose(char* text, size_t size, unsigned long code, Win32Exception::Kind kind, const std::string* detail) {
  text[0] = '\0';
  if (detail && !detail->empty()) {
    std::snprintf(text, size, "%s", detail->c_str());
  } else {
    platform::ErrorText(code, kind, text, size);
  }
  if (text[0] == '\0') std::snprintf(text, size, "error %lu", code);
}
}  // namespace

Win32Exception::Win32Exception() : Win32Exception(platform::LastErrorCode()) {}

Win32Exception::Win32Exception(unsigned long code, Kind kind)
    : std::runtime_error("Win32 error"), errorCode(code), kind(kind) {
  Compose(text, sizeof text, code, kind, nullptr);
}

Win32Exception::Win32Exception(unsigned long code, Kind kind, const std::string& detail)
    : std::runtime_error("Win32 error"), errorCode(code), kind(kind) {
  Compose(text, sizeof text, code, kind, &detail);
}

const char* Win32Exception::what() const noexcept { return text; }

GDIException::GDIException(int status) : std::runtime_error("GDI error"), status(status) {
  std::snprintf(text, sizeof text, "GDI Error %d", status);
}

GDIException::GDIException(int status, const std::string& detail) : std::runtime_error("GDI error"), status(status) {
  std::snprintf(text, sizeof text, "GDI Error %d (%s)", status, detail.c_str());
}

const char* GDIException::what() const noexcept { return text; }

void CheckGdiStatus(int status) {
  if (status == 0) return;
  if (status == 7) throw Win32Exception();
  throw GDIException(status);
}

}  // namespace orvella
