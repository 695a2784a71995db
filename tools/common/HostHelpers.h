// What the sample host and the viewer do alike around the driver: their
// cameras' sections of the settings file, the simulated camera they start
// when given no URL, and the driver's log lines on stderr.
#ifndef ORVELLA_TOOLS_HOSTHELPERS_H
#define ORVELLA_TOOLS_HOSTHELPERS_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "Orvella.h"
#include "common/HostPlatform.h"
#include "common/Options.h"

namespace orvella::host {

using Clock = std::chrono::steady_clock;

inline double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The keys a tool writes into each of its cameras' sections.
struct CameraSection {
  std::string url, tlsTrust;  // TlsTrust written only when not empty
  int width = 640, height = 480, rate = 2, logLevel = 1;
  bool gray = false;
};

// The options the sample host and the viewer share: the driver and its
// system directory, their cameras' sections, the simulated camera's extra
// options and whether the driver's lines are printed.
struct HostOptions {
  std::string library, dir, simcamArgs;
  CameraSection section;
  bool verbose = false;
};

// Declares --url, --tls-trust, --library (default: beside this program), --dir, --simcam,
// --width, --height, --rate, --log-level, --gray and --verbose.
void AddHostOptions(orvella::tools::Options& options, HostOptions& o);

// Rewrites the settings file with a fresh section for each of `cameras`
// (names compared without case); every other line stays as it was.
void WriteCameraSections(const std::string& path, const std::vector<std::string>& cameras, const CameraSection& keys);

// True when `camera`'s section in the settings file has a non-empty ImageUrl.
bool HasImageUrl(const std::string& path, const std::string& camera);

// orvella-simcam from beside this program, serving width x height pictures;
// `extraArgs` are more of its options, separated by spaces. Prints its URL.
std::unique_ptr<SimCamProcess> StartSimCam(int width, int height, const std::string& extraArgs);

// A debug callback (any thread): the driver's lines on stderr, each after
// "driver: ". The driver sends a line in pieces (time stamp, then message).
void ORVELLA_CALL PrintDriverLine(const char* text);

}  // namespace orvella::host

#endif
