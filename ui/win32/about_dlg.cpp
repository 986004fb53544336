#include "ui/win32/about_dlg.h"

#include <cstring>
#include <string>

#include "app/state_texts.h"
#include "ui/win32/resource_ids.h"

namespace {

using resource_id::kButtonStrip;

constexpr RECT kWebsiteRect{93, 109, 221, 129};
constexpr RECT kAgreementRect{35, 155, 113, 175};
constexpr RECT kOkRect{265, 152, 345, 178};
constexpr float kTitleX = 15, kTitleY = 15;
constexpr float kInfoX = 35;
constexpr float kInfoY[] = {53, 72, 91, 110};
constexpr COLORREF kWebsiteBlue = Rgb(0x3B88F7);
constexpr COLORREF kLink = Rgb(0xA0ABB2);
constexpr COLORREF kLinkActive = Rgb(0x4A90E2);

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

std::wstring WideAscii(const char* text) { return std::wstring(text, text + strlen(text)); }

// The address as people write it: no scheme, no final slash.
std::wstring DisplayAddress(const char* url) {
  std::wstring text = WideAscii(url);
  for (const wchar_t* scheme : {L"https://", L"http://"}) {
    if (text.rfind(scheme, 0) == 0) text.erase(0, wcslen(scheme));
  }
  if (!text.empty() && text.back() == L'/') text.pop_back();
  return text;
}

}  // namespace

void CAboutDlg::CreateContent() {
  CreateLink(website_, kWebsiteRect, kIdWebsite, DisplayAddress(kOfficialWebsite).c_str(),
             kWebsiteBlue);
  website_.SetUnderlineOnHover(true);
  CreateLink(agreement_, kAgreementRect, kIdAgreement, Wide(kAgreementText), kLink);
  agreement_.SetHoverTextColor(kLinkActive);
  agreement_.SetPressedTextColor(kLinkActive);
  CreateButton(ok_, kOkRect, kIdOk, kButtonStrip, Wide(kAboutOk));
}

void CAboutDlg::PaintContent(Gdiplus::Graphics& g) {
  DrawText(g, Wide(kAboutTitle), *titleFont_, kTitleX, kTitleY);
  const char16_t* lines[] = {kAboutVersion, kCopyrightLine1, kCopyrightLine2, kWebsiteLabel};
  for (int i = 0; i < 4; ++i) DrawText(g, Wide(lines[i]), *textFont_, kInfoX, kInfoY[i]);
}

void CAboutDlg::OnCommand(int id) {
  switch (id) {
    case kIdWebsite:
      if (openUrl_) openUrl_(WideAscii(kOfficialWebsite).c_str());
      break;
    case kIdAgreement:
      if (openUrl_) openUrl_(WideAscii(kAgreementPage).c_str());
      break;
    default:
      CFlatDlg::OnCommand(id);
      break;
  }
}
