// The main window: the portable controller with its Win32 face. A 284 x 396
// (at 96 DPI, scaled with the screen's density) borderless white panel with rounded corners that
// shows one view per connection state, built from the empty dialog template 101 and laid out in
// code. Everything it shows changes on the UI thread only: session and
// worker threads reach it through PostToUi, which wakes the window with
// WM_RUN_POSTED.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "app/controller.h"
#include "app/win32/win32_ui_thread.h"
#include "ui/win32/color_bitmap_button.h"
#include "ui/win32/flat_dlg.h"
#include "ui/win32/laser_wnd.h"
#include "ui/win32/loading_circle.h"
#include "ui/win32/qr_code_view.h"
#include "ui/win32/shadow_dlg.h"
#include "ui/win32/text_button.h"

class CMainDlg : public CMainController, private IMainView {
 public:
  // Runs the update check (blocking); the window does not exist yet.
  explicit CMainDlg(Services services);
  ~CMainDlg() override;

  // Runs the window modally until it ends; returns the dialog's result.
  INT_PTR DoModal(HWND owner);
  HWND Hwnd() const { return window_; }

  // The child windows, for whoever needs to find one (tests, the dialogs).
  struct ControlWindows {
    HWND close, minimize, connect, cancel, website, about, retry, loading, update, qrCode;
  };
  ControlWindows Controls() const;
  int LoadingFrame() const { return loading_.Frame(); }
  HWND ShadowHwnd() const { return shadow_.Hwnd(); }
  // The scale the window is laid out at.
  DpiScale Scale() const { return scale_; }
  HWND LaserHwnd() const { return laser_.Hwnd(); }
  // Dialogs run inside a shaking cover (major OS version above 5).
  bool UsesCovers() const { return newerWindows_; }
  // The tooltip over the connected view that names the phone.
  HWND PhoneTipHwnd() const { return phoneTip_; }

  // IMainView, reachable here for whoever shows these beside the controller.
  void SetTransportNote(const std::u16string& note) override;
  void SetPhoneDescription(const std::u16string& who) override;

 protected:
  // The official website and the update page open in the default browser.
  virtual void OpenUrl(const wchar_t* url);

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  // True when the message was handled; *result is then its answer.
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
  void OnInitDialog();
  void PlaceWindow();
  void ApplyRegion();
  void LoadImages();
  void CreateControls();
  void CreateUpdateCorner();
  // Places the controls and gives them fonts and images at the current
  // scale.
  void ScaleControls();
  // Shown on a screen of another density: moved to the suggested rectangle
  // and laid out again at the new scale.
  void OnDpiChanged(const DpiScale& scale, const RECT& suggested);
  void OnCommand(int id);
  void OnUpdateCommand();
  void OnAboutCommand();
  void OnCloseMessage();
  // Runs dialog T (constructed from args) as its variant: inside a cover
  // on newer Windows, else owned by this window.
  template <class T, class... Args>
  INT_PTR RunDialog(Args&&... args);
  void StartDrag(LPARAM clientPoint);
  void RefreshCover();
  void CreatePhoneTip();
  void UpdatePhoneTip();
  bool OnUiThread();

  void Paint(HDC target);
  void PaintFrame(Gdiplus::Graphics& g);
  void PaintConnecting(Gdiplus::Graphics& g);
  void PaintNetworkError(Gdiplus::Graphics& g);
  void PaintConnected(Gdiplus::Graphics& g);
  void DrawImage(Gdiplus::Graphics& g, Gdiplus::Bitmap* image);
  void DrawCentredLine(Gdiplus::Graphics& g, const char16_t* text, const Gdiplus::Font& font,
                       float y);

  // IMainView
  void ShowLoading(bool show) override;
  void SetLoadingAnimation(bool run) override;
  void ShowRetryText(bool show) override;
  void ShowConnectButton(bool show) override;
  void SetConnectButtonText(const std::u16string& caption) override;
  void ShowCancelText(bool show) override;
  void ShowQrCode(bool show) override;
  void SetPairingAddress(const std::string& address) override;
  void SetBrowserAddress(const std::string& address) override;
  void Invalidate() override;
  void ShowLaser(double x, double y) override;
  void MoveLaser(double x, double y) override;
  void HideLaser() override;
  void RestoreIfMinimized() override;
  bool ConfirmClose() override;
  void DestroyShadow() override;
  void EndDialog(int result) override;
  void RunRequiredUpdate() override;

  HWND window_ = nullptr;
  // Every length of the layout is written for 96 DPI and drawn through it.
  DpiScale scale_;
  CWin32UiThread ui_;
  bool newerWindows_ = true;
  // The dialog running over the window, if any, and whether it is the
  // close question; a close asked meanwhile is carried out after it.
  CFlatDlg* runningDialog_ = nullptr;
  bool askingClose_ = false;
  bool closeAfterDialog_ = false;

  std::unique_ptr<Gdiplus::Bitmap> logo_;
  std::unique_ptr<Gdiplus::Bitmap> warning_;
  std::unique_ptr<Gdiplus::Bitmap> success_;
  std::unique_ptr<Gdiplus::Font> titleFont_;
  std::unique_ptr<Gdiplus::Font> smallFont_;
  std::unique_ptr<Gdiplus::Font> largeFont_;

  CColorBitmapButton close_;
  CColorBitmapButton minimize_;
  CColorBitmapButton connect_;
  CTextButton cancel_;
  CTextButton website_;
  CTextButton about_;
  CTextButton retry_;
  CLoadingCircleControl loading_;
  std::unique_ptr<CColorBitmapButton> update_;
  CQRCodeView qrCode_;
  // What the code shows: the app's pairing address, or on a right click the
  // browser remote's address when there is one.
  std::string pairingAddress_;
  std::string browserAddress_;
  bool showingBrowser_ = false;
  std::u16string transportNote_;
  std::unique_ptr<Gdiplus::Font> noteFont_;
  std::u16string phoneDescription_;
  HWND phoneTip_ = nullptr;  // owned by the window
  CShadowDlg shadow_;
  CLaserWnd laser_;
};
