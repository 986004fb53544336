// SIMULATION: a desktop with a list of top-level windows and a recorder of
// simulated input. It stands in for the Windows desktop on Linux and in
// tests; all operations are thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "presentation/desktop.h"

class CSimulatedDesktop : public IDesktop {
 public:
  struct Window {
    WindowHandle handle = 0;
    std::u16string className;
    std::u16string title;
    std::uint32_t style = 0;
    ScreenRect rect;
    bool minimized = false;
    bool visible = true;
  };

  CSimulatedDesktop(std::int32_t screenWidth = 1920, std::int32_t screenHeight = 1080);

  // Adds a window on top of the Z order.
  WindowHandle AddWindow(const std::u16string& className, const std::u16string& title,
                         std::uint32_t style, const ScreenRect& rect);
  void RemoveWindow(WindowHandle window);
  void SetMinimized(WindowHandle window, bool minimized);
  void SetVirtualScreenSize(std::int32_t width, std::int32_t height);

  // Top first.
  std::vector<Window> Windows() const;
  WindowHandle Foreground() const;
  std::vector<InputRecord> SentInput() const;
  void ClearSentInput();
  void CursorPosition(std::int32_t* x, std::int32_t* y) const;
  // Whether a key-down of `virtualKey` was sent without a later key-up.
  bool IsKeyHeld(std::uint16_t virtualKey) const;

  WindowHandle FindTopWindow(WindowHandle after, const std::u16string& className) override;
  std::u16string WindowTitle(WindowHandle window, std::size_t maxChars) override;
  std::uint32_t WindowStyle(WindowHandle window) override;
  bool WindowRect(WindowHandle window, ScreenRect* rect) override;
  bool IsMinimized(WindowHandle window) override;
  void ShowWindowCommand(WindowHandle window, int command) override;
  void SetForeground(WindowHandle window) override;
  void BringToTop(WindowHandle window) override;
  void VirtualScreenSize(std::int32_t* width, std::int32_t* height) override;
  std::uint32_t SendInputRecord(const InputRecord& record) override;
  void SetCursorPosition(std::int32_t x, std::int32_t y) override;

 private:
  Window* FindLocked(WindowHandle window);
  void RaiseLocked(WindowHandle window);

  mutable std::mutex lock_;
  std::vector<Window> windows_;  // top first
  WindowHandle nextHandle_ = 0x10010;
  WindowHandle foreground_ = 0;
  std::int32_t screenWidth_;
  std::int32_t screenHeight_;
  std::int32_t cursorX_ = 0;
  std::int32_t cursorY_ = 0;
  std::vector<InputRecord> input_;
};
