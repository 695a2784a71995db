// The driver's 17 exports, resolved by name from a library loaded at run
// time, as a host application does; Orvella.h gives only their types.
#ifndef ORVELLA_TOOLS_DRIVEREXPORTS_H
#define ORVELLA_TOOLS_DRIVEREXPORTS_H

#include <stdexcept>

#include "Orvella.h"
#include "samplehost/HostPlatform.h"

namespace orvella::host {

// clang-format off
#define ORVELLA_EXPORT_LIST(X)                                                                  \
  X(initialize) X(finalize) X(setSystemPath) X(setDebugMsgProc)                                 \
  X(getCVLMaxNoOfGrabbers) X(getCVLMaxNoOfPorts) X(getCVLNoOfSupportedCameras)                  \
  X(getCVLCameraConfigNames) X(openCVLPort) X(closeCVLPort) X(doCVLGrab) X(getCVLGrabRow)       \
  X(setCompleteCallback) X(getPropertyRange) X(getProperty) X(setProperty) X(configureCamera)
// clang-format on

struct DriverExports {
#define ORVELLA_EXPORT_MEMBER(name) decltype(&::name) name = nullptr;
  ORVELLA_EXPORT_LIST(ORVELLA_EXPORT_MEMBER)
#undef ORVELLA_EXPORT_MEMBER

  // Throws std::runtime_error naming the first export the library lacks.
  explicit DriverExports(const DriverLibrary& library) {
#define ORVELLA_EXPORT_RESOLVE(name)                              \
  name = reinterpret_cast<decltype(name)>(library.Symbol(#name)); \
  if (!name) throw std::runtime_error("the driver does not export " #name);
    ORVELLA_EXPORT_LIST(ORVELLA_EXPORT_RESOLVE)
#undef ORVELLA_EXPORT_RESOLVE
  }
};

}  // namespace orvella::host

#endif
