// The PC-drawn laser dot for shows without a laser of their own: a 52 x 52
// layered pop-up owned by the slide show window, so that it stays above
// the show. Its picture (PNG 118, a red dot fading into transparency) is
// applied once when the window is made; moving it is one MoveWindow. The
// window exists only while the dot is shown, and only the UI thread that
// made it touches it.
#pragma once

#include <windows.h>

#include <memory>

#include "ui/win32/child_window.h"
#include "ui/win32/gdi.h"

class CLaserWnd : public CChildWindow<CLaserWnd> {
 public:
  // At 96 DPI; the dot follows the scale of the show's window.
  static constexpr int kSize = 52;
  static constexpr int kHalf = 26;

  CLaserWnd() = default;
  ~CLaserWnd() { Destroy(); }
  CLaserWnd(const CLaserWnd&) = delete;
  CLaserWnd& operator=(const CLaserWnd&) = delete;

  // A visible pop-up owned by owner, centred on (x, y).
  bool Create(HWND owner, int x, int y);
  // Centres the dot on (x, y).
  void MoveTo(int x, int y);
  void Destroy();
  bool Exists() const { return window_ != nullptr && IsWindow(window_); }

  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  void ApplyImage();

  std::unique_ptr<Gdiplus::Bitmap> image_;
  int size_ = kSize;
};
