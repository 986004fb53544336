#include "ui/win32/color_bitmap_button.h"

void CColorBitmapButton::SetCaptionFont(std::unique_ptr<Gdiplus::Font> font) {
  font_ = std::move(font);
  gdiFont_ = font_ ? ToGdiFont(*font_) : GdiObject<HFONT>();
}

bool CColorBitmapButton::EraseBackground(HDC dc, const RECT& client) {
  GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, background_));
  GdiObject<HBRUSH> brush(CreateSolidBrush(background_));
  SelectScope usePen(dc, pen.get());
  SelectScope useBrush(dc, brush.get());
  RoundRect(dc, client.left, client.top, client.right, client.bottom, cornerWidth_, cornerHeight_);
  return true;
}

void CColorBitmapButton::Paint(HDC dc, const RECT& client) {
  // Owner drawing gets no erase of its own after a state change.
  EraseBackground(dc, client);
  int image = CurrentImage();
  if (image >= 0) ImageList_Draw(Images().get(), image, dc, 0, 0, ILD_NORMAL);

  std::wstring caption = Caption();
  if (caption.empty()) return;
  HGDIOBJ previousFont = gdiFont_ ? SelectObject(dc, gdiFont_.get()) : nullptr;
  SetTextColor(dc, captionColor_);
  SetBkMode(dc, TRANSPARENT);
  SIZE size{};
  GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &size);
  int shift = IsPressed() ? Scale()(1) : 0;
  int x = (client.right - client.left - size.cx) / 2 + shift;
  int y = (client.bottom - client.top - size.cy) / 2 + shift;
  TextOutW(dc, x, y, caption.c_str(), static_cast<int>(caption.size()));
  if (previousFont) SelectObject(dc, previousFont);
}
