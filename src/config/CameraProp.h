// The camera settings dialog, one view per platform.
#pragma once

#include <string>

namespace orvella {

class CameraSettings;

// Linux: the dialogs use GTK, which must stay on one thread: a host that runs
// GTK itself calls these from its GTK thread; otherwise GTK is started on the
// calling thread. A parent window is used only when it is one of the
// process's GTK windows (a GtkWindow*); anything else leaves the dialog
// without an owner.

// Runs the settings dialog modally on `settings` (a copy owned by the caller)
// with `title`, owned by the host window `parentWindow` (may be null).
// Returns 1 (IDOK) after OK, the copy then holding exactly what the controls
// show; 2 (IDCANCEL) otherwise. Raises std::runtime_error when no dialog can
// be shown, with the reason.
int RunCameraPropDialog(void* parentWindow, const std::string& title, CameraSettings* settings);

// Modal message box "Please stop inspection to configure camera". Raises
// std::runtime_error when it cannot be shown.
void ShowConfigureRefusal(void* parentWindow);

// Linux: the dialog module to load instead of the one beside the driver, for
// tests that link the core statically. Not exported; null restores the default.
void SetDialogModulePathForTests(const char* path);

}  // namespace orvella
