// A camera's nine settings, their defaults and ranges, and their section of
// the settings file; and TlsTrust, which is read with them but never written
// (a save keeps a value already in the file, and never adds the key).
//
// Thread safety: host threads own the settings. The camera's worker reads the
// integer values (atomics) and takes ImageUrl only through CopyImageUrl(),
// which shares `urlLock` with every host-side change of the URL (Exchange on
// load, assignment, SetImageUrl). Host code that writes imageUrl.value
// directly must use SetImageUrl instead while a worker may run. The texts'
// lock also guards TlsTrust against an assignment on another host thread.
#pragma once

#include <string>

#include "config/Param.h"
#include "driver/Mutex.h"

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
  void CopyImageUrl(std::string& out) const ORVELLA_EXCLUDES(urlLock);
  std::string ImageUrl() const ORVELLA_EXCLUDES(urlLock);
  void SetImageUrl(const std::string& url) ORVELLA_EXCLUDES(urlLock);
  // The TlsTrust value as last loaded ("" when the section has none).
  std::string TlsTrustValue() const ORVELLA_EXCLUDES(urlLock);
  // The URL's key; names are fixed at construction, so no lock.
  const std::string& ImageUrlName() const ORVELLA_NO_THREAD_SAFETY_ANALYSIS { return imageUrl.name; }

  // Member order as stored in memory.
  Param<int> width;
  Param<int> height;
  Param<int> refreshRate;
  Param<int> refreshRateUnit;
  Param<int> grayscale;
  Param<std::string> imageUrl ORVELLA_GUARDED_BY(urlLock);
  Param<int> connectionTimeout;
  Param<int> logLevel;
  Param<int> logIntoFile;

 private:
  // The URL's whole Param (name included), copied under the lock.
  Param<std::string> UrlParam() const ORVELLA_EXCLUDES(urlLock);

  mutable Mutex urlLock;  // imageUrl against the worker's copy, and tlsTrust
  // Not one of the stored nine: read by Exchange on load only.
  Param<std::string> tlsTrust ORVELLA_GUARDED_BY(urlLock);
};

}  // namespace orvella
