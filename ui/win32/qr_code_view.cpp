#include "ui/win32/qr_code_view.h"

#include "ui/win32/gdi.h"

bool CQRCodeView::Create(HWND parent, const RECT& rect) {
  return CreateChild(L"PivaroQRCodeView", CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS,
                     reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1), parent, rect,
                     WS_CHILD | WS_VISIBLE, 0);
}

void CQRCodeView::SetAddress(const std::string& address) {
  text_ = address;
  symbol_.Encode(text_);
  // Shown or not, the next paint must draw the new code.
  if (window_) InvalidateRect(window_, nullptr, TRUE);
}

LRESULT CQRCodeView::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return 0;
    case WM_PAINT: {
      PaintScope paint(window_);
      Paint(paint.dc());
      return 0;
    }
    case WM_RBUTTONUP:
      // The owner decides what a right click on the code means (it switches
      // between the app's and the browser remote's address).
      PostMessageW(GetParent(window_), WM_COMMAND, MAKEWPARAM(kSwitchCommand, 0),
                   reinterpret_cast<LPARAM>(window_));
      return 0;
    case WM_PRINTCLIENT: {
      RECT client;
      GetClientRect(window_, &client);
      FillRect(reinterpret_cast<HDC>(wParam), &client, GetSysColorBrush(COLOR_WINDOW));
      Paint(reinterpret_cast<HDC>(wParam));
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void CQRCodeView::Paint(HDC dc) {
  RECT client;
  GetClientRect(window_, &client);
  if (!symbol_.Empty()) {
    PaintModules(dc, client);
  } else if (!text_.empty()) {
    PaintAddressText(dc, client);
  }
}

void CQRCodeView::PaintModules(HDC dc, const RECT& client) {
  int n = symbol_.Width();
  QrLayout layout = ComputeQrLayout(client.left, client.top, client.right, client.bottom, n);
  GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, moduleColor_));
  GdiObject<HBRUSH> brush(CreateSolidBrush(moduleColor_));
  SelectScope usePen(dc, pen.get());
  SelectScope useBrush(dc, brush.get());
  int m = layout.module;
  for (int r = 0; r < n; ++r) {
    for (int c = 0; c < n; ++c) {
      if (!symbol_.IsDark(r, c)) continue;
      Rectangle(dc, layout.x0 + c * m, layout.y0 + r * m, layout.x0 + (c + 1) * m,
                layout.y0 + (r + 1) * m);
    }
  }
}

void CQRCodeView::PaintAddressText(HDC dc, const RECT& client) {
  std::wstring wide;
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text_.data(), static_cast<int>(text_.size()), nullptr, 0);
  if (length > 0) {
    wide.resize(static_cast<std::size_t>(length));
    MultiByteToWideChar(CP_UTF8, 0, text_.data(), static_cast<int>(text_.size()), &wide[0], length);
  }
  auto font = MakeUiFont(scale_(12.0f));
  GdiObject<HFONT> gdiFont = ToGdiFont(*font);
  HGDIOBJ previous = gdiFont ? SelectObject(dc, gdiFont.get()) : nullptr;
  SetTextColor(dc, Rgb(0x425766));
  SetBkMode(dc, TRANSPARENT);
  RECT box = client;
  InflateRect(&box, -scale_(8), 0);
  UINT flags = DT_CENTER | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX;
  RECT measured = box;
  DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &measured, flags | DT_CALCRECT);
  int height = measured.bottom - measured.top;
  box.top = client.top + (client.bottom - client.top - height) / 2;
  box.bottom = box.top + height;
  DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &box, flags);
  if (previous) SelectObject(dc, previous);
}
