// The question asked before the client closes while a phone is connected:
// "关闭并断开" (1) lets it close, "取消" and the close button (2) keep it.
#pragma once

#include <windows.h>

#include <memory>

#include "ui/win32/color_bitmap_button.h"

class CCloseDlg {
 public:
  static constexpr INT_PTR kConfirm = 1;
  static constexpr INT_PTR kKeep = 2;

  CCloseDlg() = default;
  CCloseDlg(const CCloseDlg&) = delete;
  CCloseDlg& operator=(const CCloseDlg&) = delete;

  // Runs modally over owner; kConfirm or kKeep.
  INT_PTR DoModal(HWND owner);

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  void OnInitDialog();
  void Paint(HDC target);

  HWND window_ = nullptr;
  CColorBitmapButton close_;
  CColorBitmapButton confirm_;
  CColorBitmapButton cancel_;
  std::unique_ptr<Gdiplus::Font> titleFont_;
  std::unique_ptr<Gdiplus::Font> textFont_;
};
