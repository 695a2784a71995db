// An RTSP module as an older driver shipped it: it answers only interface 2,
// whose calls were smaller. The driver must refuse it with a reason.
#include <cstddef>

#include "acquisition/source/rtsp/RtspModule.h"

#ifdef _WIN32
#define TEST_MODULE_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

TEST_MODULE_EXPORT const OrvellaRtspApi* orvellaRtspGetApi(int version, size_t apiSize) {
  static const OrvellaRtspApi api{
      sizeof(OrvellaRtspApi), 2, "none", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return version == 2 && apiSize <= sizeof api ? &api : nullptr;
}
