// The phone's pen strokes drawn into Impress's show window on X11: while a
// stroke lasts, the X server's pointer is moved and its left button held
// through the X Test extension, so that Impress's own pen draws the ink.
// The phone's fractions of the slide are mapped onto the slide's area in the
// show window as the Windows back-end maps them onto the show rectangle.
//
// Nothing is injected when the show window is not the one in front at the
// point, and the pointer goes back where it was when the stroke ends. One
// stroke at a time, from one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "presentation/desktop.h"

// The pixel the Windows back-end's mapping gives for a fraction of `slide`.
void MapPenPoint(const ScreenRect& slide, double x, double y, std::int32_t* px, std::int32_t* py);

class CX11Pen {
 public:
  CX11Pen();
  ~CX11Pen();

  CX11Pen(const CX11Pen&) = delete;
  CX11Pen& operator=(const CX11Pen&) = delete;

  // Empty when strokes can be drawn; else why not, in a sentence for the
  // terminal ("the X server has no X Test extension").
  const std::string& Unavailable() const { return unavailable_; }

  // Begins a stroke at (x, y) in the show window `window` on a slide of
  // `slideWidth` by `slideHeight`; false (nothing injected) when that
  // window is not in front there or is not a window of this display.
  bool Press(std::uint64_t window, std::int32_t slideWidth, std::int32_t slideHeight, double x,
             double y);
  // Continues the stroke; false when none is under way or the window is no
  // longer in front (the stroke then ends).
  bool Move(double x, double y);
  // Ends the stroke: the button goes up and the pointer back.
  void Release();
  bool Drawing() const { return drawing_; }
  // When the last stroke's button went up (the epoch before any).
  std::chrono::steady_clock::time_point ReleasedAt() const { return releasedAt_; }

  // The smallest slide, in pixels on either side, that strokes are drawn on.
  static constexpr std::int32_t kMinSlideSide = 64;
  // The slide's area in the show window, in the screen's pixels; false when
  // the window is not there or the slide is smaller than kMinSlideSide.
  bool SlideArea(std::uint64_t window, std::int32_t slideWidth, std::int32_t slideHeight,
                 ScreenRect* area);

 private:
  bool InFront(std::int32_t px, std::int32_t py);

  struct Display_;
  std::unique_ptr<Display_> x_;
  std::string unavailable_;
  bool drawing_ = false;
  std::uint64_t window_ = 0;
  ScreenRect area_;
  int savedX_ = 0, savedY_ = 0;
  std::chrono::steady_clock::time_point releasedAt_;
};
