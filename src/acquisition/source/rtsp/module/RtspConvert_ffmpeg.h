// The RTSP module's conversion of a decoded picture to the driver's BGR.
#pragma once

#include "acquisition/source/rtsp/RtspModule.h"

namespace orvella_rtsp {

// The api table's Convert and FreeCache (RtspModule.h).
int Convert(OrvellaRtspConvertCall* call);
void FreeCache(void* cache);

}  // namespace orvella_rtsp
