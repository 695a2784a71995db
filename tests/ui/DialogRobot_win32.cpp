// The robot on Windows: window messages from the robot's thread to the
// dialog's thread, which pumps them in its modal loop.
// <windows.h> first: the other system headers build on it.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <objidl.h>  // GDI+ needs what WIN32_LEAN_AND_MEAN leaves out
// clang-format on

#include <algorithm>
using std::max;  // GDI+'s headers expect the min/max macros that NOMINMAX removes
using std::min;
#include <gdiplus.h>

#include <chrono>
#include <stdexcept>

#include "ui/DialogRobot.h"

namespace orvella::test {

struct DialogRobot::Platform {
  HWND window = nullptr;
};

DialogRobot::DialogRobot(Script script) : platform(std::make_unique<Platform>()) {
  thread = std::thread([this, script] { Run(script); });
}

DialogRobot::~DialogRobot() {
  thread.join();
}

namespace {

template <typename F>
bool PollFor(std::chrono::milliseconds limit, F condition) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    Sleep(20);
  }
  return true;
}

HWND Item(HWND window, int id) {
  HWND item = GetDlgItem(window, id);
  if (!item) throw std::runtime_error("no control " + std::to_string(id));
  return item;
}

}  // namespace

bool DialogRobot::WaitForWindow(const std::string& title) {
  return PollFor(std::chrono::seconds(20), [&] {
    HWND w = FindWindowA(nullptr, title.c_str());
    if (!w || !IsWindowVisible(w)) return false;
    platform->window = w;
    return true;
  });
}

bool DialogRobot::IsOpen() {
  return platform->window && IsWindow(platform->window);
}

bool DialogRobot::WaitUntilClosed(std::chrono::milliseconds limit) {
  return PollFor(limit, [&] { return !IsOpen(); });
}

std::string DialogRobot::Text(int id) {
  char text[1024] = "";
  GetWindowTextA(Item(platform->window, id), text, sizeof text);
  return text;
}

void DialogRobot::Type(int id, const std::string& text) {
  // WM_SETTEXT to the box: the box tells its dialog with EN_CHANGE.
  SetDlgItemTextA(platform->window, id, text.c_str());
}

bool DialogRobot::IsChecked(int id) {
  return IsDlgButtonChecked(platform->window, id) == BST_CHECKED;
}

void DialogRobot::Tick(int id) {
  SendMessageA(Item(platform->window, id), BM_CLICK, 0, 0);
}

bool DialogRobot::IsEnabled(int id) {
  return IsWindowEnabled(Item(platform->window, id)) != FALSE;
}

std::string DialogRobot::StatusText() {
  HWND bar = FindWindowExA(platform->window, nullptr, STATUSCLASSNAMEA, nullptr);
  if (!bar) throw std::runtime_error("no status bar");
  char text[512] = "";
  if (LOWORD(SendMessageA(bar, SB_GETTEXTLENGTHA, 0, 0)) >= sizeof text) throw std::runtime_error("status too long");
  SendMessageA(bar, SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
  return text;
}

void DialogRobot::Press(int id) {
  // What a button sends its dialog when clicked; a disabled button's state
  // is not consulted, so the dialog's own guard is what counts.
  SendMessageA(platform->window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(platform->window, id)));
}

void DialogRobot::PressEscape() {
  HWND focus = GetDlgItem(platform->window, 1000);
  PostMessageA(focus ? focus : platform->window, WM_KEYDOWN, VK_ESCAPE, 1);
  PostMessageA(focus ? focus : platform->window, WM_KEYUP, VK_ESCAPE, 0xC0000001);
}

void DialogRobot::CloseBox() {
  PostMessageA(platform->window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

std::string DialogRobot::MessageText() {
  // The text of a message box is the static control 0xFFFF.
  char text[512] = "";
  GetDlgItemTextA(platform->window, 0xFFFF, text, sizeof text);
  return text;
}

std::vector<int> DialogRobot::TabOrder(int first, int count) {
  std::vector<int> ids;
  HWND item = Item(platform->window, first);
  for (int i = 0; i < count; ++i) {
    item = GetNextDlgTabItem(platform->window, item, FALSE);
    ids.push_back(item ? GetDlgCtrlID(item) : 0);
  }
  return ids;
}

void* DialogRobot::Owner() {
  return GetWindow(platform->window, GW_OWNER);
}

namespace {

// GDI+'s PNG encoder.
const CLSID kPngEncoder = {0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

}  // namespace

bool DialogRobot::SaveScreenshot(const std::string& path) {
  RedrawWindow(platform->window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  Sleep(300);
  RECT r;
  GetWindowRect(platform->window, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);

  bool saved = false;
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
    Gdiplus::GpBitmap* image = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) == Gdiplus::Ok) {
      std::wstring wide(path.begin(), path.end());
      saved = Gdiplus::DllExports::GdipSaveImageToFile(image, wide.c_str(), &kPngEncoder, nullptr) == Gdiplus::Ok;
      Gdiplus::DllExports::GdipDisposeImage(image);
    }
    Gdiplus::GdiplusShutdown(token);
  }
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return saved;
}

OwnerWindow::OwnerWindow()
    : window(CreateWindowExA(0, "STATIC", "Host window", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 300, 200, nullptr,
                             nullptr, GetModuleHandleA(nullptr), nullptr)) {}

OwnerWindow::~OwnerWindow() {
  if (window) DestroyWindow(static_cast<HWND>(window));
}

}  // namespace orvella::test
