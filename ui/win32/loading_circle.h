// The 68 x 68 spinner (at 96 DPI) shown while the client connects: one frame of the
// 24-frame strip (PNG 112) per tick of its timer 1000. The frame survives a
// stop, so a restarted spinner turns on from where it stopped.
#pragma once

#include <memory>

#include "ui/win32/child_window.h"
#include "ui/win32/gdi.h"

class CLoadingCircleControl : public CChildWindow<CLoadingCircleControl> {
 public:
  static constexpr UINT_PTR kTimerId = 1000;
  static constexpr UINT kIntervalMs = 40;
  static constexpr int kFrames = 24;
  static constexpr int kSize = 68;

  CLoadingCircleControl() = default;
  ~CLoadingCircleControl() { DestroyChild(); }
  CLoadingCircleControl(const CLoadingCircleControl&) = delete;
  CLoadingCircleControl& operator=(const CLoadingCircleControl&) = delete;

  bool Create(HWND parent, const RECT& rect);
  void Start() { SetTimer(window_, kTimerId, kIntervalMs, nullptr); }
  void Stop() { KillTimer(window_, kTimerId); }
  int Frame() const { return frame_; }
  // The scale of the parent: the strip is loaded again for it.
  void SetScale(const DpiScale& scale);

 private:
  friend class CChildWindow<CLoadingCircleControl>;
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void Paint(HDC target);

  std::unique_ptr<Gdiplus::Bitmap> strip_;
  DpiScale scale_;
  int frame_ = 0;
};
