#include "camera/CameraList.h"

#include <cstdio>
#include <cstring>

#include "camera/Camera.h"
#include "driver/DriverContext.h"

namespace orvella {

namespace {

// The error a null name raises (the string comparison's E_FAIL guard).
struct NullNameError : std::invalid_argument {
  NullNameError() : std::invalid_argument("camera name is null") {}
};
}  // namespace

// One list for the life of the library: a finalize on one host thread may
// meet exports on others, so the list object itself never goes away; its
// cameras do (each lives until the last export using it returns).
CameraList& CameraList::GetInstance() {
  static CameraList* instance = new CameraList();
  return *instance;
}

void CameraList::DestroyInstance() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "CameraList::~CameraList: entering\n");
  GetInstance().Destroy();
  log.Log(2, "CameraList::~CameraList: leaving\n");
}

CameraList::CameraList() = default;

CameraList::~CameraList() { Destroy(); }

bool CameraList::Init() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "CameraList::Init: entering\n");
  for (int i = 1; i <= 10; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Camera %d", i);
    auto camera = std::make_shared<Camera>(name);
    HostSafeLock<Mutex> hold(lock);
    cameras.push_back(std::move(camera));
  }
  log.Log(2, "CameraList::Init: leaving\n");
  return true;
}

void CameraList::Destroy() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "CameraList::Destroy: entering\n");
  std::vector<std::shared_ptr<Camera>> leaving;
  {
    HostSafeLock<Mutex> hold(lock);
    leaving.swap(cameras);
    configNames.reset();
  }
  // Closed in list order outside the lock; exports still holding one keep
  // its object alive until they return.
  for (auto& camera : leaving) camera->Retire();
  log.Log(2, "CameraList::Destroy: leaving\n");
}

bool CameraList::IsCameraAvailable(const char* name) {
  HostSafeLock<Mutex> hold(lock);
  GetDriverContext().Log(3, "CameraList::IsCameraAvailable:  name=%s\n", name ? name : "(null)");
  if (cameras.empty()) return false;
  if (!name) throw NullNameError();
  for (auto& camera : cameras)
    if (std::strcmp(camera->Name().c_str(), name) == 0) return true;
  return false;
}

std::shared_ptr<Camera> CameraList::GetByName(const char* name) {
  HostSafeLock<Mutex> hold(lock);
  DriverContext& log = GetDriverContext();
  log.Log(3, "CameraList::GetByName: entering %s\n", name ? name : "(null)");
  if (!name && !cameras.empty()) throw NullNameError();
  for (auto& camera : cameras) {
    if (std::strcmp(camera->Name().c_str(), name) == 0) {
      log.Log(3, "CameraList::GetByName: leaving %s\n", name);
      return camera;
    }
  }
  log.Log(1, "CameraList::GetByName: ERROR: could not find camera %s\n", name ? name : "(null)");
  throw "Err";
}

std::shared_ptr<Camera> CameraList::GetByPort(int port) {
  HostSafeLock<Mutex> hold(lock);
  DriverContext& log = GetDriverContext();
  for (auto& camera : cameras) {
    if (camera->Port() == port) {
      if (!camera->IsOpen())
        log.Log(1, "CameraList::GetByPort: ERROR: found camera on requested port %d, but the camera is closed\n", port);
      return camera;
    }
  }
  log.Log(1, "CameraList::GetByPort: ERROR: could not find camera on port %d\n", port);
  throw "Err";
}

int CameraList::Count() {
  HostSafeLock<Mutex> hold(lock);
  return int(cameras.size());
}

char** CameraList::GetConfigNames() {
  HostSafeLock<Mutex> hold(lock);
  configNames.reset();
  configNames = std::make_unique<char*[]>(cameras.size() + 1);
  for (size_t k = 0; k < cameras.size(); ++k) configNames[k] = const_cast<char*>(cameras[k]->Name().c_str());
  configNames[cameras.size()] = nullptr;
  return configNames.get();
}

}  // namespace orvella
