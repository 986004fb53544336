#include "ui/win32/text_button.h"

void CTextButton::SetFont(std::unique_ptr<Gdiplus::Font> font) {
  font_ = std::move(font);
  gdiFont_ = font_ ? ToGdiFont(*font_) : GdiObject<HFONT>();
}

COLORREF CTextButton::CurrentTextColor() const {
  if (IsPressed() && pressedText_ != kNoColor) return pressedText_;
  if (HoverStyle() && IsMouseOver() && hoverText_ != kNoColor) return hoverText_;
  return text_;
}

bool CTextButton::SetCursorShape() {
  SetCursor(LoadCursorW(nullptr, IDC_HAND));
  return true;
}

void CTextButton::Paint(HDC dc, const RECT& client) {
  {
    GdiObject<HPEN> pen(CreatePen(PS_SOLID, 1, border_));
    GdiObject<HBRUSH> brush(CreateSolidBrush(background_));
    SelectScope usePen(dc, pen.get());
    SelectScope useBrush(dc, brush.get());
    RoundRect(dc, client.left, client.top, client.right, client.bottom, cornerWidth_,
              cornerHeight_);
  }
  COLORREF colour = CurrentTextColor();
  std::wstring caption = Caption();
  HGDIOBJ previousFont = gdiFont_ ? SelectObject(dc, gdiFont_.get()) : nullptr;
  ::SetTextColor(dc, colour);
  SetBkMode(dc, TRANSPARENT);
  SIZE size{};
  GetTextExtentPoint32W(dc, caption.c_str(), static_cast<int>(caption.size()), &size);
  // An underlined link stays put when pressed, so the line and text agree.
  int shift = IsPressed() && !underlineOnHover_ ? Scale()(1) : 0;
  int width = client.right - client.left;
  int height = client.bottom - client.top;
  TextOutW(dc, (width - size.cx) / 2 + shift, (height - size.cy) / 2 + shift, caption.c_str(),
           static_cast<int>(caption.size()));
  if (previousFont) SelectObject(dc, previousFont);

  if (underlineAlways_ || (underlineOnHover_ && IsMouseOver())) {
    // A line as thick as one pixel at 96 DPI, its top where that one is.
    const int thickness = Scale()(1);
    int y = (size.cy + height) / 2 + shift - Scale()(2);
    GdiObject<HBRUSH> line(CreateSolidBrush(colour));
    RECT band{0, y, width, y + thickness};
    FillRect(dc, &band, line.get());
  }
}
