// The RTSP module is loaded the first time a camera asks for rtsp://, so the
// driver itself never needs FFmpeg: without the module (or, on Linux,
// FFmpeg's libraries) only RTSP cameras fail, with a reason that names what
// is missing.
#include "acquisition/source/rtsp/RtspLoader.h"

#include <atomic>
#include <stdexcept>
#include <string>

#include "driver/ModuleLoader.h"
#include "driver/Mutex.h"
#include "driver/Platform.h"

namespace orvella {

namespace {

// What the module needs besides itself, for the reason a failed load gives:
// on Linux it links the system's FFmpeg; the Windows module carries FFmpeg
// and the runtime.
const char* AlsoNeeded() {
  return kModulesUseSystemLibraries ? " and FFmpeg's libraries (libavformat, libavcodec, libswscale, libavutil)" : "";
}

std::atomic<const char*> modulePathForTests{nullptr};

std::string ModulePath() {
  const char* override = modulePathForTests.load();
  if (override && *override) return override;
  return platform::BesideDriver(ModuleFile("orvella-rtsp"));
}

struct Loader {
  Mutex lock;
  const OrvellaRtspApi* api ORVELLA_GUARDED_BY(lock) = nullptr;
  std::string path ORVELLA_GUARDED_BY(lock);  // where `api` came from
};

}  // namespace

void SetRtspModulePathForTests(const char* path) {
  modulePathForTests = path;
}

const OrvellaRtspApi& LoadRtspModule() {
  static Loader loader;
  MutexLock guard(loader.lock);
  const std::string path = ModulePath();
  if (loader.api && loader.path == path) return *loader.api;
  // Never unloaded: FFmpeg keeps threads and global state.
  std::string reason;
  void* module = LoadModule(path, reason);
  if (!module)
    throw std::runtime_error("RTSP needs " + path + AlsoNeeded() + ": " + (reason.empty() ? "unknown reason" : reason));
  auto getApi = ModuleFunction<OrvellaRtspGetApiFn>(module, ORVELLA_RTSP_GET_API);
  const OrvellaRtspApi* api = getApi ? getApi(ORVELLA_RTSP_ABI_VERSION, sizeof(OrvellaRtspApi)) : nullptr;
  if (!api || api->structSize < sizeof(OrvellaRtspApi)) {
    // A module from an older driver answers only its own version; its open
    // would refuse our larger calls (and could not check rtsps certificates).
    for (int older = ORVELLA_RTSP_ABI_VERSION - 1; getApi && !api && older >= 1; --older)
      if (getApi(older, sizeof(size_t) + sizeof(int)))
        throw std::runtime_error("the RTSP module " + path + " is older than the driver (interface " +
                                 std::to_string(older) + ", the driver needs " +
                                 std::to_string(ORVELLA_RTSP_ABI_VERSION) + "): install the module that came with it");
    throw std::runtime_error("the RTSP module " + path + " does not match the driver");
  }
  loader.api = api;
  loader.path = path;
  return *api;
}

}  // namespace orvella
