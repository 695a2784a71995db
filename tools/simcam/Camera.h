// The simulated camera's options, and its pictures and fault schedule.
#ifndef ORVELLA_TOOLS_CAMERA_H
#define ORVELLA_TOOLS_CAMERA_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "driver/Mutex.h"
#include "simcam/Picture.h"
#include "simcam/Secure.h"

namespace orvella::simcam {

struct Config {
  std::string bind = "127.0.0.1";
  long port = 8080;
  long width = 640, height = 480, quality = 85;
  long latencyMs = 0;
  long failEvery = 0;
  double failRate = 0;
  std::string failMode = "500";
  long framesCache = 0;
  double mjpegFps = 0;
  std::string dumpDir;
  std::string file;
  long ftpPort = -1;
  std::string ftpDir;
  long ftpIntervalMs = 100;
  long rtspPort = -1;
  long onvifPort = -1, onvifDiscoveryPort = 3702;
  bool onvifMulticast = false;
  long seed = 1;
  bool verbose = false;
  std::string auth, user = "user", password = "pass";
  bool tls = false;
};

// Written under a temporary name and renamed, so a reader never sees half a file.
void WriteAtomically(const std::string& path, const std::string& data);

// The pictures and the fault schedule. Thread-safe: every connection thread
// and the FTP writer call it.
class Camera {
 public:
  enum class Outcome { kServe, kError500, kDrop };

  explicit Camera(const Config& c);

  using Picture = std::shared_ptr<const std::string>;

  Login login;
  std::atomic<std::uint64_t> received{0};  // requests for /image.jpg, refused logins included
  const std::unique_ptr<TlsServer> tls;    // null without --tls

  Outcome Decide();

  // The next picture and its frame number (1, 2, 3, ...: failed requests use none).
  // Cached pictures are shared, not copied: benchmarks measure the client.
  Picture NextFrame(JpegEncoder& encoder, std::uint64_t& n);

 private:
  Picture Encode(JpegEncoder& encoder, std::uint64_t n);

  const Config& config;
  std::vector<Picture> cache;  // read-only after construction
  std::atomic<std::uint64_t> requests{0}, frames{0}, failures{0};
  orvella::Mutex rngLock;
  std::mt19937_64 rng ORVELLA_GUARDED_BY(rngLock);
};

}  // namespace orvella::simcam

#endif
