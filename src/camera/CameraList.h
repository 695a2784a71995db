// The single owner of the ten camera slots.
//
// Thread safety: host threads only, through the exports, any number at once
// (`lock`, never held while the host is called); workers never use it. A
// camera handed out stays alive while its holder keeps it, also across a
// finalize, which retires it.
#pragma once

#include <memory>
#include <vector>

#include "driver/Mutex.h"
#include "driver/NoCopy.h"

namespace orvella {

class Camera;

class CameraList {
 public:
  // The one list, created empty on first use.
  static CameraList& GetInstance();
  // Retires every camera (closing the open ones) and empties the list; the
  // next Init fills it afresh.
  static void DestroyInstance();

  CameraList();
  ~CameraList();
  ORVELLA_NO_COPY(CameraList);

  bool Init() ORVELLA_EXCLUDES(lock);
  void Destroy() ORVELLA_EXCLUDES(lock);
  // Exact, case-sensitive name match. A null name raises.
  bool IsCameraAvailable(const char* name) ORVELLA_EXCLUDES(lock);
  // Raises the text "Err" when no camera has this name.
  std::shared_ptr<Camera> GetByName(const char* name) ORVELLA_EXCLUDES(lock);
  // First camera in list order on `port`; raises "Err" when none.
  std::shared_ptr<Camera> GetByPort(int port) ORVELLA_EXCLUDES(lock);
  // Rebuilt on every call; the previous array becomes invalid.
  char** GetConfigNames() ORVELLA_EXCLUDES(lock);
  int Count() ORVELLA_EXCLUDES(lock);

 private:
  Mutex lock;
  std::vector<std::shared_ptr<Camera>> cameras ORVELLA_GUARDED_BY(lock);
  std::unique_ptr<char*[]> configNames ORVELLA_GUARDED_BY(lock);
};

}  // namespace orvella
