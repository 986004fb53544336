// A dialog run inside an invisible cover over the main window: a click
// beside the dialog lands on the cover, which shakes the dialog (nine
// 25 ms steps by 2 pixels along the diagonals, then back where it was) so
// that the user sees what is waiting for an answer.
//
// The cover is a modal dialog of its own, owned by the main window; it runs
// the real dialog modally with itself as owner. That run disables the
// cover, so the cover enables itself again once, before it handles
// anything else, and thus receives the clicks beside the dialog.
//
//   CShakableDlg<CCloseDlg> cover;          // or CShakableDlg<CAboutDlg> cover(openUrl)
//   INT_PTR r = cover.DoModal(mainWindow);  // what the dialog returned
#pragma once

#include <windows.h>

#include <utility>

#include "ui/win32/button_base.h"
#include "ui/win32/flat_dlg.h"

// Posted to a cover by the window it covers after that window changed: the
// cover draws the window anew into its picture.
constexpr UINT WM_REFRESH_COVER = WM_APP + 1;

template <class T>
class CShakableDlg {
 public:
  static constexpr UINT_PTR kShakeTimer = 1001;
  static constexpr UINT kShakeMs = 25;
  static constexpr int kShakeSteps = 9;

  template <class... Args>
  explicit CShakableDlg(Args&&... args) : inner_(std::forward<Args>(args)...) {}
  CShakableDlg(const CShakableDlg&) = delete;
  CShakableDlg& operator=(const CShakableDlg&) = delete;

  // Covers owner and runs the dialog; the dialog's result (its close result
  // when the cover could not be made).
  INT_PTR DoModal(HWND owner) {
    current_ = this;
    INT_PTR r = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), owner,
                                &CShakableDlg::DialogProc, reinterpret_cast<LPARAM>(this));
    if (current_ == this) current_ = nullptr;
    window_ = nullptr;
    return r == CFlatDlg::kResultOk ? CFlatDlg::kResultOk : CFlatDlg::kResultClose;
  }

  T& Inner() { return inner_; }
  HWND Hwnd() const { return window_; }
  // The cover currently running for T, if any.
  static CShakableDlg* Current() { return current_; }
  // Shake offsets by step modulo 4, at 96 DPI (the dialog's scale applies).
  static POINT Offset(int step) {
    static constexpr POINT kOffsets[4] = {{-2, -2}, {-2, 2}, {2, 2}, {2, -2}};
    return kOffsets[step % 4];
  }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CShakableDlg* self = current_;
    if (!self) return FALSE;
    if (message == WM_INITDIALOG) self->window_ = window;
    if (self->window_ != window) return FALSE;
    if (self->reEnablePending_ && EnableWindow(window, TRUE)) self->reEnablePending_ = false;
    switch (message) {
      case WM_INITDIALOG:
        self->OnInitDialog();
        return FALSE;
      case WM_ERASEBKGND:
        SetWindowLongPtrW(window, DWLP_MSGRESULT, 1);
        return TRUE;
      case WM_PAINT:
        self->Paint();
        return TRUE;
      case WM_LBUTTONDOWN:
        self->StartShake();
        return TRUE;
      case WM_TIMER:
        if (wParam == kShakeTimer) self->OnShakeTimer();
        return TRUE;
      case WM_REFRESH_COVER:
        self->RedrawOwner();
        return TRUE;
      case WM_CLOSE:
        // The owner is being closed: the dialog answers as its close button.
        if (HWND inner = self->inner_.Hwnd()) PostMessageW(inner, WM_CLOSE, 0, 0);
        return TRUE;
      default:
        return FALSE;
    }
  }

  void OnInitDialog() {
    HWND owner = GetWindow(window_, GW_OWNER);
    RECT r{0, 0, 0, 0};
    if (owner) GetWindowRect(owner, &r);
    SetWindowPos(window_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SetClassLongPtrW(window_, GCL_STYLE, GetClassLongPtrW(window_, GCL_STYLE) & ~CS_DROPSHADOW);
    // Nothing of the cover is meant to be seen or managed: no system menu.
    SetWindowLongW(
        window_, GWL_STYLE,
        GetWindowLongW(window_, GWL_STYLE) & ~(WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    TakeSnapshot(r);
    ShowWindow(window_, SW_SHOWNA);
    reEnablePending_ = true;
    INT_PTR result = inner_.DoModal(window_);
    EndDialog(window_, result);
    KillTimer(window_, kShakeTimer);
    step_ = 0;
  }

  // The cover must look like what it covers. A window that paints nothing
  // shows black on a composited desktop (and under Wine), so it shows the
  // picture of the screen below it taken just before it appeared.
  void TakeSnapshot(const RECT& r) {
    int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return;
    // What the owner still has to paint (a state it just entered) belongs
    // in the picture.
    if (HWND owner = GetWindow(window_, GW_OWNER)) {
      RedrawWindow(owner, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    }
    GdiFlush();
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    snapshot_.Reset(CreateCompatibleBitmap(screen, w, h));
    if (memory && snapshot_) {
      SelectScope select(memory, snapshot_.get());
      BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    }
    if (memory) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
  }

  // The owner changed under the cover (a phone left while a question is
  // open): the screen below shows the cover itself, so the owner and its
  // visible children paint into the picture. The rounded corners keep what
  // the first picture holds of the desktop.
  void RedrawOwner() {
    HWND owner = GetWindow(window_, GW_OWNER);
    if (!owner || !snapshot_) return;
    RECT frame;
    GetWindowRect(owner, &frame);
    POINT client{0, 0};
    ClientToScreen(owner, &client);
    const int dx = client.x - frame.left, dy = client.y - frame.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    if (!memory) return;
    {
      SelectScope select(memory, snapshot_.get());
      GdiObject<HRGN> shape(CreateRectRgn(0, 0, 0, 0));
      if (shape && GetWindowRgn(owner, shape.get()) == ERROR) shape.Reset();
      PrintInto(memory, owner, dx, dy, shape.get());
      HWND top = GetWindow(owner, GW_CHILD);
      // Bottom of the z-order first, so that what lies above is drawn last.
      for (HWND child = top ? GetWindow(top, GW_HWNDLAST) : nullptr; child;
           child = GetWindow(child, GW_HWNDPREV)) {
        if (!IsWindowVisible(child)) continue;
        RECT r;
        GetWindowRect(child, &r);
        PrintInto(memory, child, r.left - frame.left, r.top - frame.top, shape.get());
      }
    }
    DeleteDC(memory);
    InvalidateRect(window_, nullptr, FALSE);
  }

  // Has window draw its client area with its top-left corner at (x, y) of
  // dc, within its own region and within clip (device pixels) if given.
  static void PrintInto(HDC dc, HWND window, int x, int y, HRGN clip) {
    RECT client;
    GetClientRect(window, &client);
    const int saved = SaveDC(dc);
    GdiObject<HRGN> area(CreateRectRgn(x, y, x + client.right, y + client.bottom));
    if (area) {
      // A child's own shape (the update corner's triangle).
      GdiObject<HRGN> own(CreateRectRgn(0, 0, 0, 0));
      if (own && GetWindowRgn(window, own.get()) != ERROR) {
        OffsetRgn(own.get(), x, y);
        CombineRgn(area.get(), area.get(), own.get(), RGN_AND);
      }
      if (clip) CombineRgn(area.get(), area.get(), clip, RGN_AND);
      SelectClipRgn(dc, area.get());
    }
    SetViewportOrgEx(dc, x, y, nullptr);
    if (!CBitmapButtonBase::PaintInto(window, dc)) {
      SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc),
                   PRF_CLIENT | PRF_ERASEBKGND);
    }
    RestoreDC(dc, saved);
  }

  void Paint() {
    PaintScope paint(window_);
    if (!snapshot_) return;
    RECT client;
    GetClientRect(window_, &client);
    HDC memory = CreateCompatibleDC(paint.dc());
    {
      SelectScope select(memory, snapshot_.get());
      BitBlt(paint.dc(), 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    }
    DeleteDC(memory);
  }

  void StartShake() {
    HWND inner = inner_.Hwnd();
    if (step_ != 0 || !inner) return;
    GetWindowRect(inner, &start_);
    SetTimer(window_, kShakeTimer, kShakeMs, nullptr);
  }

  void OnShakeTimer() {
    HWND inner = inner_.Hwnd();
    if (step_ == kShakeSteps || !inner) {
      step_ = 0;
      KillTimer(window_, kShakeTimer);
      if (inner) MoveTo(inner, start_.left, start_.top);
      return;
    }
    POINT d = inner_.Scale()(Offset(step_));
    MoveTo(inner, start_.left + d.x, start_.top + d.y);
    ++step_;
  }

  static void MoveTo(HWND window, int x, int y) {
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }

  static inline CShakableDlg* current_ = nullptr;

  HWND window_ = nullptr;
  T inner_;
  bool reEnablePending_ = false;
  int step_ = 0;
  RECT start_{};
  GdiObject<HBITMAP> snapshot_;
};
