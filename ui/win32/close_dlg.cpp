#include "ui/win32/close_dlg.h"

#include "app/state_texts.h"
#include "ui/win32/resource_ids.h"

namespace {

using resource_id::kButtonStrip;
using resource_id::kWideButtonStrip;

constexpr RECT kConfirmRect{252, 152, 345, 178};
constexpr RECT kCancelRect{164, 152, 244, 178};  // id 8, as the close button
constexpr float kTitleX = 15, kTitleY = 15;
constexpr float kQuestionX = 35, kQuestionY = 83;

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

}  // namespace

void CCloseDlg::CreateContent() {
  CreateButton(confirm_, kConfirmRect, kIdOk, kWideButtonStrip, Wide(kCloseConfirm));
  CreateButton(cancel_, kCancelRect, kIdClose, kButtonStrip, Wide(kCancelText));
}

void CCloseDlg::PaintContent(Gdiplus::Graphics& g) {
  DrawText(g, Wide(kCloseTitle), *titleFont_, kTitleX, kTitleY);
  DrawText(g, Wide(kCloseQuestion), *textFont_, kQuestionX, kQuestionY);
}
