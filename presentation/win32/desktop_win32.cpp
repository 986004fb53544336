// The desktop port over user32.
#include <windows.h>

#include <vector>

#include "presentation/desktop.h"
#include "presentation/win32/system_ports.h"

namespace {

HWND Hwnd(WindowHandle window) { return reinterpret_cast<HWND>(window); }

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

class Win32Desktop : public IDesktop {
 public:
  WindowHandle FindTopWindow(WindowHandle after, const std::u16string& className) override {
    return reinterpret_cast<WindowHandle>(
        FindWindowExW(nullptr, Hwnd(after), Wide(className), nullptr));
  }

  std::u16string WindowTitle(WindowHandle window, std::size_t maxChars) override {
    if (maxChars == 0) return {};
    std::vector<wchar_t> buffer(maxChars, L'\0');
    int length = GetWindowTextW(Hwnd(window), buffer.data(), static_cast<int>(maxChars));
    if (length <= 0) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), length);
  }

  std::uint32_t WindowStyle(WindowHandle window) override {
    return static_cast<std::uint32_t>(GetWindowLongW(Hwnd(window), GWL_STYLE));
  }

  bool WindowRect(WindowHandle window, ScreenRect* rect) override {
    RECT r;
    if (!GetWindowRect(Hwnd(window), &r)) return false;
    *rect = ScreenRect{r.left, r.top, r.right, r.bottom};
    return true;
  }

  bool IsMinimized(WindowHandle window) override { return IsIconic(Hwnd(window)) != FALSE; }

  void ShowWindowCommand(WindowHandle window, int command) override {
    ShowWindow(Hwnd(window), command);
  }

  void SetForeground(WindowHandle window) override { SetForegroundWindow(Hwnd(window)); }

  void BringToTop(WindowHandle window) override { BringWindowToTop(Hwnd(window)); }

  void VirtualScreenSize(std::int32_t* width, std::int32_t* height) override {
    *width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    *height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  }

  std::uint32_t SendInputRecord(const InputRecord& record) override {
    INPUT input = {};
    if (record.kind == InputRecord::Kind::Mouse) {
      input.type = INPUT_MOUSE;
      input.mi.dx = record.dx;
      input.mi.dy = record.dy;
      input.mi.mouseData = record.mouseData;
      input.mi.dwFlags = record.flags;
      input.mi.time = record.time;
      input.mi.dwExtraInfo = 0;
    } else {
      input.type = INPUT_KEYBOARD;
      input.ki.wVk = record.virtualKey;
      input.ki.wScan = record.scanCode;
      input.ki.dwFlags = record.flags;
      input.ki.time = record.time;
      input.ki.dwExtraInfo = 0;
    }
    return SendInput(1, &input, sizeof(INPUT));
  }

  void SetCursorPosition(std::int32_t x, std::int32_t y) override { SetCursorPos(x, y); }
};

}  // namespace

std::shared_ptr<IDesktop> CreateSystemDesktop() { return std::make_shared<Win32Desktop>(); }
