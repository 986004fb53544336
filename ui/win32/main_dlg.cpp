#include "ui/win32/main_dlg.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include "app/state_texts.h"
#include "ui/win32/about_dlg.h"
#include "ui/win32/close_dlg.h"
#include "ui/win32/dialog_proc.h"
#include "ui/win32/shakable_dlg.h"
#include "ui/win32/update_dlg.h"

namespace {

// --- layout (client pixels at 96 DPI: left, top, right, bottom) -------------
constexpr int kTemplateId = 101;
constexpr int kIconId = 102;
constexpr int kWidth = 284;
constexpr int kHeight = 396;
constexpr int kCornerEllipse = 7;

constexpr RECT kCloseRect{243, 0, 284, 30};
constexpr RECT kMinimizeRect{212, 0, 243, 30};
constexpr RECT kConnectRect{102, 320, 182, 346};
constexpr RECT kCancelRect{195, 322, 221, 342};
constexpr RECT kWebsiteRect{104, 368, 140, 388};
constexpr RECT kAboutRect{144, 368, 180, 388};
constexpr RECT kRetryRect{51, 189, 233, 209};
constexpr RECT kLoadingRect{108, 165, 176, 233};
constexpr RECT kUpdateRect{238, 350, 284, 396};
constexpr RECT kQrCodeRect{49, 107, 234, 292};
constexpr int kUpdateSide = 46;

constexpr int kLogoX = 50;
constexpr int kLogoY = 35;
constexpr int kTitleGap = 63;  // title x = logo width + gap
constexpr float kTitleHeight = 32;
constexpr float kSeparatorTop = 368;
constexpr float kSeparatorHeight = 20;
constexpr int kImageX = 108;  // warning and check mark
constexpr int kImageY = 121;
constexpr float kLowerLine1 = 326;  // under the QR code or the spinner
constexpr float kLowerLine2 = 342;
constexpr float kUpperLine1 = 214;  // under the warning or the check mark
constexpr float kUpperLine2 = 234;
// The transport note: one line in the free band between the QR code's
// square (ends at 292) and the first text line (from 319).
constexpr float kNoteTop = 296;
constexpr float kNoteHeight = 18;
constexpr float kNoteMargin = 8;
// Where the phone's description shows as a tooltip: the check mark and its
// two lines of the connected view.
constexpr RECT kPhoneTipRect{20, 121, 264, 245};
constexpr UINT_PTR kPhoneTipId = 1;

// --- images -------------------------------------------------------------------
constexpr int kCloseStrip = 106;
constexpr int kMinimizeStrip = 107;
constexpr int kLogoPng = 108;
constexpr int kWarningPng = 109;
constexpr int kSuccessPng = 110;
constexpr int kButtonStrip = 111;
constexpr int kUpdateStrip = 113;

// --- colours ------------------------------------------------------------------
constexpr COLORREF kText = Rgb(0x425766);
constexpr COLORREF kLink = Rgb(0xA0ABB2);
constexpr COLORREF kSeparator = Rgb(0xA0ABB0);
constexpr COLORREF kLinkActive = Rgb(0x4A90E2);
constexpr COLORREF kRetryBlue = Rgb(0x3D8DFE);
constexpr COLORREF kCancelBlue = Rgb(0x3A8EFB);
constexpr COLORREF kWhite = Rgb(0xFFFFFF);
constexpr COLORREF kNote = Rgb(0x8C979E);

constexpr float kTitlePixels = 24;
constexpr float kSmallPixels = 12;
constexpr float kLargePixels = 14;
constexpr float kNotePixels = 11;

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

void Show(HWND window, bool show) {
  if (window) ShowWindow(window, show ? SW_SHOW : SW_HIDE);
}

// A link: plain text on the white window, border and background white.
// Its place and font come with the window's scale (PlaceLink).
void SetUpLink(CTextButton& link, HWND parent, const RECT& rect, int id, const wchar_t* text,
               COLORREF colour) {
  link.Create(parent, rect, id);
  link.SetBackgroundColor(kWhite);
  link.SetBorderColor(kWhite);
  link.SetTextColor(colour);
  SetWindowTextW(link.Hwnd(), text);
}

// Its place and images come with the window's scale (PlaceImageButton).
void SetUpImageButton(CColorBitmapButton& button, HWND parent, const RECT& rect, int id) {
  button.Create(parent, rect, id);
  button.SetExtendedStyle(CBitmapButtonBase::kStyleHover | CBitmapButtonBase::kStyleAutoSize);
  button.SetBackgroundColor(kWhite);
}

void Place(HWND window, const RECT& r) {
  if (!window) return;
  SetWindowPos(window, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void PlaceImageButton(CColorBitmapButton& button, const DpiScale& scale, const RECT& rect,
                      int strip, int frames, int grow) {
  Place(button.Hwnd(), scale(rect));
  button.SetScale(scale);
  button.SetImageList(LoadImageStrip(strip, frames, grow, scale));
}

void PlaceLink(CTextButton& link, const DpiScale& scale, const RECT& rect) {
  Place(link.Hwnd(), scale(rect));
  link.SetScale(scale);
  link.SetFont(MakeUiFont(scale(kSmallPixels)));
}

}  // namespace

CMainDlg::CMainDlg(Services services) : CMainController(std::move(services)) {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (GetVersionExW(&version)) newerWindows_ = version.dwMajorVersion > 5;
}

CMainDlg::~CMainDlg() {
  // Nothing may wake or draw into this object from here on; calls still
  // queued are dropped by the controller.
  AttachUi(nullptr, nullptr);
}

INT_PTR CMainDlg::DoModal(HWND owner) {
  INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kTemplateId), owner,
                                   &CMainDlg::DialogProc, reinterpret_cast<LPARAM>(this));
  AttachUi(nullptr, nullptr);
  return result;
}

CMainDlg::ControlWindows CMainDlg::Controls() const {
  return {close_.Hwnd(),  minimize_.Hwnd(), connect_.Hwnd(),
          cancel_.Hwnd(), website_.Hwnd(),  about_.Hwnd(),
          retry_.Hwnd(),  loading_.Hwnd(),  update_ ? update_->Hwnd() : nullptr,
          qrCode_.Hwnd()};
}

void CMainDlg::OpenUrl(const wchar_t* url) {
  ShellExecuteW(nullptr, L"open", url, nullptr, nullptr, SW_SHOWNORMAL);
}

// --- messages -------------------------------------------------------------------

INT_PTR CALLBACK CMainDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return RouteDialogMessage(window, message, wParam, lParam, &CMainDlg::window_,
                            &CMainDlg::OnMessage);
}

bool CMainDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return false;  // no control takes the focus
    case WM_ERASEBKGND:
      *result = 1;  // the paint covers everything
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
      if (HIWORD(wParam) == 0) OnCommand(LOWORD(wParam));
      return true;
    case WM_TIMER:
      OnTimer(static_cast<int>(wParam));
      return true;
    case WM_RUN_POSTED:
      RunPostedCalls();
      return true;
    case WM_LBUTTONDOWN:
      StartDrag(lParam);
      return true;
    case WM_SIZE:
      UpdateWindow(window_);
      return true;
    case WM_GETDPISCALEDSIZE:
      AnswerDpiScaledSize(wParam, lParam, kWidth, kHeight);
      *result = TRUE;
      return true;
    case WM_DPICHANGED:
      OnDpiChanged(DpiScale::FromDpiChanged(wParam), *reinterpret_cast<const RECT*>(lParam));
      return true;
    case WM_MOVE: {
      RECT r;
      GetWindowRect(window_, &r);
      shadow_.OnOwnerMoved(r);
      return true;
    }
    case WM_SHOWWINDOW:
      // Shown while a dialog's cover lies over it (a second start brings the
      // window hidden behind a required update forward): the cover's picture
      // was taken without it.
      if (wParam) RefreshCover();
      return false;
    case WM_CLOSE:
      OnCloseMessage();
      return true;
    case WM_DESTROY:
      phoneTip_ = nullptr;  // goes with the window it belongs to
      laser_.Destroy();
      shadow_.Destroy();
      ui_.SetWindow(nullptr);
      return true;
    default:
      return false;
  }
}

void CMainDlg::OnCommand(int id) {
  switch (id) {
    case kCmdClose:
      SendMessageW(window_, WM_CLOSE, 0, 0);
      break;
    case kCmdMinimize:
      ShowWindow(window_, SW_MINIMIZE);
      break;
    case kCmdConnect:
      OnConnectButton();
      break;
    case kCmdRetryOrCancel:
      OnRetryOrCancel();
      break;
    case kCmdWebsite: {
      std::wstring url(kOfficialWebsite, kOfficialWebsite + sizeof kOfficialWebsite - 1);
      OpenUrl(url.c_str());
      break;
    }
    case kCmdAbout:
      OnAboutCommand();
      break;
    case kCmdUpdate:
      OnUpdateCommand();
      break;
    case CQRCodeView::kSwitchCommand:
      // Without a browser remote there is only the app's code to show.
      showingBrowser_ = !showingBrowser_ && !browserAddress_.empty();
      qrCode_.SetAddress(showingBrowser_ ? browserAddress_ : pairingAddress_);
      break;
    default:
      break;
  }
}

template <class T, class... Args>
INT_PTR CMainDlg::RunDialog(Args&&... args) {
  // One dialog at a time: a second command while one runs (a posted click,
  // a repeated close) finds it still there and does nothing.
  if (runningDialog_) return CFlatDlg::kResultClose;
  INT_PTR result;
  if (newerWindows_) {
    CShakableDlg<T> cover(std::forward<Args>(args)...);
    runningDialog_ = &cover.Inner();
    result = cover.DoModal(window_);
  } else {
    T dialog(std::forward<Args>(args)...);
    runningDialog_ = &dialog;
    result = dialog.DoModal(window_);
  }
  runningDialog_ = nullptr;
  if (closeAfterDialog_ && !askingClose_) {
    closeAfterDialog_ = false;
    PostMessageW(window_, WM_CLOSE, 0, 0);
  }
  return result;
}

void CMainDlg::OnCloseMessage() {
  if (runningDialog_) {
    // Asked to close while a dialog waits for an answer: the close question
    // already is that answer; any other dialog is put away first.
    if (askingClose_) return;
    closeAfterDialog_ = true;
    runningDialog_->Cancel();
    return;
  }
  OnClose();
}

void CMainDlg::OnAboutCommand() {
  RunDialog<CAboutDlg>([this](const wchar_t* url) { OpenUrl(url); });
}

void CMainDlg::OnUpdateCommand() {
  if (runningDialog_) return;
  if (GetUpdateState() == kUpdateOptional && update_) {
    Show(update_->Hwnd(), false);
    RECT corner = scale_(kUpdateRect);
    InvalidateRect(window_, &corner, TRUE);
  }
  INT_PTR answer = RunDialog<CUpdateDlg>(Reports());
  if (answer == CFlatDlg::kResultOk) {
    std::wstring url(kOfficialWebsite, kOfficialWebsite + sizeof kOfficialWebsite - 1);
    OpenUrl(url.c_str());
  }
  if (GetUpdateState() == kUpdateRequired) ::EndDialog(window_, kMainWindowClosed);
}

void CMainDlg::StartDrag(LPARAM clientPoint) {
  // The press becomes a caption drag; the system moves the window.
  POINT p{GET_X_LPARAM(clientPoint), GET_Y_LPARAM(clientPoint)};
  ClientToScreen(window_, &p);
  PostMessageW(window_, WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(p.x, p.y));
}

// --- initialisation ---------------------------------------------------------------

void CMainDlg::OnInitDialog() {
  // Before any session exists, so that the first post already finds the
  // window.
  ui_.SetWindow(window_);
  AttachUi(&ui_, this);
  SetWindowTextW(window_, Wide(kTitleText));
  scale_ = DpiScale::ForWindow(window_);
  PlaceWindow();
  // Even the window hidden behind a required update can be painted: a
  // second start of the program shows it to bring it forward.
  LoadImages();
  if (GetUpdateState() == kUpdateRequired) {
    InitWindow();  // hides the window and starts the update flow
    return;
  }
  HINSTANCE instance = GetModuleHandleW(nullptr);
  auto icon = [instance](int metricX, int metricY) {
    return reinterpret_cast<LPARAM>(LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                               GetSystemMetrics(metricX), GetSystemMetrics(metricY),
                                               LR_SHARED));
  };
  SendMessageW(window_, WM_SETICON, ICON_BIG, icon(SM_CXICON, SM_CYICON));
  SendMessageW(window_, WM_SETICON, ICON_SMALL, icon(SM_CXSMICON, SM_CYSMICON));
  ApplyRegion();

  CreateControls();
  InitWindow();
}

void CMainDlg::ApplyRegion() {
  const int corner = scale_(kCornerEllipse);
  GdiObject<HRGN> region(
      CreateRoundRectRgn(0, 0, scale_(kWidth) + 1, scale_(kHeight) + 1, corner, corner));
  if (SetWindowRgn(window_, region.get(), TRUE)) region.Release();  // the system owns it now
}

void CMainDlg::OnDpiChanged(const DpiScale& scale, const RECT& suggested) {
  const bool changed = scale != scale_;
  scale_ = scale;
  // The shadow follows the move at the new scale; it is drawn anew below.
  shadow_.SetScale(scale_);
  Place(window_, suggested);
  if (!changed) return;
  ApplyRegion();
  LoadImages();
  ScaleControls();
  RECT r;
  GetWindowRect(window_, &r);
  shadow_.SetOwnerRect(r);
  shadow_.Redraw();
  InvalidateRect(window_, nullptr, TRUE);
  RefreshCover();
}

void CMainDlg::PlaceWindow() {
  RECT current;
  GetWindowRect(window_, &current);
  RECT area;
  HWND owner = GetWindow(window_, GW_OWNER);
  if (owner && IsWindowVisible(owner) && !IsIconic(owner)) {
    GetWindowRect(owner, &area);
  } else {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  const int width = scale_(kWidth), height = scale_(kHeight);
  int x = area.left + (area.right - area.left - width) / 2;
  int y = area.top + (area.bottom - area.top - height) / 2;
  SetWindowPos(window_, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void CMainDlg::LoadImages() {
  // A missing image leaves its place blank; nothing else depends on it.
  logo_ = LoadPngResource(kLogoPng, scale_);
  warning_ = LoadPngResource(kWarningPng, scale_);
  success_ = LoadPngResource(kSuccessPng, scale_);
  titleFont_ = MakeUiFont(scale_(kTitlePixels));
  smallFont_ = MakeUiFont(scale_(kSmallPixels));
  largeFont_ = MakeUiFont(scale_(kLargePixels));
  noteFont_ = MakeUiFont(scale_(kNotePixels));
}

void CMainDlg::CreateControls() {
  SetUpImageButton(close_, window_, scale_(kCloseRect), kCmdClose);
  close_.SetImages(0, 2, 1, 3);
  close_.SetToolTipText(L"关闭");

  SetUpImageButton(minimize_, window_, scale_(kMinimizeRect), kCmdMinimize);
  minimize_.SetImages(0, 2, 1, 3);
  minimize_.SetToolTipText(L"最小化");

  SetUpImageButton(connect_, window_, scale_(kConnectRect), kCmdConnect);
  connect_.SetImages(1, 2, 0, 3);
  connect_.SetCaptionColor(kText);
  SetWindowTextW(connect_.Hwnd(), Wide(kDisconnectButton));
  Show(connect_.Hwnd(), false);

  SetUpLink(cancel_, window_, scale_(kCancelRect), kCmdRetryOrCancel, Wide(kCancelText),
            kCancelBlue);
  cancel_.SetUnderlineOnHover(true);
  Show(cancel_.Hwnd(), false);

  SetUpLink(website_, window_, scale_(kWebsiteRect), kCmdWebsite, L"官网", kLink);
  website_.SetHoverTextColor(kLinkActive);
  website_.SetPressedTextColor(kLinkActive);

  SetUpLink(about_, window_, scale_(kAboutRect), kCmdAbout, L"关于", kLink);
  about_.SetHoverTextColor(kLinkActive);
  about_.SetPressedTextColor(kLinkActive);

  SetUpLink(retry_, window_, scale_(kRetryRect), kCmdRetryOrCancel, Wide(kRetryText), kRetryBlue);
  retry_.SetUnderlineOnHover(true);
  Show(retry_.Hwnd(), false);

  loading_.Create(window_, scale_(kLoadingRect));

  if (GetUpdateState() == kUpdateOptional) CreateUpdateCorner();

  qrCode_.Create(window_, scale_(kQrCodeRect));
  qrCode_.SetAddress(std::string());
  Show(qrCode_.Hwnd(), false);

  CreatePhoneTip();
  ScaleControls();

  RECT r;
  GetWindowRect(window_, &r);
  shadow_.SetOwnerRect(r);
  shadow_.SetShadowSize(CShadowDlg::kDefaultSize);
  shadow_.SetScale(scale_);
  if (shadow_.Create(window_)) shadow_.Show();
}

void CMainDlg::ScaleControls() {
  PlaceImageButton(close_, scale_, kCloseRect, kCloseStrip, 4, 4);
  PlaceImageButton(minimize_, scale_, kMinimizeRect, kMinimizeStrip, 4, 4);
  PlaceImageButton(connect_, scale_, kConnectRect, kButtonStrip, 4, 4);
  connect_.SetCaptionFont(MakeUiFont(scale_(kSmallPixels)));
  PlaceLink(cancel_, scale_, kCancelRect);
  PlaceLink(website_, scale_, kWebsiteRect);
  PlaceLink(about_, scale_, kAboutRect);
  PlaceLink(retry_, scale_, kRetryRect);
  Place(loading_.Hwnd(), scale_(kLoadingRect));
  loading_.SetScale(scale_);
  if (update_) {
    PlaceImageButton(*update_, scale_, kUpdateRect, kUpdateStrip, 3, 3);
    // Only the lower-right half of the square is the button; clicks on the
    // other half reach the window and drag it.
    const int side = scale_(kUpdateSide);
    POINT triangle[] = {{0, side}, {side, side}, {side, 0}};
    GdiObject<HRGN> region(CreatePolygonRgn(triangle, 3, WINDING));
    if (SetWindowRgn(update_->Hwnd(), region.get(), TRUE)) region.Release();
  }
  Place(qrCode_.Hwnd(), scale_(kQrCodeRect));
  qrCode_.SetScale(scale_);
  if (phoneTip_) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.hwnd = window_;
    tool.uId = kPhoneTipId;
    tool.rect = scale_(kPhoneTipRect);
    SendMessageW(phoneTip_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

void CMainDlg::CreateUpdateCorner() {
  update_ = std::make_unique<CColorBitmapButton>();
  SetUpImageButton(*update_, window_, scale_(kUpdateRect), kCmdUpdate);
  update_->SetImages(0, 2, 1, 2);
  update_->SetToolTipText(L"更新");
}

void CMainDlg::CreatePhoneTip() {
  phoneTip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                              CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window_,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!phoneTip_) return;
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_SUBCLASS;
  tool.hwnd = window_;
  tool.uId = kPhoneTipId;
  tool.rect = scale_(kPhoneTipRect);
  tool.lpszText = const_cast<wchar_t*>(L"");
  SendMessageW(phoneTip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  UpdatePhoneTip();
}

void CMainDlg::UpdatePhoneTip() {
  if (!phoneTip_) return;
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = window_;
  tool.uId = kPhoneTipId;
  tool.lpszText = const_cast<wchar_t*>(Wide(phoneDescription_.c_str()));
  SendMessageW(phoneTip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
  // Only the connected view has a phone to describe.
  bool active = GetState() == Connected && !phoneDescription_.empty();
  SendMessageW(phoneTip_, TTM_ACTIVATE, active ? TRUE : FALSE, 0);
}

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

void CMainDlg::RestoreIfMinimized() {
  if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
}

bool CMainDlg::ConfirmClose() {
  askingClose_ = true;
  INT_PTR answer = RunDialog<CCloseDlg>();
  askingClose_ = false;
  return answer == CCloseDlg::kConfirm;
}

void CMainDlg::DestroyShadow() { shadow_.Destroy(); }
void CMainDlg::EndDialog(int result) { ::EndDialog(window_, result); }

void CMainDlg::RunRequiredUpdate() {
  ShowWindow(window_, SW_HIDE);
  PostMessageW(window_, WM_COMMAND, MAKEWPARAM(kCmdUpdate, 0), 0);
}
