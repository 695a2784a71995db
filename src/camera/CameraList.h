// The single owner of the ten camera slots.
//
// Thread safety: host threads only, through the exports; workers never use it.
#pragma once

#include <memory>
#include <vector>

namespace orvella {

class Camera;

class CameraList {
 public:
  // The one list, created empty on first use.
  static CameraList& GetInstance();
  // Destroys the instance (closing every open camera); the next GetInstance
  // starts a new, empty list.
  static void DestroyInstance();

  CameraList();
  ~CameraList();
  CameraList(const CameraList&) = delete;
  CameraList& operator=(const CameraList&) = delete;

  bool Init();
  void Destroy();
  // Exact, case-sensitive name match. A null name raises.
  bool IsCameraAvailable(const char* name);
  // Raises the text "Err" when no camera has this name.
  Camera& GetByName(const char* name);
  // First camera in list order on `port`; raises "Err" when none.
  Camera& GetByPort(int port);
  // Rebuilt on every call; the previous array becomes invalid.
  char** GetConfigNames();
  int Count() const { return int(cameras.size()); }

 private:
  std::vector<std::unique_ptr<Camera>> cameras;
  std::unique_ptr<char*[]> configNames;
};

}  // namespace orvella
