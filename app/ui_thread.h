// The user-interface thread as the controller sees it: something that runs
// the controller's posted calls on the one thread that owns the window, and
// the window's one-shot timers. The Win32 window implements it with
// PostMessageW and SetTimer; elsewhere CAsioUiThread runs it on an
// io_context driven by the main thread.
#pragma once

class IUiThread {
 public:
  // Any thread: make the UI thread call CMainController::RunPostedCalls
  // soon. Extra wakes are harmless (the queue may already be empty).
  virtual void Wake() = 0;
  // UI thread only: (re)arm timer id to expire once after ms milliseconds;
  // on expiry the UI thread calls CMainController::OnTimer(id). Arming a
  // running timer restarts its delay.
  virtual void SetTimer(int id, unsigned ms) = 0;
  // UI thread only: disarm timer id; a disarmed timer never reaches OnTimer.
  virtual void KillTimer(int id) = 0;

 protected:
  ~IUiThread() = default;
};
