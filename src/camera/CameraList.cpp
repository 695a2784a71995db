#include "camera/CameraList.h"

#include <cstdio>
#include <cstring>

#include "camera/Camera.h"
#include "driver/DriverContext.h"

namespace orvella {

namespace {
CameraList* instance = nullptr;

// The error a null name raises (the string comparison's E_FAIL guard).
struct NullNameError : std::invalid_argument {
  NullNameError() : std::invalid_argument("camera name is null") {}
};
}  // namespace

CameraList& CameraList::GetInstance() {
  if (!instance) instance = new CameraList();
  return *instance;
}

void CameraList::DestroyInstance() {
  CameraList* list = instance;
  instance = nullptr;
  delete list;
}

CameraList::CameraList() { cameras.reserve(20); }

CameraList::~CameraList() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "CameraList::~CameraList: entering\n");
  Destroy();
  log.Log(2, "CameraList::~CameraList: leaving\n");
}

bool CameraList::Init() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "CameraList::Init: entering\n");
  for (int i = 1; i <= 10; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "Camera %d", i);
    cameras.push_back(std::make_unique<Camera>(name));
  }
  log.Log(2, "CameraList::Init: leaving\n");
  return true;
}

void CameraList::Destroy() {
  DriverContext& log = GetDriverContext();
  log.Log(2, "CameraList::Destroy: entering\n");
  for (auto& camera : cameras) camera.reset();
  cameras.clear();
  configNames.reset();
  log.Log(2, "CameraList::Destroy: leaving\n");
}

bool CameraList::IsCameraAvailable(const char* name) {
  GetDriverContext().Log(3, "CameraList::IsCameraAvailable:  name=%s\n", name ? name : "(null)");
  if (cameras.empty()) return false;
  if (!name) throw NullNameError();
  for (auto& camera : cameras)
    if (std::strcmp(camera->Name().c_str(), name) == 0) return true;
  return false;
}

Camera& CameraList::GetByName(const char* name) {
  DriverContext& log = GetDriverContext();
  log.Log(3, "CameraList::GetByName: entering %s\n", name ? name : "(null)");
  if (!name && !cameras.empty()) throw NullNameError();
  for (auto& camera : cameras) {
    if (std::strcmp(camera->Name().c_str(), name) == 0) {
      log.Log(3, "CameraList::GetByName: leaving %s\n", name);
      return *camera;
    }
  }
  log.Log(1, "CameraList::GetByName: ERROR: could not find camera %s\n", name ? name : "(null)");
  throw "Err";
}

Camera& CameraList::GetByPort(int port) {
  DriverContext& log = GetDriverContext();
  for (auto& camera : cameras) {
    if (camera->Port() == port) {
      if (!camera->IsOpen())
        log.Log(1, "CameraList::GetByPort: ERROR: found camera on requested port %d, but the camera is closed\n", port);
      return *camera;
    }
  }
  log.Log(1, "CameraList::GetByPort: ERROR: could not find camera on port %d\n", port);
  throw "Err";
}

char** CameraList::GetConfigNames() {
  configNames.reset();
  configNames = std::make_unique<char*[]>(cameras.size() + 1);
  for (size_t k = 0; k < cameras.size(); ++k) configNames[k] = const_cast<char*>(cameras[k]->Name().c_str());
  configNames[cameras.size()] = nullptr;
  return configNames.get();
}

}  // namespace orvella
