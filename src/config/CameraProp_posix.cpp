// The camera settings dialog on Linux: the GTK dialog lives in a module of
// its own (orvella/liborvella-dialog.so, in the driver's private folder
// beside it), loaded on first use so that the driver never needs GTK or a
// display until a dialog is asked for.
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>

#include "config/CameraProp.h"
#include "config/CameraPropCopy.h"
#include "config/CameraPropModel.h"
#include "config/CameraSettings.h"
#include "driver/ModuleLoader.h"
#include "driver/Mutex.h"
#include "driver/Platform.h"

namespace orvella {

namespace {

// Relative to the driver's own directory: the same in the build tree and
// installed (/usr/lib/<arch>/liborvella.so.1 and /usr/lib/<arch>/orvella/).

// Set by tests that link the core statically (no library to sit beside);
// never from the environment, so nothing outside the process picks the code
// a host loads.
std::atomic<const char*> modulePathForTests{nullptr};

struct DialogModule {
  OrvellaRunCameraDialogFn runCameraDialog = nullptr;
  OrvellaShowMessageFn showMessage = nullptr;
};

std::string ModulePath() {
  const char* override = modulePathForTests.load();
  if (override && *override) return override;
  return platform::BesideDriver(ModuleFile("orvella-dialog"));
}

// GTK may be used by one thread at a time; a dialog may open another from
// its own loop on the same thread, hence recursive.
RecursiveMutex& GtkLock() {
  static RecursiveMutex lock;
  return lock;
}

// Loaded once and never unloaded: GTK cannot be unloaded from a process.
// A failed load is tried again at the next call.
struct DialogLoader {
  Mutex lock;
  DialogModule module ORVELLA_GUARDED_BY(lock);
};

DialogModule LoadDialogModule() {
  static DialogLoader loader;
  MutexLock guard(loader.lock);
  DialogModule& module = loader.module;
  if (module.runCameraDialog) return module;
  std::string path = ModulePath();
  std::string reason;
  void* handle = LoadModule(path, reason);
  if (!handle)
    throw std::runtime_error("cannot load the settings dialog " + path + ": " +
                             (reason.empty() ? "unknown reason" : reason));
  auto run = ModuleFunction<OrvellaRunCameraDialogFn>(handle, ORVELLA_RUN_CAMERA_DIALOG);
  auto show = ModuleFunction<OrvellaShowMessageFn>(handle, ORVELLA_SHOW_MESSAGE);
  if (!run || !show) throw std::runtime_error("the settings dialog " + path + " lacks its entry points");
  module.showMessage = show;
  module.runCameraDialog = run;
  return module;
}

OrvellaDialogCall MakeCall(void* parentWindow, const char* title) {
  OrvellaDialogCall call{};
  call.structSize = sizeof call;
  call.parentWindow = parentWindow;
  call.title = title;
  return call;
}

void CheckResult(int result, const OrvellaDialogCall& call) {
  if (result == -1) throw std::runtime_error(call.error);
  if (result == -2) throw std::runtime_error("the settings dialog module does not match the driver");
}

}  // namespace

void SetDialogModulePathForTests(const char* path) {
  modulePathForTests = path;
}

int RunCameraPropDialog(void* parentWindow, const std::string& title, CameraSettings* settings) {
  const DialogModule module = LoadDialogModule();
  auto data = std::make_unique<OrvellaCameraPropData>();
  ToPropData(*settings, data.get());
  OrvellaDialogCall call = MakeCall(parentWindow, title.c_str());
  call.data = data.get();
  int result;
  {
    ScopedLock<RecursiveMutex> guard(GtkLock());
    result = module.runCameraDialog(&call);
  }
  CheckResult(result, call);
  if (result != 1 && result != 2) throw std::runtime_error("the settings dialog gave an unknown result");
  // What the controls showed last, also after Cancel; the caller drops it then.
  FromPropData(*data, settings);
  return result;
}

void ShowConfigureRefusal(void* parentWindow) {
  const DialogModule module = LoadDialogModule();
  OrvellaDialogCall call = MakeCall(parentWindow, kMessageBoxCaption);
  call.message = kConfigureRefusalText;
  ScopedLock<RecursiveMutex> guard(GtkLock());
  CheckResult(module.showMessage(&call), call);
}

}  // namespace orvella
