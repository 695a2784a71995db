// The Windows product has no RTSP module: rtsp:// cameras fail with a reason.
#include <stdexcept>

#include "acquisition/rtsp/RtspLoader.h"

namespace orvella {

const OrvellaRtspApi& LoadRtspModule() { throw std::runtime_error("RTSP is not available in this build"); }

void SetRtspModulePathForTests(const char*) {}

}  // namespace orvella
