#include "ui/win32/loading_circle.h"

#include "ui/win32/resource_ids.h"

using resource_id::kLoadingStrip;

bool CLoadingCircleControl::Create(HWND parent, const RECT& rect) {
  return CreateChild(L"PivaroLoadingCircle", 0, nullptr, parent, rect, WS_CHILD | WS_VISIBLE, 0);
}

void CLoadingCircleControl::SetScale(const DpiScale& scale) {
  if (scale == scale_) return;
  scale_ = scale;
  strip_ = LoadPngResource(kLoadingStrip, scale_, kFrames);
  if (window_) InvalidateRect(window_, nullptr, FALSE);
}

LRESULT CLoadingCircleControl::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      strip_ = LoadPngResource(kLoadingStrip, scale_, kFrames);
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
      const int size = static_cast<int>(strip_->GetHeight());  // square frames
      g.DrawImage(strip_.get(), Gdiplus::Rect(0, 0, size, size), frame_ * size, 0, size, size,
                  Gdiplus::UnitPixel);
    }
  }
  buffer.CopyTo(target);
}
