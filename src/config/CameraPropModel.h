// What the camera settings dialog does, apart from any toolkit: which control
// shows which setting, how an edit box's text becomes a number, the range
// labels, the checks with their messages, and when OK is allowed.
//
// Both dialogs (Win32 on Windows, GTK on Linux) implement CameraPropView and
// forward their events here; the GTK module compiles this file into itself,
// so it knows only the plain data of CameraPropData.h.
//
// Thread safety: one model and its view belong to the thread that runs the
// dialog; nothing here is shared.
#pragma once

#include <string>

#include "config/CameraPropData.h"
#include "resources/resource.h"

#if defined(__GNUC__)
#define ORVELLA_PROP_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ORVELLA_PROP_PRINTF(fmt, args)
#endif

namespace orvella {

// The text of the box shown instead of the dialog while a camera streams.
extern const char kConfigureRefusalText[];
// The caption of that box.
extern const char kMessageBoxCaption[];

// The controls of one dialog window, addressed by the ids of template 1000.
class CameraPropView {
 public:
  virtual std::string GetText(int id) = 0;
  virtual void SetText(int id, const char* text) = 0;
  virtual bool IsChecked(int id) = 0;
  virtual void SetChecked(int id, bool checked) = 0;
  virtual void EnableOk(bool enabled) = 0;
  // Part 0 of the status bar.
  virtual void SetStatus(const char* text) = 0;

 protected:
  ~CameraPropView() = default;
};

class CameraPropModel {
 public:
  // Both outlive the model.
  CameraPropModel(OrvellaCameraPropData* data, CameraPropView* view);

  // Fills the controls from the data (save false) or reads them back (save
  // true), in the order of the bindings.
  void ExchangeData(bool save);
  // Dialog start: fill the controls, then one OnChange for labels, status and OK.
  void InitControls();
  // The toolkit reports a change of text or state in control `id`. Only the
  // six edit boxes run OnChange (the check boxes are read with the next one),
  // and nothing runs while the dialog itself fills or reads its controls.
  // Returns whether OnChange ran.
  bool OnControlChanged(int id);
  // Reads the controls, sets the range labels, runs the checks, sets OK.
  void OnChange();
  // OK pressed: reads the controls once more. False (the dialog stays) when a
  // check fails, which only a forged click on the disabled button can cause.
  bool OnOk();
  void SetStatusText(const char* format, ...) ORVELLA_PROP_PRINTF(2, 3);

  // atoi's reading: leading blanks, an optional sign, the leading digits;
  // 0 without a number. Saturates at the int range instead of overflowing.
  static int ParseInt(const char* text);
  // The message of the last failing check, or null when all pass.
  static const char* Check(const OrvellaCameraPropData& data);
  static bool IsEditBox(int id);

 private:
  OrvellaCameraPropData* data;
  CameraPropView* view;
  bool exchanging = false;  // the model itself is writing or reading controls
};

}  // namespace orvella
