// The driver's exports, resolved by name from a library loaded at run time,
// as a host application does; Orvella.h gives their types. A name in the
// export list that Orvella.h does not declare fails the build here.
#ifndef ORVELLA_TOOLS_DRIVEREXPORTS_H
#define ORVELLA_TOOLS_DRIVEREXPORTS_H

#include <stdexcept>

#include "Orvella.h"
#include "OrvellaExportList.h"  // made from src/driver/exports.txt
#include "common/HostPlatform.h"

namespace orvella::host {

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
