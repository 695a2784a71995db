// Finding the RTSP module: in the private folder "orvella" beside the driver
// (liborvella-rtsp.so beside the Linux library, orvella-rtsp.dll beside the DLL).
#pragma once

#include <string>

#include "acquisition/source/rtsp/RtspModule.h"

namespace orvella {

// The module's table, loaded on first use and kept for the life of the
// process (FFmpeg cannot be unloaded safely). Raises std::runtime_error with
// a reason that says what is missing; a failed load is tried again next time.
// Thread-safe.
const OrvellaRtspApi& LoadRtspModule();

// Tests that link the core statically (no library to sit beside) name the
// module here; nothing outside the process chooses the code a host loads.
void SetRtspModulePathForTests(const char* path);

// Platform part (RtspLoader_posix.cpp, RtspLoader_win32.cpp).
namespace rtsp_module {
// The module below the driver's folder, and what it needs besides itself
// ("" or " and ..."), for the reason a failed load gives.
extern const char kFile[];
extern const char kAlsoNeeded[];
// Loads the module for good: its entry point (null when it has none), or
// false with the system's reason when it cannot be loaded.
bool Load(const std::string& path, OrvellaRtspGetApiFn& entry, std::string& reason);
}  // namespace rtsp_module

}  // namespace orvella
