// The RTSP module is loaded the first time a camera asks for rtsp://, so the
// driver itself never needs FFmpeg: without the module or FFmpeg's libraries
// only RTSP cameras fail, with a reason that names what is missing.
#include <dlfcn.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include "acquisition/rtsp/RtspLoader.h"
#include "driver/Mutex.h"
#include "driver/Platform.h"

namespace orvella {

namespace {

const char kModuleName[] = "orvella/liborvella-rtsp.so";  // the private folder beside the driver

std::atomic<const char*> modulePathForTests{nullptr};

std::string ModulePath() {
  const char* override = modulePathForTests.load();
  if (override && *override) return override;
  return platform::BesideDriver(kModuleName);
}

struct Loader {
  Mutex lock;
  const OrvellaRtspApi* api ORVELLA_GUARDED_BY(lock) = nullptr;
  std::string path ORVELLA_GUARDED_BY(lock);  // where `api` came from
};

}  // namespace

void SetRtspModulePathForTests(const char* path) { modulePathForTests = path; }

const OrvellaRtspApi& LoadRtspModule() {
  static Loader loader;
  MutexLock guard(loader.lock);
  const std::string path = ModulePath();
  if (loader.api && loader.path == path) return *loader.api;
  // Never closed: FFmpeg keeps threads and global state.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = dlerror();
    throw std::runtime_error("RTSP needs " + path +
                             " and FFmpeg's libraries (libavformat, libavcodec, libswscale, libavutil): " +
                             (reason ? reason : "unknown reason"));
  }
  auto getApi = reinterpret_cast<OrvellaRtspGetApiFn>(dlsym(handle, ORVELLA_RTSP_GET_API));
  const OrvellaRtspApi* api = getApi ? getApi(ORVELLA_RTSP_ABI_VERSION, sizeof(OrvellaRtspApi)) : nullptr;
  if (!api || api->structSize < sizeof(OrvellaRtspApi))
    throw std::runtime_error("the RTSP module " + path + " does not match the driver");
  loader.api = api;
  loader.path = path;
  return *api;
}

}  // namespace orvella
