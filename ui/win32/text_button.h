// A text-only button for links and text commands: colours per state, an
// optional underline, and the hand cursor.
#pragma once

#include <memory>

#include "ui/win32/button_base.h"

class CTextButton : public CBitmapButtonBase {
 public:
  static constexpr COLORREF kNoColor = static_cast<COLORREF>(-1);

  CTextButton() : CBitmapButtonBase(kStyleHover) {}

  void SetBackgroundColor(COLORREF c) { background_ = c; }
  void SetBorderColor(COLORREF c) { border_ = c; }
  void SetTextColor(COLORREF c) { text_ = c; }
  void SetHoverTextColor(COLORREF c) { hoverText_ = c; }
  void SetPressedTextColor(COLORREF c) { pressedText_ = c; }
  void SetCorners(int width, int height) {
    cornerWidth_ = width;
    cornerHeight_ = height;
  }
  void SetFont(std::unique_ptr<Gdiplus::Font> font);
  void SetUnderlineAlways(bool on) { underlineAlways_ = on; }
  void SetUnderlineOnHover(bool on) { underlineOnHover_ = on; }

  COLORREF CurrentTextColor() const;

 protected:
  void Paint(HDC dc, const RECT& client) override;
  bool EraseBackground(HDC, const RECT&) override { return true; }  // Paint fills it all
  bool SetCursorShape() override;

 private:
  COLORREF background_ = RGB(255, 255, 255);
  COLORREF border_ = RGB(0, 0, 0);
  COLORREF text_ = RGB(255, 255, 255);
  COLORREF hoverText_ = kNoColor;
  COLORREF pressedText_ = kNoColor;
  int cornerWidth_ = 0;
  int cornerHeight_ = 0;
  std::unique_ptr<Gdiplus::Font> font_;
  GdiObject<HFONT> gdiFont_;
  bool underlineAlways_ = false;
  bool underlineOnHover_ = false;
};
