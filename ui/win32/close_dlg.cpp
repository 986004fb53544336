#include "ui/win32/close_dlg.h"

#include <windowsx.h>

#include "app/state_texts.h"

namespace {

constexpr int kTemplateId = 101;
constexpr int kWidth = 375;
constexpr int kHeight = 202;
constexpr int kCornerEllipse = 7;
constexpr RECT kCloseRect{334, 0, 375, 30};
constexpr RECT kConfirmRect{252, 152, 345, 178};
constexpr RECT kCancelRect{164, 152, 244, 178};
constexpr float kTitleX = 15, kTitleY = 15;
constexpr float kQuestionX = 35, kQuestionY = 83;
constexpr int kCloseStrip = 106;
constexpr int kButtonStrip = 111;
constexpr int kWideButtonStrip = 114;
constexpr int kIdConfirm = 1;
constexpr int kIdKeep = 8;  // the close button and "取消"
constexpr COLORREF kText = Rgb(0x425766);
constexpr COLORREF kWhite = Rgb(0xFFFFFF);

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

void SetUpButton(CColorBitmapButton& b, HWND parent, const RECT& r, int id, int strip,
                 const wchar_t* caption) {
  b.Create(parent, r, id);
  b.SetExtendedStyle(CBitmapButtonBase::kStyleHover | CBitmapButtonBase::kStyleAutoSize);
  b.SetBackgroundColor(kWhite);
  b.SetImageList(LoadImageStrip(strip, 4, 4));
  b.SetImages(1, 2, 0, 3);
  b.SetCaptionColor(kText);
  b.SetCaptionFont(MakeUiFont(12));
  SetWindowTextW(b.Hwnd(), caption);
}

}  // namespace

INT_PTR CCloseDlg::DoModal(HWND owner) {
  INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), owner,
                                   &CCloseDlg::DialogProc, reinterpret_cast<LPARAM>(this));
  return result == kConfirm ? kConfirm : kKeep;  // a failed run keeps the client
}

INT_PTR CALLBACK CCloseDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  CCloseDlg* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<CCloseDlg*>(lParam);
    self->window_ = window;
    SetWindowLongPtrW(window, DWLP_USER, lParam);
  } else {
    self = reinterpret_cast<CCloseDlg*>(GetWindowLongPtrW(window, DWLP_USER));
  }
  if (!self) return FALSE;
  LRESULT result = 0;
  if (!self->OnMessage(message, wParam, lParam, &result)) return FALSE;
  SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
  return TRUE;
}

bool CCloseDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
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
      if (HIWORD(wParam) != 0) return true;
      if (LOWORD(wParam) == kIdConfirm) EndDialog(window_, kConfirm);
      if (LOWORD(wParam) == kIdKeep) EndDialog(window_, kKeep);
      return true;
    case WM_CLOSE:
      EndDialog(window_, kKeep);
      return true;
    case WM_LBUTTONDOWN: {
      POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      ClientToScreen(window_, &p);
      PostMessageW(window_, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(p.x, p.y));
      return true;
    }
    default:
      return false;
  }
}

void CCloseDlg::OnInitDialog() {
  RECT area;
  HWND owner = GetWindow(window_, GW_OWNER);
  if (owner && IsWindowVisible(owner) && !IsIconic(owner)) {
    GetWindowRect(owner, &area);
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  SetWindowPos(window_, nullptr, area.left + (area.right - area.left - kWidth) / 2,
               area.top + (area.bottom - area.top - kHeight) / 2, kWidth, kHeight,
               SWP_NOZORDER | SWP_NOACTIVATE);
  GdiObject<HRGN> region(
      CreateRoundRectRgn(0, 0, kWidth + 1, kHeight + 1, kCornerEllipse, kCornerEllipse));
  if (SetWindowRgn(window_, region.get(), TRUE)) region.Release();
  titleFont_ = MakeUiFont(12, Gdiplus::FontStyleBold);
  textFont_ = MakeUiFont(12);

  close_.Create(window_, kCloseRect, kIdKeep);
  close_.SetExtendedStyle(CBitmapButtonBase::kStyleHover | CBitmapButtonBase::kStyleAutoSize);
  close_.SetBackgroundColor(kWhite);
  close_.SetImageList(LoadImageStrip(kCloseStrip, 4, 4));
  close_.SetImages(0, 2, 1, 3);
  close_.SetToolTipText(L"关闭");
  SetUpButton(confirm_, window_, kConfirmRect, kIdConfirm, kWideButtonStrip, Wide(kCloseConfirm));
  SetUpButton(cancel_, window_, kCancelRect, kIdKeep, kButtonStrip, Wide(kCancelText));
}

void CCloseDlg::Paint(HDC target) {
  BackBuffer buffer(target, kWidth, kHeight);
  {
    Gdiplus::Graphics g(buffer.dc());
    g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    Gdiplus::SolidBrush white(ToColor(kWhite));
    g.FillRectangle(&white, 0, 0, kWidth, kHeight);
    Gdiplus::StringFormat format;
    format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    Gdiplus::SolidBrush text(ToColor(kText));
    g.DrawString(Wide(kCloseTitle), -1, titleFont_.get(), Gdiplus::PointF(kTitleX, kTitleY),
                 &format, &text);
    g.DrawString(Wide(kCloseQuestion), -1, textFont_.get(), Gdiplus::PointF(kQuestionX, kQuestionY),
                 &format, &text);
  }
  buffer.CopyTo(target);
}
