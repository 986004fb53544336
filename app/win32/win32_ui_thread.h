// The UI thread of the Win32 main window: posted calls wake it with
// WM_RUN_POSTED, timers are the window's own. The window procedure answers
// WM_RUN_POSTED with CMainController::RunPostedCalls (and 0) and WM_TIMER
// with CMainController::OnTimer(wParam).
#pragma once

#include <windows.h>

#include "app/ui_thread.h"

constexpr UINT WM_RUN_POSTED = WM_USER + 100;  // 1124

class CWin32UiThread : public IUiThread {
 public:
  explicit CWin32UiThread(HWND window = nullptr) : window_(window) {}
  void SetWindow(HWND window) { window_ = window; }

  void Wake() override {
    if (window_) PostMessageW(window_, WM_RUN_POSTED, 0, 0);
  }
  void SetTimer(int id, unsigned ms) override {
    if (window_) ::SetTimer(window_, static_cast<UINT_PTR>(id), ms, nullptr);
  }
  void KillTimer(int id) override {
    if (window_) ::KillTimer(window_, static_cast<UINT_PTR>(id));
  }

 private:
  HWND window_;
};
