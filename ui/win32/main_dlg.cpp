#include "ui/win32/main_dlg.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include "app/state_texts.h"
#include "ui/win32/about_dlg.h"
#include "ui/win32/close_dlg.h"
#include "ui/win32/dialog_proc.h"
#include "ui/win32/main_dlg_layout.h"
#include "ui/win32/shakable_dlg.h"
#include "ui/win32/update_dlg.h"

using namespace main_dlg;

namespace {

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

// --- the close flow -------------------------------------------------------------

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
