// What the close, about and update dialogs share: a 375 x 202 (at 96 DPI,
// scaled with the screen's density) white panel
// with rounded corners from the empty template 101, centred on its owner,
// with a close button (id 8) in the top-right corner, a drop shadow that
// follows it, and a body that drags it. Each dialog adds its own controls,
// texts and commands.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

#include "ui/win32/color_bitmap_button.h"
#include "ui/win32/shadow_dlg.h"
#include "ui/win32/text_button.h"

class CFlatDlg {
 public:
  static constexpr int kWidth = 375;
  static constexpr int kHeight = 202;
  // The id-1 button's result, and the close button's.
  static constexpr INT_PTR kResultOk = 1;
  static constexpr INT_PTR kResultClose = 2;
  static constexpr int kIdOk = 1;
  static constexpr int kIdClose = 8;

  virtual ~CFlatDlg() = default;
  CFlatDlg(const CFlatDlg&) = delete;
  CFlatDlg& operator=(const CFlatDlg&) = delete;

  // Runs modally over owner; kResultOk or kResultClose (also when the run
  // could not start or the window went away without an answer).
  INT_PTR DoModal(HWND owner);
  // Ends a running dialog as if closed, without the close button's side
  // effects: the owner is going away.
  void Cancel();
  HWND Hwnd() const { return window_; }
  HWND ShadowHwnd() const { return shadow_.Hwnd(); }
  // The scale the dialog is laid out at (its sizes are written for 96 DPI).
  const DpiScale& Scale() const { return scale_; }

 protected:
  CFlatDlg() = default;

  // The dialog's own controls, created after the close button.
  virtual void CreateContent() = 0;
  // Everything but the white panel, which is already filled.
  virtual void PaintContent(Gdiplus::Graphics& g) = 0;
  // A click (notification code 0) on a control of the dialog; the close
  // button too. The default ends with kResultOk or kResultClose.
  virtual void OnCommand(int id);
  // Destroys the shadow and ends the modal run with result.
  void End(INT_PTR result);

  // A caption button on one of the shared strips (frames 1, 2, 0, 3), at r
  // (96-DPI pixels; the dialog scales it).
  void CreateButton(CColorBitmapButton& button, const RECT& r, int id, int strip,
                    const wchar_t* caption);
  // A link: text on white in colour, at r (96-DPI pixels).
  void CreateLink(CTextButton& link, const RECT& r, int id, const wchar_t* text, COLORREF colour);
  // Text at a point (96-DPI pixels), near-aligned, in the dialogs' slate
  // colour.
  void DrawText(Gdiplus::Graphics& g, const wchar_t* text, const Gdiplus::Font& font, float x,
                float y);
  // The scale changed: what the dialog loaded for the old one is loaded
  // again (its controls are placed by the base).
  virtual void OnScaleChanged() {}

  HWND window_ = nullptr;
  std::unique_ptr<Gdiplus::Font> titleFont_;  // 12 px bold
  std::unique_ptr<Gdiplus::Font> textFont_;   // 12 px regular

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  void OnInitDialog();
  void Paint(HDC target);
  void ApplyRegionAndFonts();
  void PlaceButton(CColorBitmapButton& button, const RECT& r, int strip);
  void PlaceLink(CTextButton& link, const RECT& r);
  void OnDpiChanged(const DpiScale& scale, const RECT& suggested);

  struct PlacedButton {
    CColorBitmapButton* button;
    RECT rect;
    int strip;
  };
  struct PlacedLink {
    CTextButton* link;
    RECT rect;
  };

  DpiScale scale_;
  CColorBitmapButton close_;
  std::vector<PlacedButton> buttons_;
  std::vector<PlacedLink> links_;
  CShadowDlg shadow_;
  bool ended_ = false;
};
