// The question asked before the client closes while a phone is connected:
// "关闭并断开" (1) lets it close, "取消" and the close button (2) keep it.
#pragma once

#include "ui/win32/flat_dlg.h"

class CCloseDlg : public CFlatDlg {
 public:
  static constexpr INT_PTR kConfirm = kResultOk;
  static constexpr INT_PTR kKeep = kResultClose;

  CCloseDlg() = default;

 private:
  void CreateContent() override;
  void PaintContent(Gdiplus::Graphics& g) override;

  CColorBitmapButton confirm_;
  CColorBitmapButton cancel_;
};
