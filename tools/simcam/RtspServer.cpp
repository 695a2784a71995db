#include <sys/types.h>

#include <cstdio>
#include <stdexcept>

#include "simcam/RtspServer.h"
#include "simcam/ScriptServer.h"

namespace orvella::simcam {

RtspServer StartRtspServer(const std::string& script, const std::vector<std::string>& args) {
  ScriptServer child = StartScriptServer(script, args);
  RtspServer server;
  server.pid = pid_t(child.pid);
  if (std::sscanf(child.firstLine.c_str(), "port=%d secure_port=%d", &server.port, &server.securePort) != 2) {
    StopRtspServer(server);
    throw std::runtime_error(
        "the RTSP server did not start (it needs Debian's python3-gi, gir1.2-gst-rtsp-server-1.0 "
        "and GStreamer's plugins: tools/setup.sh)");
  }
  return server;
}

void StopRtspServer(RtspServer& server) {
  ScriptServer child{server.pid, ""};
  StopScriptServer(child);
  server.pid = -1;
}

RtspServer StartRtspServerBesideProgram(const std::vector<std::string>& args) {
  return StartRtspServer(BesideProgram("orvella-rtsp-server.py"), args);
}

}  // namespace orvella::simcam
