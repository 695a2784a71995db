// A camera's nine settings, their defaults and ranges, and their section of
// the settings file.
//
// Thread safety: host threads own the settings. The camera's worker reads the
// integer values (atomics) and takes ImageUrl only through CopyImageUrl(),
// which shares `urlLock` with every host-side change of the URL (Exchange on
// load, assignment, SetImageUrl). Host code that writes imageUrl.value
// directly must use SetImageUrl instead while a worker may run.
#pragma once

#include <mutex>
#include <string>

#include "config/Param.h"

namespace orvella {

class CameraSettings {
 public:
  static const char* const kDefaultImageUrl;

  CameraSettings();
  CameraSettings(const CameraSettings& other);
  CameraSettings& operator=(const CameraSettings& other);

  // Loads (save false) or saves (save true) the eight stored settings in the
  // section cameraName of the settings file. False only for a null name.
  bool Exchange(const char* cameraName, bool save);
  // Brings every integer setting into its range.
  void Clamp();

  // Refresh period in milliseconds: RefreshRateUnit * 1000 / RefreshRate,
  // with a rate below 1 taken as 1.
  int RefreshPeriodMs() const;

  // Consistent copy of ImageUrl into `out` (reuses out's storage).
  void CopyImageUrl(std::string& out) const;
  std::string ImageUrl() const;
  void SetImageUrl(const std::string& url);

  // Member order as stored in memory.
  Param<int> width;
  Param<int> height;
  Param<int> refreshRate;
  Param<int> refreshRateUnit;
  Param<int> grayscale;
  Param<std::string> imageUrl;
  Param<int> connectionTimeout;
  Param<int> logLevel;
  Param<int> logIntoFile;

 private:
  mutable std::mutex urlLock;  // guards imageUrl.value against the worker's copy
};

}  // namespace orvella
