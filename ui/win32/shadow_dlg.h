// The soft drop shadow under the main window and each dialog: a layered
// tool window, made from the empty template 101, that reaches 7 pixels
// beyond its owner on the left and right, 3 above and 11 below. Its picture
// is the 37 x 37 image PNG 116 stretched as a nine-part frame, drawn once;
// the middle stays fully transparent, so the owner shows through and clicks
// there reach it. The owner calls OnOwnerMoved from its WM_MOVE.
#pragma once

#include <windows.h>

#include <memory>

#include "ui/win32/gdi.h"

class CShadowDlg {
 public:
  static constexpr int kDefaultSize = 7;

  CShadowDlg() = default;
  ~CShadowDlg() { Destroy(); }
  CShadowDlg(const CShadowDlg&) = delete;
  CShadowDlg& operator=(const CShadowDlg&) = delete;

  // The owner's window rectangle in screen pixels.
  void SetOwnerRect(const RECT& r) { owner_ = r; }
  void SetShadowSize(int size) { size_ = size; }
  // The owner's scale; every length of the shadow follows it.
  void SetScale(const DpiScale& scale) { scale_ = scale; }
  // After a change of scale: placed and drawn anew around the owner's
  // rectangle.
  void Redraw();
  // Creates the (hidden) window owned by owner, placed and drawn.
  bool Create(HWND owner);
  void Show();
  void Destroy();
  // The owner now occupies r: follow it, without drawing again.
  void OnOwnerMoved(const RECT& r);

  HWND Hwnd() const { return window_; }
  // Where the shadow goes for an owner rectangle.
  static RECT PlaceFor(const RECT& owner, const DpiScale& scale = DpiScale());
  // The picture of a width x height shadow window, as an ARGB bitmap;
  // fully transparent when PNG 116 is missing.
  static std::unique_ptr<Gdiplus::Bitmap> Render(int width, int height, int size,
                                                 const DpiScale& scale = DpiScale());

 private:
  // The lengths of the frame at a scale: beyond the owner on each side, the
  // image's window-sized hole, and the shadow size s.
  struct Metrics {
    int side, above, below, inner, s;
  };
  static Metrics MetricsFor(const DpiScale& scale, int size);
  static std::unique_ptr<Gdiplus::Bitmap> LoadImage(const Metrics& m, const DpiScale& scale);
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Place();
  void Draw();
  static void DrawFrame(Gdiplus::Graphics& g, Gdiplus::Bitmap* image, int width, int height,
                        const Metrics& m);

  HWND window_ = nullptr;
  RECT owner_{};
  int size_ = kDefaultSize;
  DpiScale scale_;
  std::unique_ptr<Gdiplus::Bitmap> image_;
};
