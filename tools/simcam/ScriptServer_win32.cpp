#include <stdexcept>

#include "simcam/ScriptServer.h"

namespace orvella::simcam {

// The Python servers (GStreamer, the ONVIF device) run with the Linux tools.
ScriptServer StartScriptServer(const std::string& script, const std::vector<std::string>&) {
  throw std::runtime_error(script + " runs with the Linux tools only");
}

std::string BesideProgram(const std::string& name) {
  return name;
}

void StopScriptServer(ScriptServer&) {}

}  // namespace orvella::simcam
