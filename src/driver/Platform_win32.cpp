#include "driver/Platform.h"

#include <windows.h>

#include <share.h>

namespace orvella::platform {

const char kPathSeparator = '\\';

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm out{};
  localtime_s(&out, &now);
  return out;
}

// Text mode: every "\n" reaches the disk as CR LF. _SH_DENYNO: no sharing restriction.
std::FILE* OpenForAppend(const std::string& path) { return _fsopen(path.c_str(), "at", _SH_DENYNO); }

// A pinned module stays loaded until the process ends, whatever FreeLibrary
// calls the host makes; a worker still running can never execute freed code.
void PinLibrary() {
  static bool pinned = false;
  if (pinned) return;
  HMODULE self = nullptr;
  pinned = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCSTR>(&PinLibrary), &self) != 0;
}

}  // namespace orvella::platform
