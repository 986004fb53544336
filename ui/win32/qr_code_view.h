// The pairing QR code, drawn module by module into its square. In a build
// without the QR encoder there is no symbol; the view then shows the
// pairing address as text, so the window never pretends to hold a code.
#pragma once

#include <string>

#include "app/qr_code.h"
#include "ui/win32/child_window.h"
#include "ui/win32/dpi.h"

class CQRCodeView : public CChildWindow<CQRCodeView> {
 public:
  CQRCodeView() = default;
  ~CQRCodeView() { DestroyChild(); }
  CQRCodeView(const CQRCodeView&) = delete;
  CQRCodeView& operator=(const CQRCodeView&) = delete;

  // Sent to the parent as a command when the code is right-clicked.
  static constexpr int kSwitchCommand = 1007;

  bool Create(HWND parent, const RECT& rect);
  // Encodes the address; the view shows it when it is next painted.
  void SetAddress(const std::string& address);
  const CQRSymbol& Symbol() const { return symbol_; }
  // The parent's scale, for the address drawn as text where there is no
  // code (the modules take whole pixels of whatever square the view has).
  void SetScale(const DpiScale& scale) { scale_ = scale; }

 private:
  friend class CChildWindow<CQRCodeView>;
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Paint(HDC dc);
  void PaintModules(HDC dc, const RECT& client);
  void PaintAddressText(HDC dc, const RECT& client);

  std::string text_;
  CQRSymbol symbol_;
  COLORREF moduleColor_ = RGB(0, 0, 0);
  DpiScale scale_;
};
