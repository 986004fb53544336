// The UI thread of the Win32 main window: posted calls wake it with
// WM_RUN_POSTED, timers are the window's own. The window procedure answers
// WM_RUN_POSTED with CMainController::RunPostedCalls (and 0) and WM_TIMER
// with CMainController::OnTimer(wParam).
//
// Session threads call Wake while the UI thread sets the window, so the
// handle is atomic: the window sets it before it creates any session, and
// clears it when it is destroyed (a late wake then goes nowhere instead of
// to a handle that may have been reused).
#pragma once

#include <windows.h>

#include <atomic>

#include "app/ui_thread.h"

constexpr UINT WM_RUN_POSTED = WM_USER + 100;  // 1124

class CWin32UiThread : public IUiThread {
 public:
  explicit CWin32UiThread(HWND window = nullptr) : window_(window) {}
  void SetWindow(HWND window) { window_.store(window, std::memory_order_release); }
  HWND Window() const { return window_.load(std::memory_order_acquire); }

  void Wake() override {
    if (HWND w = Window()) PostMessageW(w, WM_RUN_POSTED, 0, 0);
  }
  void SetTimer(int id, unsigned ms) override {
    if (HWND w = Window()) ::SetTimer(w, static_cast<UINT_PTR>(id), ms, nullptr);
  }
  void KillTimer(int id) override {
    if (HWND w = Window()) ::KillTimer(w, static_cast<UINT_PTR>(id));
  }

 private:
  std::atomic<HWND> window_;
};
