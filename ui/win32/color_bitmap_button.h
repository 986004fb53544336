// An image button with a rounded colour background and a centred caption:
// the title-bar buttons, the connect button and the update corner.
#pragma once

#include <memory>

#include "ui/win32/button_base.h"

class CColorBitmapButton : public CBitmapButtonBase {
 public:
  CColorBitmapButton() : CBitmapButtonBase(kStyleAutoSize) {}

  void SetBackgroundColor(COLORREF c) { background_ = c; }
  void SetCaptionColor(COLORREF c) { captionColor_ = c; }
  // Takes the font; its GDI twin is what the caption is drawn with.
  void SetCaptionFont(std::unique_ptr<Gdiplus::Font> font);
  void SetCorners(int width, int height) {
    cornerWidth_ = width;
    cornerHeight_ = height;
  }

 protected:
  void Paint(HDC dc, const RECT& client) override;
  bool EraseBackground(HDC dc, const RECT& client) override;

 private:
  COLORREF background_ = RGB(255, 255, 255);
  COLORREF captionColor_ = RGB(255, 255, 255);
  std::unique_ptr<Gdiplus::Font> font_;
  GdiObject<HFONT> gdiFont_;
  int cornerWidth_ = 0;
  int cornerHeight_ = 0;
};
