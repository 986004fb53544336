#include "ui/win32/loading_circle.h"

namespace {
constexpr int kStripId = 112;
}

bool CLoadingCircleControl::Create(HWND parent, const RECT& rect) {
  return CreateChild(L"PivaroLoadingCircle", 0, nullptr, parent, rect, WS_CHILD | WS_VISIBLE, 0);
}

LRESULT CLoadingCircleControl::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      strip_ = LoadPngResource(kStripId);
      return 0;
    case WM_TIMER:
      if (wParam != kTimerId) break;
      frame_ = (frame_ + 1) % kFrames;
      InvalidateRect(window_, nullptr, FALSE);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PaintScope paint(window_);
      Paint(paint.dc());
      return 0;
    }
    case WM_PRINTCLIENT:
      Paint(reinterpret_cast<HDC>(wParam));
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void CLoadingCircleControl::Paint(HDC target) {
  RECT client;
  GetClientRect(window_, &client);
  BackBuffer buffer(target, client.right, client.bottom);
  {
    Gdiplus::Graphics g(buffer.dc());
    g.Clear(Gdiplus::Color(255, 255, 255, 255));
    // A strip that failed to load leaves the place white.
    if (strip_) {
      g.DrawImage(strip_.get(), Gdiplus::Rect(0, 0, kSize, kSize), frame_ * kSize, 0, kSize, kSize,
                  Gdiplus::UnitPixel);
    }
  }
  buffer.CopyTo(target);
}
