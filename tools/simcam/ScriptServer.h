// The simulated camera's servers written in Python (GStreamer's RTSP server,
// the ONVIF device), copied beside orvella-simcam, run as child processes
// that end with it.
#pragma once

#include <string>
#include <vector>

namespace orvella::simcam {

struct ScriptServer {
  long pid = -1;
  std::string firstLine;  // what it printed once serving ("port=N …")
};

// Starts `script` with `args` under /usr/bin/python3 and waits (up to 30 s)
// for its first line. Raises std::runtime_error when it prints none.
ScriptServer StartScriptServer(const std::string& script, const std::vector<std::string>& args);
// `name` from beside this program.
std::string BesideProgram(const std::string& name);
void StopScriptServer(ScriptServer& server);

}  // namespace orvella::simcam
