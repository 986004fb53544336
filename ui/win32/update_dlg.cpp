#include "ui/win32/update_dlg.h"

#include "app/state_texts.h"
#include "ui/win32/resource_ids.h"

namespace {

using resource_id::kUpdatePng;
using resource_id::kWideButtonStrip;

constexpr RECT kDownloadRect{252, 152, 345, 178};
constexpr float kTitleX = 15, kTitleY = 15;
constexpr int kIconX = 35, kIconY = 77;
constexpr float kMessageX = 101, kMessageY = 77, kMessageHeight = 48;
constexpr COLORREF kText = Rgb(0x425766);
// Keys of the 1881 record: which button answered the notice.
constexpr int kKeyDownload = Report::Field::UpdateDownload;
constexpr int kKeyClose = Report::Field::UpdateClose;

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

}  // namespace

void CUpdateDlg::CreateContent() {
  icon_ = LoadPngResource(kUpdatePng, Scale());
  CreateButton(download_, kDownloadRect, kIdOk, kWideButtonStrip, Wide(kDownloadButton));
}

void CUpdateDlg::PaintContent(Gdiplus::Graphics& g) {
  DrawText(g, Wide(kUpdateTitle), *titleFont_, kTitleX, kTitleY);
  if (icon_) {
    g.DrawImage(icon_.get(), Scale()(kIconX), Scale()(kIconY), static_cast<INT>(icon_->GetWidth()),
                static_cast<INT>(icon_->GetHeight()));
  }
  Gdiplus::StringFormat format;
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  Gdiplus::SolidBrush brush(ToColor(kText));
  // Width 0: the lines are as long as they are, centred together on the
  // icon's height.
  g.DrawString(Wide(kUpdateNotice), -1, textFont_.get(),
               Gdiplus::RectF(Scale()(kMessageX), Scale()(kMessageY), 0, Scale()(kMessageHeight)),
               &format, &brush);
}

void CUpdateDlg::OnScaleChanged() { icon_ = LoadPngResource(kUpdatePng, Scale()); }

void CUpdateDlg::OnCommand(int id) {
  if (id == kIdOk) {
    End(kResultOk);
    ReportAnswer(kKeyDownload);
  } else if (id == kIdClose) {
    End(kResultClose);
    ReportAnswer(kKeyClose);
  }
}

void CUpdateDlg::ReportAnswer(int key) {
  if (!reports_) return;
  Report::IReportData* data = reports_->CreateData(Report::ReportCmdUpdate);
  if (!data) return;
  data->PutValues(2, key, Report::Int, 1, Report::Field::Marker, Report::Int, 1);
  reports_->SendData(data, Report::Queued, 0, 0);
  reports_->ReleaseData(data);
}
