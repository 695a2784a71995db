// The 17 exports. Each is short: log, find the camera, call into C++; the one
// guarded path (Guarded) catches everything, logs the export's documented line
// and returns its documented failure result.
#include <exception>
#include <memory>

#include "camera/Camera.h"
#include "camera/CameraList.h"
#include "camera/RowCopy.h"
#include "driver/DriverContext.h"
#include "driver/Guarded.h"
#include "driver/Orvella.h"
#include "driver/Platform.h"
#include "driver/Text.h"

using orvella::Camera;
using orvella::CameraList;
using orvella::DriverContext;
using orvella::GetDriverContext;
using orvella::Guarded;
using orvella::Printable;

namespace {

// The camera stays alive while the export uses it, even across a finalize
// on another thread.
std::shared_ptr<Camera> CameraOnPort(int portNo) { return CameraList::GetInstance().GetByPort(portNo); }

// initialize and finalize count and build or retire the cameras as one step,
// so two host threads starting or stopping the driver at once agree.
orvella::Mutex& StartStopLock() {
  static orvella::Mutex lock;
  return lock;
}

bool IsUndefinedName(const char* name) {
  return !name || !*name || orvella::EqualsNoCase(name, "Undefined") || orvella::EqualsNoCase(name, "Udefinert");
}

}  // namespace

extern "C" {

int ORVELLA_CALL initialize(const char* systemPath, DebugMsgProc debugMsgProc) {
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      0,
      [&] {
        orvella::HostSafeLock<orvella::Mutex> hold(StartStopLock());
        ctx.SetSystemPath(systemPath);
        ctx.debugMsgProc = debugMsgProc;
        ctx.Log(2, "===============\ninitialize: \n");
        if (ctx.refCount == 0) CameraList::GetInstance().Init();
        int count = ++ctx.refCount;
        std::tm now = orvella::platform::LocalTimeNow();
        ctx.Log(1, "initialize: Orvella driver V%s, refcount=%d, %d-%d-%d %d:%d:%d\n", "1,0,0,1", count,
                now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
        return 1;
      },
      [&] { ctx.Log(1, "initialize: Orvella driver -- EXCEPTION occured\n"); });
}

int ORVELLA_CALL finalize(void) {
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      0,
      [&] {
        orvella::HostSafeLock<orvella::Mutex> hold(StartStopLock());
        ctx.Log(2, "finalize: entering, refcount=%d\n", ctx.refCount.load());
        int count = --ctx.refCount;
        if (count == 0) CameraList::DestroyInstance();
        ctx.Log(2, "finalize: leaving, refcount=%d\n", count);
        return 1;
      },
      [&] { ctx.Log(1, "finalize: --EXCEPTION occured \n"); });
}

int ORVELLA_CALL setSystemPath(const char* systemPath) { return GetDriverContext().SetSystemPath(systemPath) ? 1 : 0; }

void ORVELLA_CALL setDebugMsgProc(DebugMsgProc debugMsgProc) { GetDriverContext().debugMsgProc = debugMsgProc; }

int ORVELLA_CALL getCVLMaxNoOfGrabbers(void) { return 1; }

int ORVELLA_CALL getCVLMaxNoOfPorts(void) { return 20; }

int ORVELLA_CALL getCVLNoOfSupportedCameras(void) { return CameraList::GetInstance().Count(); }

char** ORVELLA_CALL getCVLCameraConfigNames(void) { return CameraList::GetInstance().GetConfigNames(); }

int ORVELLA_CALL openCVLPort(int grabberNo, int portNo, const char* cameraName, int* imageSize) {
  DriverContext& ctx = GetDriverContext();
  if (imageSize) imageSize[0] = imageSize[1] = 0;
  return Guarded(
      0,
      [&] {
        ctx.Log(2, "openCVLPort: entering grabberNo=%d, portNo=%d, cameraName=%s\n", grabberNo, portNo,
                Printable(cameraName));
        if (IsUndefinedName(cameraName)) {
          ctx.Log(1, "openCVLPort: ERROR: undefined camera, grabberNo=%d, portNo=%d, cameraName=%s\n", grabberNo,
                  portNo, Printable(cameraName));
          return 0;
        }
        CameraList& list = CameraList::GetInstance();
        if (!list.IsCameraAvailable(cameraName)) {
          ctx.Log(1, "openCVLPort: ERROR: cannot find camera by name:%s\n", cameraName);
          return 0;
        }
        std::shared_ptr<Camera> camera = list.GetByName(cameraName);
        if (!camera->Open(portNo, imageSize)) {
          ctx.Log(1, "openCVLPort: ERROR: camera not opened, grabberNo=%d, portNo=%d, cameraName=%s\n", grabberNo,
                  portNo, cameraName);
          return 0;
        }
        ctx.Log(2, "openCVLPort: leaving -- Camera %s OPENED on port %d\n", camera->Name().c_str(), portNo);
        return 1;
      },
      [&] {
        ctx.Log(1, "openCVLPort: --EXCEPTION caught grabberNo=%d, portNo=%d, cameraName=%s\n", grabberNo, portNo,
                Printable(cameraName));
      });
}

void ORVELLA_CALL closeCVLPort(int grabberNo, int portNo) {
  DriverContext& ctx = GetDriverContext();
  Guarded(
      [&] {
        ctx.Log(2, "closeCVLPort: entering grabberNo=%d, portNo=%d\n", grabberNo, portNo);
        CameraOnPort(portNo)->Close();
      },
      [&] { ctx.Log(1, "closeCVLPort: --EXCEPTION caught  grabberNo=%d, portNo=%d\n", grabberNo, portNo); });
  ctx.Log(2, "closeCVLPort: leaving grabberNo=%d, portNo=%d\n", grabberNo, portNo);
}

int ORVELLA_CALL doCVLGrab(int grabberNo, int portNo) {
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      0,
      [&] {
        ctx.Log(2, "doCVLGrab entering grabberNo=%d portNo=%d\n", grabberNo, portNo);
        CameraOnPort(portNo)->Grab();
        ctx.Log(2, "doCVLGrab: leaving grabberNo=%d portNo=%d\n", grabberNo, portNo);
        return 1;
      },
      [&] { ctx.Log(1, "doCVLGrab: --EXCEPTION caught  grabberNo=%d portNo=%d\n", grabberNo, portNo); });
}

int ORVELLA_CALL getCVLGrabRow(int grabberNo, int portNo, unsigned char* destination, int row, int firstColumn,
                               int lastColumn) {
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      0,
      [&] {
        if (ctx.Logs(4))
          ctx.Log(4, "getCVLGrabRow: entering row=%d  grabberNo=%d  portNo=%d\n", row, grabberNo, portNo);
        if (!orvella::CopyGrabRow(portNo, row, destination, firstColumn, lastColumn)) return 0;
        if (ctx.Logs(4))
          ctx.Log(4, "getCVLGrabRow: leaving row=%d  grabberNo=%d  portNo=%d\n", row, grabberNo, portNo);
        return 1;
      },
      [&] { ctx.Log(1, "getCVLGrabRow: --EXCEPTION caught \n"); });
}

int ORVELLA_CALL setCompleteCallback(int grabberNo, int portNo, CompleteCallback completeCallback) {
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      0,
      [&] {
        ctx.Log(2, "setCompleteCallback: entering grabberNo=%d   portNo=%d\n", grabberNo, portNo);
        CameraOnPort(portNo)->SetCompleteCB(completeCallback);
        ctx.Log(2, "setCompleteCallback: leaving grabberNo=%d   portNo=%d\n", grabberNo, portNo);
        return 1;
      },
      [&] { ctx.Log(1, "setCompleteCallback: --EXCEPTION caught \n"); });
}

int ORVELLA_CALL getPropertyRange(int grabberNo, int portNo) {
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      0,
      [&] {
        ctx.Log(2, "getPropertyRange: entering grabberNo=%d   portNo=%d\n", grabberNo, portNo);
        ctx.Log(2, "getPropertyRange: leaving grabberNo=%d   portNo=%d\n", grabberNo, portNo);
        return 0;
      },
      [&] { ctx.Log(1, "getPropertyRange: --EXCEPTION caught \n"); });
}

int ORVELLA_CALL getProperty(int grabberNo, int portNo, const char* prop, int* value) {
  (void)grabberNo;
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      0,
      [&] {
        ctx.Log(3, "getProperty: portNo=%d, prop=%s\n", portNo, Printable(prop));
        return CameraOnPort(portNo)->GetProperty(prop, value) ? 1 : 0;
      },
      [&] { ctx.Log(1, "--EXCEPTION caught at getProperty\n"); });
}

int ORVELLA_CALL setProperty(int grabberNo, int portNo, const char* prop, int value) {
  (void)grabberNo;
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      0,
      [&] {
        ctx.Log(3, "setProperty: portNo=%d\n", portNo);
        return CameraOnPort(portNo)->SetProperty(prop, value) ? 1 : 0;
      },
      [&] { ctx.Log(1, "setProperty: --EXCEPTION caught \n"); });
}

int ORVELLA_CALL configureCamera(void* parentWindow, const char* cameraName) {
  DriverContext& ctx = GetDriverContext();
  return Guarded(
      1,
      [&] {
        ctx.Log(2, "configureCamera: entering cameraName=%s\n", Printable(cameraName));
        CameraList& list = CameraList::GetInstance();
        if (!list.IsCameraAvailable(cameraName)) {
          ctx.Log(1, "configureCamera: ERROR: cannot find camera by name: %s\n", Printable(cameraName));
          return 0;
        }
        bool confirmed = list.GetByName(cameraName)->Configure(parentWindow);
        ctx.Log(2, "configureCamera: leaving cameraName=%s\n", cameraName);
        return confirmed ? 0 : 1;
      },
      [&] {
        ctx.Log(1, "configureCamera --EXCEPTION , cameraName=%s\n", Printable(cameraName));
        ctx.Log(2, "configureCamera: leaving cameraName=%s\n", Printable(cameraName));
      });
}

}  // extern "C"
