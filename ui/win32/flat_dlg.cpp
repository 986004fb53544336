#include "ui/win32/flat_dlg.h"

#include <windowsx.h>

#include "ui/win32/dialog_proc.h"
#include "ui/win32/resource_ids.h"

namespace {

using resource_id::kCloseStrip;
using resource_id::kTemplateId;

constexpr int kCornerEllipse = 7;
constexpr RECT kCloseRect{334, 0, 375, 30};
constexpr COLORREF kText = Rgb(0x425766);
constexpr COLORREF kWhite = Rgb(0xFFFFFF);
constexpr float kFontPixels = 12;

void Place(HWND window, const RECT& r) {
  if (!window) return;
  SetWindowPos(window, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

INT_PTR CFlatDlg::DoModal(HWND owner) {
  ended_ = false;
  INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), owner,
                                   &CFlatDlg::DialogProc, reinterpret_cast<LPARAM>(this));
  window_ = nullptr;
  shadow_.Destroy();
  return result == kResultOk ? kResultOk : kResultClose;
}

void CFlatDlg::Cancel() {
  if (window_ && !ended_) End(kResultClose);
}

void CFlatDlg::End(INT_PTR result) {
  ended_ = true;
  shadow_.Destroy();
  EndDialog(window_, result);
}

void CFlatDlg::OnCommand(int id) {
  if (id == kIdOk) End(kResultOk);
  if (id == kIdClose) End(kResultClose);
}

INT_PTR CALLBACK CFlatDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return RouteDialogMessage(window, message, wParam, lParam, &CFlatDlg::window_,
                            &CFlatDlg::OnMessage);
}

bool CFlatDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return false;
    case WM_ERASEBKGND:
      *result = 1;
      return true;
    case WM_PAINT: {
      PaintScope paint(window_);
      Paint(paint.dc());
      return true;
    }
    case WM_PRINTCLIENT:
      Paint(reinterpret_cast<HDC>(wParam));
      return true;
    case WM_DRAWITEM:
      *result = CBitmapButtonBase::ReflectDrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
      return true;
    case WM_COMMAND:
      if (HIWORD(wParam) == 0 && !ended_) OnCommand(LOWORD(wParam));
      return true;
    case WM_CLOSE:
      // Alt+F4 and the system menu answer as the close button does.
      if (!ended_) OnCommand(kIdClose);
      return true;
    case WM_MOVE: {
      RECT r;
      GetWindowRect(window_, &r);
      shadow_.OnOwnerMoved(r);
      return true;
    }
    case WM_GETDPISCALEDSIZE:
      AnswerDpiScaledSize(wParam, lParam, kWidth, kHeight);
      *result = TRUE;
      return true;
    case WM_DPICHANGED:
      OnDpiChanged(DpiScale::FromDpiChanged(wParam), *reinterpret_cast<const RECT*>(lParam));
      return true;
    case WM_LBUTTONDOWN: {
      POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ClientToScreen(window_, &p);
      PostMessageW(window_, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(p.x, p.y));
      return true;
    }
    case WM_DESTROY:
      // Gone without End (its owner was destroyed): the shadow goes too.
      shadow_.Destroy();
      return false;
    default:
      return false;
  }
}

void CFlatDlg::OnInitDialog() {
  RECT area;
  HWND owner = GetWindow(window_, GW_OWNER);
  if (owner && IsWindowVisible(owner) && !IsIconic(owner)) {
    GetWindowRect(owner, &area);
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  scale_ = DpiScale::ForWindow(window_);
  const int width = scale_(kWidth), height = scale_(kHeight);
  SetWindowPos(window_, nullptr, area.left + (area.right - area.left - width) / 2,
               area.top + (area.bottom - area.top - height) / 2, width, height,
               SWP_NOZORDER | SWP_NOACTIVATE);
  ApplyRegionAndFonts();

  close_.Create(window_, scale_(kCloseRect), kIdClose);
  close_.SetExtendedStyle(CBitmapButtonBase::kStyleHover | CBitmapButtonBase::kStyleAutoSize);
  close_.SetBackgroundColor(kWhite);
  PlaceButton(close_, kCloseRect, kCloseStrip);
  close_.SetImages(0, 2, 1, 3);
  close_.SetToolTipText(L"关闭");
  CreateContent();

  RECT r;
  GetWindowRect(window_, &r);
  shadow_.SetOwnerRect(r);
  shadow_.SetShadowSize(CShadowDlg::kDefaultSize);
  shadow_.SetScale(scale_);
  if (shadow_.Create(window_)) shadow_.Show();
}

void CFlatDlg::ApplyRegionAndFonts() {
  const int corner = scale_(kCornerEllipse);
  GdiObject<HRGN> region(
      CreateRoundRectRgn(0, 0, scale_(kWidth) + 1, scale_(kHeight) + 1, corner, corner));
  if (SetWindowRgn(window_, region.get(), TRUE)) region.Release();
  titleFont_ = MakeUiFont(scale_(kFontPixels), Gdiplus::FontStyleBold);
  textFont_ = MakeUiFont(scale_(kFontPixels));
}

void CFlatDlg::PlaceButton(CColorBitmapButton& b, const RECT& r, int strip) {
  Place(b.Hwnd(), scale_(r));
  b.SetScale(scale_);
  b.SetImageList(LoadImageStrip(strip, 4, 4, scale_));
}

void CFlatDlg::PlaceLink(CTextButton& link, const RECT& r) {
  Place(link.Hwnd(), scale_(r));
  link.SetScale(scale_);
  link.SetFont(MakeUiFont(scale_(kFontPixels)));
}

void CFlatDlg::OnDpiChanged(const DpiScale& scale, const RECT& suggested) {
  const bool changed = scale != scale_;
  scale_ = scale;
  shadow_.SetScale(scale_);
  Place(window_, suggested);
  if (!changed) return;
  ApplyRegionAndFonts();
  PlaceButton(close_, kCloseRect, kCloseStrip);
  for (const PlacedButton& b : buttons_) {
    PlaceButton(*b.button, b.rect, b.strip);
    b.button->SetCaptionFont(MakeUiFont(scale_(kFontPixels)));
  }
  for (const PlacedLink& l : links_) PlaceLink(*l.link, l.rect);
  OnScaleChanged();
  RECT r;
  GetWindowRect(window_, &r);
  shadow_.SetOwnerRect(r);
  shadow_.Redraw();
  InvalidateRect(window_, nullptr, TRUE);
}

void CFlatDlg::CreateButton(CColorBitmapButton& b, const RECT& r, int id, int strip,
                            const wchar_t* caption) {
  b.Create(window_, scale_(r), id);
  b.SetExtendedStyle(CBitmapButtonBase::kStyleHover | CBitmapButtonBase::kStyleAutoSize);
  b.SetBackgroundColor(kWhite);
  PlaceButton(b, r, strip);
  b.SetImages(1, 2, 0, 3);
  b.SetCaptionColor(kText);
  b.SetCaptionFont(MakeUiFont(scale_(kFontPixels)));
  SetWindowTextW(b.Hwnd(), caption);
  buttons_.push_back(PlacedButton{&b, r, strip});
}

void CFlatDlg::CreateLink(CTextButton& link, const RECT& r, int id, const wchar_t* text,
                          COLORREF colour) {
  link.Create(window_, scale_(r), id);
  link.SetBackgroundColor(kWhite);
  link.SetBorderColor(kWhite);
  link.SetTextColor(colour);
  PlaceLink(link, r);
  SetWindowTextW(link.Hwnd(), text);
  links_.push_back(PlacedLink{&link, r});
}

void CFlatDlg::DrawText(Gdiplus::Graphics& g, const wchar_t* text, const Gdiplus::Font& font,
                        float x, float y) {
  Gdiplus::StringFormat format;
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  Gdiplus::SolidBrush brush(ToColor(kText));
  g.DrawString(text, -1, &font, Gdiplus::PointF(scale_(x), scale_(y)), &format, &brush);
}

void CFlatDlg::Paint(HDC target) {
  const int width = scale_(kWidth), height = scale_(kHeight);
  BackBuffer buffer(target, width, height);
  {
    Gdiplus::Graphics g(buffer.dc());
    g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    Gdiplus::SolidBrush white(ToColor(kWhite));
    g.FillRectangle(&white, 0, 0, width, height);
    PaintContent(g);
  }
  buffer.CopyTo(target);
}
