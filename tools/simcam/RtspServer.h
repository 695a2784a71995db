// The RTSP side of the simulated camera: GStreamer's RTSP server through
// Python (tests/servers/rtsp_server.py, copied beside orvella-simcam as
// orvella-rtsp-server.py) as a child process. The benchmarks start it too.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace orvella::simcam {

struct RtspServer {
  pid_t pid = -1;
  int port = -1;        // /h264, /h265
  int securePort = -1;  // /secure/h264, Digest login
};

// Starts `script` with `args` under /usr/bin/python3 and waits (up to 30 s)
// for its "port=N secure_port=M" line. The server ends with this process.
// Raises std::runtime_error with what is missing.
RtspServer StartRtspServer(const std::string& script, const std::vector<std::string>& args);
// The same with the script copied beside this program (orvella-rtsp-server.py).
RtspServer StartRtspServerBesideProgram(const std::vector<std::string>& args);
void StopRtspServer(RtspServer& server);

}  // namespace orvella::simcam
