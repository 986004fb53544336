// The desktop port: top-level window search, window placement, the virtual
// screen and simulated input, as far as the presentation layer uses them.
#pragma once

#include <cstdint>
#include <string>

// An opaque top-level window handle; 0 is "no window".
using WindowHandle = std::uintptr_t;

struct ScreenRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
};
inline bool operator==(const ScreenRect& a, const ScreenRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// One INPUT record.
struct InputRecord {
  enum class Kind : std::uint8_t { Mouse, Key };
  Kind kind = Kind::Mouse;
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  std::uint32_t mouseData = 0;
  std::uint32_t flags = 0;  // MOUSEEVENTF_* or KEYEVENTF_*
  std::uint16_t virtualKey = 0;
  std::uint16_t scanCode = 0;
  std::uint32_t time = 0;
};

constexpr std::uint32_t kMouseMove = 0x0001;         // MOUSEEVENTF_MOVE
constexpr std::uint32_t kMouseLeftDown = 0x0002;     // MOUSEEVENTF_LEFTDOWN
constexpr std::uint32_t kMouseLeftUp = 0x0004;       // MOUSEEVENTF_LEFTUP
constexpr std::uint32_t kMouseVirtualDesk = 0x4000;  // MOUSEEVENTF_VIRTUALDESK
constexpr std::uint32_t kMouseAbsolute = 0x8000;     // MOUSEEVENTF_ABSOLUTE
constexpr std::uint32_t kKeyUp = 0x0002;             // KEYEVENTF_KEYUP
constexpr std::uint16_t kVirtualKeyControl = 0x11;   // VK_CONTROL
constexpr std::uint16_t kVirtualKeyE = 0x45;

constexpr std::uint32_t kStyleMinimizeBox = 0x00020000;  // WS_MINIMIZEBOX
constexpr int kShowCommandShow = 5;                      // SW_SHOW
constexpr int kShowCommandRestore = 9;                   // SW_RESTORE

class IDesktop {
 public:
  virtual ~IDesktop() = default;

  // FindWindowExW(nullptr, after, className, nullptr): the next top-level
  // window of that class after `after` (0 starts at the top of the Z order).
  virtual WindowHandle FindTopWindow(WindowHandle after, const std::u16string& className) = 0;
  // GetWindowTextW with a buffer of `maxChars` characters, terminator included.
  virtual std::u16string WindowTitle(WindowHandle window, std::size_t maxChars) = 0;
  virtual std::uint32_t WindowStyle(WindowHandle window) = 0;
  virtual bool WindowRect(WindowHandle window, ScreenRect* rect) = 0;
  virtual bool IsMinimized(WindowHandle window) = 0;
  virtual void ShowWindowCommand(WindowHandle window, int command) = 0;
  virtual void SetForeground(WindowHandle window) = 0;
  virtual void BringToTop(WindowHandle window) = 0;

  // SM_CXVIRTUALSCREEN and SM_CYVIRTUALSCREEN.
  virtual void VirtualScreenSize(std::int32_t* width, std::int32_t* height) = 0;
  // SendInput with one record; answers the number of records inserted.
  virtual std::uint32_t SendInputRecord(const InputRecord& record) = 0;
  virtual void SetCursorPosition(std::int32_t x, std::int32_t y) = 0;
};
