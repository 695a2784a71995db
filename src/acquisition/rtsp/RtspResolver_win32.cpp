// The Windows product has no RTSP module, so nothing to resolve for it.
#include "acquisition/rtsp/RtspResolver.h"

namespace orvella {

std::string ResolveUrlHost(const std::string& url, const std::function<bool()>&) { return url; }

}  // namespace orvella
