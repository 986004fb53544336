// The about dialog: the version, two copyright lines, the official website
// (a link that opens it) and a link to the user agreement. The links leave
// the dialog open; "确定" ends it with 1, the close button with 2.
#pragma once

#include <functional>

#include "ui/win32/flat_dlg.h"

class CAboutDlg : public CFlatDlg {
 public:
  static constexpr int kIdWebsite = 1003;
  static constexpr int kIdAgreement = 1007;

  // openUrl opens an address in the default browser.
  explicit CAboutDlg(std::function<void(const wchar_t*)> openUrl) : openUrl_(std::move(openUrl)) {}

 private:
  void CreateContent() override;
  void PaintContent(Gdiplus::Graphics& g) override;
  void OnCommand(int id) override;

  std::function<void(const wchar_t*)> openUrl_;
  CTextButton website_;
  CTextButton agreement_;
  CColorBitmapButton ok_;
};
