#include "ui/win32/laser_wnd.h"

#include "ui/win32/resource_ids.h"

namespace {

using resource_id::kLaserPng;

constexpr wchar_t kClassName[] = L"PivaroLaser";

}  // namespace

bool CLaserWnd::Create(HWND owner, int x, int y) {
  Destroy();
  DpiScale scale = DpiScale::ForWindow(owner);
  size_ = scale(kSize);
  const int half = scale(kHalf);
  image_ = LoadPngResource(kLaserPng, scale);
  return CreateChild(kClassName, 0, nullptr, owner,
                     RECT{x - half, y - half, x - half + size_, y - half + size_},
                     WS_POPUP | WS_VISIBLE, 0);
}

void CLaserWnd::MoveTo(int x, int y) {
  const int half = size_ * kHalf / kSize;
  if (Exists()) MoveWindow(window_, x - half, y - half, size_, size_, TRUE);
}

void CLaserWnd::Destroy() {
  if (Exists()) DestroyWindow(window_);
  window_ = nullptr;
}

LRESULT CLaserWnd::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      // Without the image the window is layered and fully transparent.
      ApplyImage();
      return 0;
    case WM_PAINT: {
      PaintScope paint(window_);
      if (image_) {
        Gdiplus::Graphics g(paint.dc());
        g.DrawImage(image_.get(), 0, 0, size_, size_);
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
  ApplyLayeredContent(window_, size_, size_, [this](Gdiplus::Graphics& g) {
    if (image_) g.DrawImage(image_.get(), 0, 0, size_, size_);
  });
}
