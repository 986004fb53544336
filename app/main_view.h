// What the main window shows, as the controller drives it. The controller
// decides which controls are visible in which state; the window (Win32
// dialog or terminal) only draws. Every operation runs on the UI thread.
#pragma once

#include <string>

// The main window's dialog result when the program closes: IDCANCEL, as a
// dialog closed by its close box ends.
constexpr int kMainWindowClosed = 2;

class IMainView {
 public:
  // The loading animation control and its frame timer.
  virtual void ShowLoading(bool show) = 0;
  virtual void SetLoadingAnimation(bool run) = 0;
  // "网络异常，请点击重新获取二维码" (id 1005, ConnectFailed).
  virtual void ShowRetryText(bool show) = 0;
  // The connect button (id 1002), captioned "断开连接" or "重新连接".
  virtual void ShowConnectButton(bool show) = 0;
  virtual void SetConnectButtonText(const std::u16string& caption) = 0;
  // "取消" (id 1005, NetworkError).
  virtual void ShowCancelText(bool show) = 0;
  virtual void ShowQrCode(bool show) = 0;
  // A new pairing address: the QR view encodes it (drawn when next shown).
  virtual void SetPairingAddress(const std::string& address) = 0;
  // The browser remote's address, shown as its own QR code on request; only
  // views that offer it need to listen.
  virtual void SetBrowserAddress(const std::string& address) {}
  // Under the QR code while a phone can pair: why one of the two transports
  // is not offered (the cloud relay unreachable, say); empty hides it.
  virtual void SetTransportNote(const std::u16string& note) {}
  // Who holds the remote while a phone is connected (its LAN address, or the
  // relay); empty when none. Lets the presenter tell whose phone it is.
  virtual void SetPhoneDescription(const std::u16string& who) {}
  // The state changed: repaint the whole window (texts depend on state).
  virtual void Invalidate() = 0;

  // The PC-drawn laser dot; (x, y) are fractions of the slide.
  virtual void ShowLaser(double x, double y) = 0;
  virtual void MoveLaser(double x, double y) = 0;
  virtual void HideLaser() = 0;

  // Close flow: bring a minimized window back, ask the close confirmation
  // (true only for "关闭并断开"), then take the window down.
  virtual void RestoreIfMinimized() = 0;
  virtual bool ConfirmClose() = 0;
  virtual void DestroyShadow() = 0;
  // Ends the window's dialog loop with `result` (kMainWindowClosed when the
  // program closes).
  virtual void EndDialog(int result) = 0;
  // A required update: the window stays hidden, the update notice runs and
  // the dialog then ends.
  virtual void RunRequiredUpdate() = 0;

 protected:
  ~IMainView() = default;
};
