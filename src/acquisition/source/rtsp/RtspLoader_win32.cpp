// The Windows module carries FFmpeg linked in: only the DLL itself is needed.
#include <windows.h>

#include "acquisition/source/rtsp/RtspLoader.h"
#include "driver/Errors.h"

namespace orvella::rtsp_module {

// Backslashes: the altered search below applies to a full Windows path only.
const char kFile[] = "orvella\\orvella-rtsp.dll";
const char kAlsoNeeded[] = "";

bool Load(const std::string& path, OrvellaRtspGetApiFn& entry, std::string& reason) {
  // The module's own imports are searched beside it first, never in the
  // host's current directory before Windows' own.
  HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) {
    reason = Win32Exception().what();
    return false;
  }
  entry = reinterpret_cast<OrvellaRtspGetApiFn>(reinterpret_cast<void*>(GetProcAddress(module, ORVELLA_RTSP_GET_API)));
  return true;
}

}  // namespace orvella::rtsp_module
