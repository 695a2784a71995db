#include "camera/Camera.h"

#include <cstdio>
#include <string>

#include "acquisition/transport/TlsTrust.h"
#include "config/CameraProp.h"
#include "driver/DriverContext.h"
#include "driver/Text.h"

namespace orvella {

std::atomic<unsigned> Camera::bindings{0};

Camera::Camera(const char* cameraName) : name(cameraName), context(&GetDriverContext()) {}

Camera::~Camera() {
  if (!retired) {
    Retire();
  } else if (opened) {
    Close();  // opened by a host call that raced the finalize
  }
}

void Camera::Retire() {
  HostSafeLock<RecursiveMutex> hold(lifecycle);
  retired = true;
  context->Log(2, "Camera::~Camera: camera %s on port %d \n", name.c_str(), port.load());
  if (opened) Close();
  CleanupOnClose();
}

bool Camera::Open(int newPort, int* imageSize) {
  HostSafeLock<RecursiveMutex> hold(lifecycle);
  if (imageSize) imageSize[0] = imageSize[1] = 0;
  context->Log(2, "Camera::Open: entering port=%d\n", newPort);
  context->Log(1, "Opening camera %s on port %d\n", name.c_str(), newPort);
  if (retired) return false;  // removed by a finalize on another thread
  if (opened) {
    context->Log(1, "Camera::Open: ERROR:  %s is already open on port %d\n", name.c_str(), port.load());
    return true;
  }
  try {
    settings.Exchange(name.c_str(), false);
    // Taken before clamping: an out-of-range level in the file applies as it stands.
    context->logLevel = settings.logLevel.value.load();
    context->logIntoFile = settings.logIntoFile.value.load() != 0;
    settings.Clamp();
    const std::string warning = TlsTrust::Parse(settings.TlsTrustValue()).Warning(name);
    if (!warning.empty()) context->Log(1, "Camera::Open: WARNING: %s, port=%d\n", warning.c_str(), newPort);

    std::string url = settings.ImageUrl();
    if (!receivingThread.Init(this, newPort, url.c_str())) {
      context->Log(1, "Camera::Open: Could not start cmd thread, port=%d\n", newPort);
      return false;
    }
    int width = settings.width.value, height = settings.height.value;
    if (imageSize) {
      imageSize[0] = width;
      imageSize[1] = height;
    }
    colour = settings.grayscale.value == 0;
    bool allocated = false;
    // The worker already runs; keep it off the buffers while they change.
    receivingThread.HoldWorker([&] { allocated = ring.Allocate(width, height, colour); });
    if (!allocated) {
      context->Log(1, "Camera::Open: Could not allcoate buffer, port=%d\n", newPort);
      // Stop the worker too, so the next Open can start a new one.
      CleanupOnClose();
      return false;
    }
    port = newPort;
    opened = true;
    Rebound();
    context->Log(2, "Camera::Open: leaving, port=%d\n", newPort);
    return true;
  } catch (...) {
    context->Log(1, "Camera::Open: EXCEPTION catch...throw again, port %d\n", newPort);
    CleanupOnClose();
    throw;
  }
}

void Camera::Close() {
  HostSafeLock<RecursiveMutex> hold(lifecycle);
  context->Log(2, "Camera::Close: entering\n");
  if (!opened) context->Log(1, "Camera::Close: WARNING: called on already closed camera\n");
  int oldPort = port;
  opened = false;
  Rebound();
  CleanupOnClose();
  context->Log(2, "Camera::Close: leaving on port %d\n", oldPort);
}

void Camera::CleanupOnClose() {
  HostSafeLock<RecursiveMutex> hold(lifecycle);
  context->Log(2, "Camera::CleanupOnClose: entering\n");
  opened = false;
  port = -2;
  Rebound();
  try {
    receivingThread.Destroy();
  } catch (...) {
    context->Log(1, "Camera::CleanupOnClose: WARNING: exception point1 caught\n");
  }
  context->Log(2, "Camera::CleanupOnClose: leaving\n");
}

bool Camera::Grab() {
  HostSafeLock<RecursiveMutex> hold(lifecycle);
  context->Log(2, "Camera::Grab: entering \n");
  receivingThread.SetGrabEvent();
  context->Log(2, "Camera::Grab: leaving \n");
  return true;
}

void Camera::SetCompleteCB(CompleteCallback callback) {
  CompleteCallback before = completeCallback;
  std::string text = "Camera::SetCompleteCB: ";
  if (before) text += "CB was already assigned. ";
  if (before && callback == before) text += "The new CB is the same function. ";
  if (!callback) text += "Resetting CB to null. ";
  text += "\n";
  context->Log(2, "%s", text.c_str());
  completeCallback = callback;
}

bool Camera::GetProperty(const char* prop, int* value) {
  context->Log(3, "Camera::GetProperty: prop=%s \n", Printable(prop));
  if (!prop || !value) return false;
  if (EqualsNoCase(prop, "PixelSize")) {
    *value = colour ? 24 : 8;
    context->Log(3, "Camera::GetProperty pixelsize=%d \n", *value);
    return true;
  }
  if (EqualsNoCase(prop, "continuous")) {
    *value = continuous ? 1 : 0;
    return true;
  }
  for (Param<int>* p :
       {&settings.width, &settings.height, &settings.refreshRate, &settings.refreshRateUnit, &settings.grayscale}) {
    if (EqualsNoCase(prop, p->name.c_str())) {
      *value = p->value;
      return true;
    }
  }
  return false;
}

bool Camera::SetProperty(const char* prop, int value) {
  context->Log(3, "Camera::SetProperty: prop=%s value=%d \n", Printable(prop), value);
  if (!prop) return false;
  if (EqualsNoCase(prop, "continuous") || EqualsNoCase(prop, "continous")) {
    SetContinuousGrab(value != 0);
    return true;
  }
  struct Writable {
    Param<int>& setting;
    const char* logged;
  };
  const Writable writable[] = {{settings.width, "...width: value=%d \n"},
                               {settings.height, "...height: value=%d \n"},
                               {settings.grayscale, "...grayscale: value=%d \n"},
                               {settings.refreshRate, "...refresh rate: value=%d \n"},
                               {settings.refreshRateUnit, "...refresh rate: value=%d \n"}};
  for (const Writable& w : writable) {
    if (!EqualsNoCase(prop, w.setting.name.c_str())) continue;
    int stored = &w.setting == &settings.grayscale ? (value > 0 ? 1 : 0) : value;
    w.setting.value = stored;
    context->Log(3, w.logged, stored);
    return true;
  }
  return false;
}

void Camera::SetContinuousGrab(bool mode) {
  HostSafeLock<RecursiveMutex> hold(lifecycle);
  context->Log(2, "Camera::SetContinuousGrab: entering, mode=%s\n", mode ? "on" : "off");
  if (mode == continuous) {
    context->Log(3, "Camera::SetContinuousGrab has no effect -- the same mode is already active\n");
    return;
  }
  int oldPort = port;
  continuous = mode;
  Close();
  int scratch[2];
  Open(oldPort, scratch);
  if (mode) Grab();
  context->Log(2, "Camera::SetContinuousGrab: leaving\n");
}

ImageSink::Schedule Camera::ReadSchedule() const {
  return Schedule{settings.RefreshPeriodMs(), continuous};
}

int Camera::ReadSource(std::string& url) const {
  settings.CopyImageUrl(url);
  return settings.connectionTimeout.value;
}

std::string Camera::ReadTlsTrust() const {
  return settings.TlsTrustValue();
}

ImageSink::Frame Camera::WriteFrame() {
  ImageBuffer& buffer = ring.WriteBuffer();
  if (!buffer.data) buffer.GetLine(0);  // logs why the cycle fails
  return Frame{buffer, settings.width.value, settings.height.value, colour};
}

bool Camera::HandOver(int boundPort, CompleteCallback* callback) {
  // A camera being closed is unbound before its worker is stopped: the close
  // wins over the image, as over a download it aborts. Handing it over would
  // replace the host's last image unannounced (the callback would name port -2).
  if (port != boundPort) return false;
  ring.HandOver();
  *callback = completeCallback;
  return true;
}

bool Camera::Configure(void* parentWindow) {
  if (continuous) {
    try {
      ShowConfigureRefusal(parentWindow);
    } catch (const std::exception& e) {
      context->Log(1, "Camera::Configure: ERROR: cannot show the refusal: %s\n", e.what());
    }
    return false;
  }
  context->Log(2, "Camera::Configure: entering\n");
  char title[512];
  std::snprintf(title, sizeof title, "Configure camera on port #%d: %s", port.load() + 1, name.c_str());
  CameraSettings copy(settings);
  bool confirmed = false;
  try {
    confirmed = RunCameraPropDialog(parentWindow, title, &copy) == 1;
  } catch (const std::exception& e) {
    context->Log(1, "Camera::Configure: ERROR: cannot show the settings dialog: %s\n", e.what());
  }
  if (confirmed) {
    copy.Exchange(name.c_str(), true);
    settings = copy;
  }
  context->Log(2, "Camera::Configure: leaving\n");
  return confirmed;
}

}  // namespace orvella
