// Finding the RTSP module: in the private folder "orvella" beside the driver
// (liborvella-rtsp.so beside the Linux library, orvella-rtsp.dll beside the DLL).
#pragma once

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

}  // namespace orvella
