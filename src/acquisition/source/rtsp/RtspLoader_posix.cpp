// The Linux module and the FFmpeg libraries it links, through the dynamic loader.
#include <dlfcn.h>

#include "acquisition/source/rtsp/RtspLoader.h"

namespace orvella::rtsp_module {

const char kFile[] = "orvella/liborvella-rtsp.so";
const char kAlsoNeeded[] = " and FFmpeg's libraries (libavformat, libavcodec, libswscale, libavutil)";

bool Load(const std::string& path, OrvellaRtspGetApiFn& entry, std::string& reason) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* text = dlerror();
    reason = text ? text : "";
    return false;
  }
  entry = reinterpret_cast<OrvellaRtspGetApiFn>(dlsym(handle, ORVELLA_RTSP_GET_API));
  return true;
}

}  // namespace orvella::rtsp_module
