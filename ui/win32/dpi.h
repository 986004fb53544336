// The one place where the windows' layout meets the screen's pixel density.
// Every size and position of the windows is written for 96 DPI (100 %);
// a DpiScale turns it into pixels of the DPI a window is shown at. At 96
// DPI every value comes out exactly as written.
#pragma once

#include <windows.h>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif
#ifndef WM_GETDPISCALEDSIZE
#define WM_GETDPISCALEDSIZE 0x02E4
#endif

class DpiScale {
 public:
  static constexpr UINT kDefaultDpi = 96;

  constexpr DpiScale() = default;
  explicit constexpr DpiScale(UINT dpi) : dpi_(dpi > 0 ? dpi : kDefaultDpi) {}

  // The DPI the window is shown at: GetDpiForWindow where the system has
  // it (Windows 10 1607 and later), else the screen's logical DPI, which
  // is the whole desktop's on older systems.
  static DpiScale ForWindow(HWND window);
  // The DPI a WM_DPICHANGED carries in its wParam.
  static DpiScale FromDpiChanged(WPARAM wParam) { return DpiScale(LOWORD(wParam)); }

  constexpr UINT Dpi() const { return dpi_; }
  constexpr bool IsDefault() const { return dpi_ == kDefaultDpi; }
  // A length or coordinate in whole pixels, rounded to the nearest (halves
  // away from zero, as MulDiv does).
  int operator()(int value) const { return MulDiv(value, static_cast<int>(dpi_), kDefaultDpi); }
  // A coordinate of drawn content (text positions, font sizes), unrounded.
  float operator()(float value) const { return value * static_cast<float>(dpi_) / kDefaultDpi; }
  // Each edge scaled on its own, so that rectangles that touch still touch.
  RECT operator()(const RECT& r) const {
    return RECT{(*this)(static_cast<int>(r.left)), (*this)(static_cast<int>(r.top)),
                (*this)(static_cast<int>(r.right)), (*this)(static_cast<int>(r.bottom))};
  }
  POINT operator()(const POINT& p) const {
    return POINT{(*this)(static_cast<int>(p.x)), (*this)(static_cast<int>(p.y))};
  }

  friend constexpr bool operator==(DpiScale a, DpiScale b) { return a.dpi_ == b.dpi_; }
  friend constexpr bool operator!=(DpiScale a, DpiScale b) { return a.dpi_ != b.dpi_; }

 private:
  UINT dpi_ = kDefaultDpi;
};

// Answers WM_GETDPISCALEDSIZE for a window laid out at width x height at 96
// DPI: moved to a screen of another density, its size there is the
// layout's, not the current size stretched.
inline void AnswerDpiScaledSize(WPARAM wParam, LPARAM lParam, int width, int height) {
  DpiScale next(static_cast<UINT>(wParam));
  auto* size = reinterpret_cast<SIZE*>(lParam);
  size->cx = next(width);
  size->cy = next(height);
}
