// The camera settings dialog on Windows: dialog template 1000 from the
// driver's own resources, a comctl32 status bar, and CameraPropModel.
// <windows.h> first: the other system headers build on it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "config/CameraProp.h"
#include "config/CameraPropCopy.h"
#include "config/CameraPropModel.h"
#include "config/CameraSettings.h"

namespace orvella {

namespace {

constexpr int kStatusBarId = 1100;

std::string SystemErrorText(DWORD code) {
  char text[512] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                           sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
  return n > 0 ? std::string(text) : "error " + std::to_string(code);
}

// The module this code lives in: the DLL in the product, the test program
// when the core is linked statically. The template is in its resources.
HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}

// One run of the dialog. Lives on the stack of the thread that runs it; the
// window exists only inside RunModal.
class CameraPropDialog final : public CameraPropView {
 public:
  CameraPropDialog(const std::string& title, OrvellaCameraPropData* data) : title(title), model(data, this) {}

  int RunModal(HWND parent) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    SetLastError(0);
    INT_PTR result = DialogBoxParamA(OwnModule(), MAKEINTRESOURCEA(IDD_CAMERA_PROP), parent, &DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    if (failure) std::rethrow_exception(failure);
    if (result == -1 || result == 0)  // 0: the parent window is not a window
      throw std::runtime_error("cannot show the settings dialog: " + SystemErrorText(GetLastError()));
    return result == IDOK ? IDOK : IDCANCEL;
  }

  std::string GetText(int id) override {
    HWND item = GetDlgItem(dialog, id);
    int length = GetWindowTextLengthA(item);
    std::string text(static_cast<size_t>(length) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(item, &text[0], length + 1)));
    return text;
  }
  void SetText(int id, const char* text) override { SetDlgItemTextA(dialog, id, text); }
  bool IsChecked(int id) override { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
  void SetChecked(int id, bool checked) override { CheckDlgButton(dialog, id, checked ? BST_CHECKED : BST_UNCHECKED); }
  void EnableOk(bool enabled) override { EnableWindow(GetDlgItem(dialog, IDOK), enabled); }
  void SetStatus(const char* text) override {
    if (statusBar) SendMessageA(statusBar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text));
  }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) SetWindowLongPtrA(window, DWLP_USER, lParam);
    auto* self = reinterpret_cast<CameraPropDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (!self) return FALSE;
    // No exception may unwind through the system's frames: keep it for RunModal.
    try {
      switch (message) {
        case WM_INITDIALOG:
          self->dialog = window;
          return self->InitDialog();
        case WM_COMMAND:
          return self->OnCommand(LOWORD(wParam), HIWORD(wParam));
        default:
          return FALSE;
      }
    } catch (...) {
      self->failure = std::current_exception();
      EndDialog(window, IDCANCEL);
      return TRUE;
    }
  }

  BOOL InitDialog() {
    SendDlgItemMessageA(dialog, IDC_IMAGE_URL, EM_LIMITTEXT, ORVELLA_URL_MAX_LENGTH, 0);
    model.ExchangeData(false);
    SetWindowTextA(dialog, title.c_str());

    statusBar = CreateStatusWindowA(WS_CHILD | WS_VISIBLE | CCS_BOTTOM, "", dialog, kStatusBarId);
    if (!statusBar) throw std::runtime_error("cannot create the status bar: " + SystemErrorText(GetLastError()));
    // The bar sits over the bottom of the template's controls: grow the
    // dialog by its height and move it into the new strip.
    RECT bar;
    GetWindowRect(statusBar, &bar);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&bar), 2);
    RECT frame;
    GetWindowRect(dialog, &frame);
    int barHeight = bar.bottom - bar.top;
    MoveWindow(dialog, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top + barHeight, TRUE);
    MoveWindow(statusBar, 0, bar.bottom, bar.right - bar.left, barHeight, TRUE);

    model.OnChange();
    return TRUE;  // focus to the first control that takes it: the URL box
  }

  BOOL OnCommand(int id, int code) {
    if (id == IDOK && code == BN_CLICKED) {
      if (model.OnOk()) EndDialog(dialog, IDOK);
      return TRUE;
    }
    if (id == IDCANCEL) {  // Cancel, Escape and the close box
      EndDialog(dialog, IDCANCEL);
      return TRUE;
    }
    if (code == EN_CHANGE) {
      model.OnControlChanged(id);
      return TRUE;
    }
    return FALSE;
  }

  std::string title;
  CameraPropModel model;
  HWND dialog = nullptr;
  HWND statusBar = nullptr;
  std::exception_ptr failure;
};

}  // namespace

int RunCameraPropDialog(void* parentWindow, const std::string& title, CameraSettings* settings) {
  auto data = std::make_unique<OrvellaCameraPropData>();
  ToPropData(*settings, data.get());
  CameraPropDialog dialog(title, data.get());
  int result = dialog.RunModal(static_cast<HWND>(parentWindow));
  // What the controls showed last, also after Cancel; the caller drops it then.
  FromPropData(*data, settings);
  return result;
}

void ShowConfigureRefusal(void* parentWindow) {
  if (MessageBoxA(static_cast<HWND>(parentWindow), kConfigureRefusalText, kMessageBoxCaption,
                  MB_OK | MB_ICONEXCLAMATION) == 0)
    throw std::runtime_error("cannot show a message box: " + SystemErrorText(GetLastError()));
}

void SetDialogModulePathForTests(const char*) {}  // the dialog is built in

}  // namespace orvella
