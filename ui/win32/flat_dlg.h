// What the close, about and update dialogs share: a 375 x 202 white panel
// with rounded corners from the empty template 101, centred on its owner,
// with a close button (id 8) in the top-right corner, a drop shadow that
// follows it, and a body that drags it. Each dialog adds its own controls,
// texts and commands.
#pragma once

#include <windows.h>

#include <memory>

#include "ui/win32/color_bitmap_button.h"
#include "ui/win32/shadow_dlg.h"

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

  // A caption button on one of the shared strips (frames 1, 2, 0, 3).
  void CreateButton(CColorBitmapButton& button, const RECT& r, int id, int strip,
                    const wchar_t* caption);
  // Text at a point, near-aligned, in the dialogs' slate colour.
  void DrawText(Gdiplus::Graphics& g, const wchar_t* text, const Gdiplus::Font& font, float x,
                float y);

  HWND window_ = nullptr;
  std::unique_ptr<Gdiplus::Font> titleFont_;  // 12 px bold
  std::unique_ptr<Gdiplus::Font> textFont_;   // 12 px regular

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  void OnInitDialog();
  void Paint(HDC target);

  CColorBitmapButton close_;
  CShadowDlg shadow_;
  bool ended_ = false;
};
