#include "ui/win32/laser_wnd.h"

namespace {

constexpr int kLaserPng = 118;
constexpr wchar_t kClassName[] = L"PivaroLaser";

}  // namespace

bool CLaserWnd::Create(HWND owner, int x, int y) {
  Destroy();
  return CreateChild(kClassName, 0, nullptr, owner, RECT{x, y, x + kSize, y + kSize},
                     WS_POPUP | WS_VISIBLE, 0);
}

void CLaserWnd::MoveTo(int x, int y) {
  if (Exists()) MoveWindow(window_, x, y, kSize, kSize, TRUE);
}

void CLaserWnd::Destroy() {
  if (Exists()) DestroyWindow(window_);
  window_ = nullptr;
}

LRESULT CLaserWnd::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      // Without the image the window is layered and fully transparent.
      image_ = LoadPngResource(kLaserPng);
      ApplyImage();
      return 0;
    case WM_PAINT: {
      PaintScope paint(window_);
      if (image_) {
        Gdiplus::Graphics g(paint.dc());
        g.DrawImage(image_.get(), 0, 0, kSize, kSize);
      }
      return 0;
    }
    case WM_NCDESTROY:
      image_.reset();
      return DefWindowProcW(window_, message, wParam, lParam);
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

void CLaserWnd::ApplyImage() {
  ApplyLayeredContent(window_, kSize, kSize, [this](Gdiplus::Graphics& g) {
    if (image_) g.DrawImage(image_.get(), 0, 0, kSize, kSize);
  });
}
