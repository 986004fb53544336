// The new-version notice: the update icon, a two-line message and
// "去官网下载". Ends with 1 for the download button and 2 for the close
// button, and reports which one it was (usage record 1881 with 2 = 1 or
// 3 = 1). What follows (opening the website, ending the program) is the
// caller's.
#pragma once

#include <memory>

#include "services/report.h"
#include "ui/win32/flat_dlg.h"

class CUpdateDlg : public CFlatDlg {
 public:
  // reports may be null: no usage records.
  explicit CUpdateDlg(Report::IReportMgr* reports) : reports_(reports) {}

 private:
  void CreateContent() override;
  void PaintContent(Gdiplus::Graphics& g) override;
  void OnCommand(int id) override;
  void OnScaleChanged() override;
  void ReportAnswer(int key);

  Report::IReportMgr* reports_;
  std::unique_ptr<Gdiplus::Bitmap> icon_;
  CColorBitmapButton download_;
};
