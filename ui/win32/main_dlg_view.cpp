// The main window's face: painting of its states and what the controller
// shows through it (texts, buttons, codes, the PC-drawn laser dot).
#include <algorithm>

#include "app/state_texts.h"
#include "ui/win32/main_dlg.h"
#include "ui/win32/main_dlg_layout.h"
#include "ui/win32/shakable_dlg.h"

using namespace main_dlg;

// --- painting -------------------------------------------------------------------

void CMainDlg::Paint(HDC target) {
  BackBuffer buffer(target, scale_(kWidth), scale_(kHeight));
  {
    Gdiplus::Graphics g(buffer.dc());
    g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
    PaintFrame(g);
    switch (GetState()) {
      case Connecting:
      case ConnectFailed:
      case WaitingForPhone:
        PaintConnecting(g);
        break;
      case NetworkError:
        PaintNetworkError(g);
        break;
      case Connected:
        PaintConnected(g);
        break;
    }
  }
  buffer.CopyTo(target);
}

void CMainDlg::PaintFrame(Gdiplus::Graphics& g) {
  const int width = scale_(kWidth);
  Gdiplus::SolidBrush white(ToColor(kWhite));
  g.FillRectangle(&white, 0, 0, width, scale_(kHeight));
  int titleX = scale_(kTitleGap);
  if (logo_) {
    g.DrawImage(logo_.get(), scale_(kLogoX), scale_(kLogoY), static_cast<INT>(logo_->GetWidth()),
                static_cast<INT>(logo_->GetHeight()));
    titleX += static_cast<int>(logo_->GetWidth());
  }
  Gdiplus::StringFormat format;
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  Gdiplus::SolidBrush text(ToColor(kText));
  Gdiplus::RectF titleBox(static_cast<float>(titleX), scale_(static_cast<float>(kLogoY)),
                          static_cast<float>(width - titleX), scale_(kTitleHeight));
  g.DrawString(Wide(kTitleText), -1, titleFont_.get(), titleBox, &format, &text);

  format.SetAlignment(Gdiplus::StringAlignmentCenter);
  Gdiplus::SolidBrush separator(ToColor(kSeparator));
  g.DrawString(
      L"\u2502", -1, smallFont_.get(),
      Gdiplus::RectF(0, scale_(kSeparatorTop), static_cast<float>(width), scale_(kSeparatorHeight)),
      &format, &separator);
}

void CMainDlg::PaintConnecting(Gdiplus::Graphics& g) {
  // The spinner, the retry link or the QR code are windows of their own.
  StateTexts texts = TextsForState(GetState());
  DrawCentredLine(g, texts.first, *smallFont_, kLowerLine1);
  DrawCentredLine(g, texts.second, *smallFont_, kLowerLine2);
  if (GetState() == WaitingForPhone && !transportNote_.empty() && noteFont_) {
    Gdiplus::StringFormat format;
    format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    format.SetAlignment(Gdiplus::StringAlignmentCenter);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    Gdiplus::SolidBrush grey(ToColor(kNote));
    const float margin = scale_(kNoteMargin);
    g.DrawString(
        Wide(transportNote_.c_str()), -1, noteFont_.get(),
        Gdiplus::RectF(margin, scale_(kNoteTop), static_cast<float>(scale_(kWidth)) - 2 * margin,
                       scale_(kNoteHeight)),
        &format, &grey);
  }
}

void CMainDlg::PaintNetworkError(Gdiplus::Graphics& g) {
  DrawImage(g, warning_.get());
  StateTexts texts = TextsForState(NetworkError);
  DrawCentredLine(g, texts.first, *largeFont_, kUpperLine1);
  DrawCentredLine(g, texts.second, *largeFont_, kUpperLine2);
}

void CMainDlg::PaintConnected(Gdiplus::Graphics& g) {
  DrawImage(g, success_.get());
  StateTexts texts = TextsForState(Connected);
  DrawCentredLine(g, texts.first, *largeFont_, kUpperLine1);
  DrawCentredLine(g, texts.second, *largeFont_, kUpperLine2);
}

void CMainDlg::DrawImage(Gdiplus::Graphics& g, Gdiplus::Bitmap* image) {
  if (!image) return;
  g.DrawImage(image, scale_(kImageX), scale_(kImageY), static_cast<INT>(image->GetWidth()),
              static_cast<INT>(image->GetHeight()));
}

void CMainDlg::DrawCentredLine(Gdiplus::Graphics& g, const char16_t* text,
                               const Gdiplus::Font& font, float y) {
  // Centred on y: the line's own height decides where it starts.
  Gdiplus::StringFormat format;
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  format.SetAlignment(Gdiplus::StringAlignmentCenter);
  format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  float height = font.GetHeight(&g);
  Gdiplus::SolidBrush brush(ToColor(kText));
  g.DrawString(
      Wide(text), -1, &font,
      Gdiplus::RectF(0, scale_(y) - height / 2, static_cast<float>(scale_(kWidth)), height),
      &format, &brush);
}

// --- what the controller shows -------------------------------------------------

void CMainDlg::ShowLoading(bool show) { Show(loading_.Hwnd(), show); }

void CMainDlg::SetLoadingAnimation(bool run) {
  if (run) {
    loading_.Start();
  } else {
    loading_.Stop();
  }
}

void CMainDlg::ShowRetryText(bool show) { Show(retry_.Hwnd(), show); }
void CMainDlg::ShowConnectButton(bool show) { Show(connect_.Hwnd(), show); }

void CMainDlg::SetConnectButtonText(const std::u16string& caption) {
  SetWindowTextW(connect_.Hwnd(), Wide(caption.c_str()));
}

void CMainDlg::ShowCancelText(bool show) { Show(cancel_.Hwnd(), show); }
void CMainDlg::ShowQrCode(bool show) { Show(qrCode_.Hwnd(), show); }
void CMainDlg::SetPairingAddress(const std::string& address) {
  pairingAddress_ = address;
  if (!showingBrowser_) qrCode_.SetAddress(address);
  RefreshCover();
}

void CMainDlg::SetBrowserAddress(const std::string& address) {
  browserAddress_ = address;
  if (address.empty()) showingBrowser_ = false;
  qrCode_.SetAddress(showingBrowser_ ? browserAddress_ : pairingAddress_);
  RefreshCover();
}

void CMainDlg::Invalidate() {
  InvalidateRect(window_, nullptr, TRUE);
  UpdatePhoneTip();
  RefreshCover();
}

void CMainDlg::SetTransportNote(const std::u16string& note) {
  if (note == transportNote_) return;
  transportNote_ = note;
  if (!window_) return;
  RECT band = scale_(
      RECT{0, static_cast<LONG>(kNoteTop), kWidth, static_cast<LONG>(kNoteTop + kNoteHeight)});
  InvalidateRect(window_, &band, FALSE);
  RefreshCover();
}

void CMainDlg::SetPhoneDescription(const std::u16string& who) {
  phoneDescription_ = who;
  UpdatePhoneTip();
}

void CMainDlg::RefreshCover() {
  // The cover over the window shows a picture of it; after the window
  // changed, the picture is drawn again (once the changes of this turn are
  // all made).
  if (!runningDialog_ || !runningDialog_->Hwnd()) return;
  HWND cover = GetWindow(runningDialog_->Hwnd(), GW_OWNER);
  if (cover && cover != window_) PostMessageW(cover, WM_REFRESH_COVER, 0, 0);
}

// --- the PC-drawn laser dot ------------------------------------------------------

namespace {

POINT ToPixel(const ScreenRect& r, double x, double y) {
  return POINT{static_cast<LONG>((r.right - r.left) * x + r.left),
               static_cast<LONG>((r.bottom - r.top) * y + r.top)};
}

}  // namespace

bool CMainDlg::OnUiThread() {
  return window_ && GetWindowThreadProcessId(window_, nullptr) == GetCurrentThreadId();
}

void CMainDlg::ShowLaser(double x, double y) {
  // The overlay belongs to the window's thread; a call from elsewhere is
  // handed over rather than making a window on a thread with no loop.
  if (!OnUiThread()) {
    PostToUi([this, x, y] { ShowLaser(x, y); });
    return;
  }
  IPresentationControl& show = Presentation();
  ScreenRect rect = show.GetShowRect();
  POINT p = ToPixel(rect, x, y);
  if (laser_.Exists()) {
    laser_.MoveTo(p.x, p.y);
  } else {
    PowerPointType type = PowerPoint;
    bool running = show.IsShowRunningOf(PowerPoint);
    if (!running && show.IsShowRunningOf(Wps)) {
      type = Wps;
      running = true;
    }
    if (running) {
      HWND owner = reinterpret_cast<HWND>(show.FindShowWindow(type));
      if (owner) laser_.Create(owner, p.x, p.y);
    }
  }
  // Out of the way: the system cursor would hide part of the slide.
  SetCursorPos(rect.right, rect.bottom);
}

void CMainDlg::MoveLaser(double x, double y) {
  if (!OnUiThread()) {
    PostToUi([this, x, y] { MoveLaser(x, y); });
    return;
  }
  if (!laser_.Exists()) return;
  POINT p = ToPixel(Presentation().GetShowRect(), x, y);
  laser_.MoveTo(p.x, p.y);
}

void CMainDlg::HideLaser() {
  if (!OnUiThread()) {
    PostToUi([this] { HideLaser(); });
    return;
  }
  laser_.Destroy();
}
