#include "simcam/RtspServer.h"

#include <stdexcept>

namespace orvella::simcam {

// GStreamer's RTSP server runs on Linux only.
RtspServer StartRtspServer(const std::string&, const std::vector<std::string>&) {
  throw std::runtime_error("--rtsp needs GStreamer's RTSP server, which the Linux tools use");
}

RtspServer StartRtspServerBesideProgram(const std::vector<std::string>&) { return StartRtspServer("", {}); }

void StopRtspServer(RtspServer&) {}

}  // namespace orvella::simcam
