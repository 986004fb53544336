// The real main window on a UI thread of its own, over fake sessions and a
// fake presentation manager, with what a test needs to look at it: screen
// captures of the window, pixel predicates, PNG artifacts, and the calls
// that run on its UI thread.
#pragma once

#include <windows.h>

// gdiplus.h needs objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/fakes.h"
#include "ui/win32/main_dlg.h"

// A captured rectangle of the screen, 0x00RRGGBB per pixel.
struct Capture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  std::uint32_t At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return 0;
    return pixels[static_cast<std::size_t>(y) * width + x];
  }
  // Pixels of r (left, top, right, bottom) that satisfy pred.
  int Count(const RECT& r, const std::function<bool(std::uint32_t)>& pred) const;
  // The smallest rectangle holding every pixel of r that satisfies pred;
  // empty (all zero) when none does.
  RECT Bounds(const RECT& r, const std::function<bool(std::uint32_t)>& pred) const;
  bool SavePng(const std::wstring& path) const;
};

inline int Red(std::uint32_t c) { return (c >> 16) & 0xFF; }
inline int Green(std::uint32_t c) { return (c >> 8) & 0xFF; }
inline int Blue(std::uint32_t c) { return c & 0xFF; }
inline bool IsWhite(std::uint32_t c) { return Red(c) > 245 && Green(c) > 245 && Blue(c) > 245; }
// Text ink: clearly darker than the white window.
inline bool IsInk(std::uint32_t c) { return Red(c) + Green(c) + Blue(c) < 600; }
inline bool IsBlueish(std::uint32_t c) { return Blue(c) > Red(c) + 60; }
inline bool IsOrange(std::uint32_t c) { return Red(c) > 200 && Green(c) > 120 && Blue(c) < 100; }
inline bool IsGreen(std::uint32_t c) { return Green(c) > Red(c) + 60 && Green(c) > Blue(c); }
inline bool IsReddish(std::uint32_t c) { return Red(c) > 180 && Green(c) < 120; }

// The window's client area as it is on the screen now.
Capture CaptureWindow(HWND window);

// Whether square of c shows the QR symbol of text, whole: one module size in
// whole pixels (given back in *module), every pixel of a dark module black
// and of a light one white, exactly as the symbol has them; what a reader
// needs to decode text from the screen. False while the code is only partly
// painted.
bool ShowsQrCodeOf(const Capture& c, const RECT& square, const std::string& text,
                   int* module = nullptr);

// The colour of the stand-in show's slide.
constexpr COLORREF kSlideBlue = RGB(0x1E, 0x3C, 0x6E);
inline bool IsSlide(std::uint32_t c) {
  return std::abs(Red(c) - 0x1E) < 6 && std::abs(Green(c) - 0x3C) < 6 &&
         std::abs(Blue(c) - 0x6E) < 6;
}
inline bool IsDot(std::uint32_t c) { return Red(c) > 170 && Green(c) < 120 && Blue(c) < 120; }

// A top-level window standing in for a slide show: a dark blue slide with
// a white title bar, run by a thread of its own as the show's window is
// run by its own program.
class StandInShow {
 public:
  explicit StandInShow(const RECT& r);
  ~StandInShow();
  HWND Hwnd() const { return window_; }

 private:
  static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp);
  std::thread thread_;
  std::atomic<HWND> window_{nullptr};
};

// A rectangle of the screen, whatever windows are on it.
Capture CaptureScreen(const RECT& r);

// Waits up to timeout for pred, pumping nothing (the window runs on its
// own thread).
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds timeout = std::chrono::seconds(5));

class WindowHarness {
 public:
  struct Options {
    int updateState = 0;
    bool relayStarts = true;                // Start on the relay returns true
    bool startInline = false;               // sessions report their start from inside Start
    Report::IReportMgr* reports = nullptr;  // where the dialogs' records go
    std::string browserAddress;             // offered by the direct sessions
  };

  WindowHarness() : WindowHarness(Options{}) {}
  explicit WindowHarness(Options options);
  ~WindowHarness();

  // Creates the window on its thread and waits until it is shown.
  void Open();
  // Runs the window on its thread and waits for it to end by itself;
  // false when it is still running after timeout. *result is DoModal's.
  bool RunUntilEnd(std::chrono::milliseconds timeout, INT_PTR* result);
  std::size_t SessionsMade();
  // The window's modal run has returned.
  bool Ended() const { return ended_; }
  // Closes it as the close button does and waits for the thread to end.
  void Close();

  CMainDlg& Dialog();
  HWND Hwnd() const;
  CMainDlg::ControlWindows Controls() const;
  CMainController::State State() const;
  FakePresentation& Presentation() { return *presentation_; }
  std::vector<std::wstring> OpenedUrls();

  // The most recent session of a kind handed to the controller.
  FakeSession* Latest(SessionType kind);
  // Runs f on the UI thread and waits until it has run.
  void OnUi(std::function<void()> f);
  bool WaitForState(CMainController::State s);

  // Drives the controller the way the sessions would.
  void ReachWaiting();
  void ReachConnected();
  void ReachNetworkError();
  void ReachConnectFailed();
  // The fake presentation reports a running show of that application in the
  // stand-in show's window, with its slide at `slide`.
  void RunShowIn(const StandInShow& show, const RECT& slide, std::int32_t type);

 private:
  class TestDlg;

  Options options_;
  std::atomic<int> destroyed_{0};
  std::mutex madeLock_;
  std::vector<FakeSession*> made_;
  FakePresentation* presentation_ = nullptr;
  std::unique_ptr<TestDlg> dialog_;
  std::thread ui_;
  std::atomic<bool> ended_{false};
};

// Lets the window finish painting what the last change invalidated, then
// captures it.
Capture Settle(WindowHarness& h);
// Saves a capture as screenshots\<name>.png for a person to look at.
void SaveArtifact(const Capture& c, const std::wstring& name);

// A visible dialog other than window on window's thread (a dialog it runs;
// not a shadow, and not the empty cover a dialog may run inside).
HWND FindDialogOver(HWND window);
// Waits for one to appear; null after timeout.
HWND WaitForDialogOver(HWND window, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Posted presses: a press and a release at a point of a control.
void ClickControl(HWND control, int x = 5, int y = 5);
