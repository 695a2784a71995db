// Drives a real dialog as a user would, while the test's own thread shows it:
// finds the window by its title, types into boxes, reads the status bar and
// the state of OK, presses buttons, takes a screenshot.
//
// The script runs on a thread of its own. On Windows it talks to the dialog
// with window messages; with GTK each step is handed to the dialog's loop on
// the test thread and waited for. Every wait is bounded, and a dialog still
// open when the script ends is cancelled, so a failing test never hangs.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/NoCopy.h"

namespace orvella::test {

class DialogRobot {
 public:
  using Script = std::function<void(DialogRobot&)>;

  // Starts `script` at once; the destructor waits for it.
  explicit DialogRobot(Script script);
  ~DialogRobot();
  ORVELLA_NO_COPY(DialogRobot);

  // Waits up to 20 s for a shown top-level window with this title and makes
  // it the window of the calls below.
  bool WaitForWindow(const std::string& title);
  bool IsOpen();
  // Waits for the window to go.
  bool WaitUntilClosed(std::chrono::milliseconds limit = std::chrono::seconds(10));

  std::string Text(int id);  // edit box or label
  void Type(int id, const std::string& text);
  bool IsChecked(int id);
  void Tick(int id);  // toggles a check box as a click does
  bool IsEnabled(int id);
  std::string StatusText();
  // The button reports a click, also when it is disabled.
  void Press(int id);
  void PressEscape();
  void CloseBox();
  // Text of a message box.
  std::string MessageText();
  // Ids of the controls that Tab visits, starting at `first`, `count` steps.
  std::vector<int> TabOrder(int first, int count);
  // The window as a PNG file; false when it could not be written.
  bool SaveScreenshot(const std::string& path);
  // The window's owner, as the toolkit sees it.
  void* Owner();

  struct Platform;

 private:
  void Run(Script script);

  std::unique_ptr<Platform> platform;
  std::thread thread;
};

// A shown top-level window of the calling thread, to own a dialog: an HWND
// on Windows, a GtkWindow* with GTK (GTK is started here if need be).
class OwnerWindow {
 public:
  OwnerWindow();
  ~OwnerWindow();
  ORVELLA_NO_COPY(OwnerWindow);
  void* handle() const { return window; }

 private:
  void* window;
};

// Where tests leave files for people to look at (screenshots).
std::string ArtifactPath(const std::string& name);

}  // namespace orvella::test
