// Small owners for GDI and GDI+ resources, the double buffer every window
// paints through, and the fonts and images the windows share. Each wrapper
// frees exactly what it created, once; none of them can be copied.
#pragma once

#include <windows.h>

#include <commctrl.h>
// gdiplus.h needs objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <functional>
#include <memory>
#include <utility>

#include "ui/win32/dpi.h"

// An HGDIOBJ (pen, brush, bitmap, font, region) deleted with DeleteObject.
template <class Handle>
class GdiObject {
 public:
  GdiObject() = default;
  explicit GdiObject(Handle h) : h_(h) {}
  ~GdiObject() { Reset(); }
  GdiObject(GdiObject&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  GdiObject& operator=(GdiObject&& o) noexcept {
    if (this != &o) {
      Reset();
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;

  Handle get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void Reset(Handle h = nullptr) {
    if (h_) DeleteObject(h_);
    h_ = h;
  }
  // Hands the handle to an owner that deletes it (SetWindowRgn).
  Handle Release() { return std::exchange(h_, nullptr); }

 private:
  Handle h_ = nullptr;
};

// Selects an object into a DC for one scope and puts the previous one back.
class SelectScope {
 public:
  SelectScope(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
  ~SelectScope() { SelectObject(dc_, previous_); }
  SelectScope(const SelectScope&) = delete;
  SelectScope& operator=(const SelectScope&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// BeginPaint / EndPaint.
class PaintScope {
 public:
  explicit PaintScope(HWND window) : window_(window) { dc_ = BeginPaint(window, &ps_); }
  ~PaintScope() { EndPaint(window_, &ps_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  HDC dc() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT ps_{};
  HDC dc_;
};

// An off-screen bitmap compatible with a target DC: everything is drawn
// into it and copied to the target at once, so a repaint never flickers.
class BackBuffer {
 public:
  BackBuffer(HDC target, int width, int height);
  ~BackBuffer();
  BackBuffer(const BackBuffer&) = delete;
  BackBuffer& operator=(const BackBuffer&) = delete;
  HDC dc() const { return dc_; }
  void CopyTo(HDC target, int x = 0, int y = 0) const;

 private:
  HDC dc_;
  GdiObject<HBITMAP> bitmap_;
  HGDIOBJ previous_;
  int width_;
  int height_;
};

// An image list destroyed with ImageList_Destroy.
class ImageList {
 public:
  ImageList() = default;
  explicit ImageList(HIMAGELIST h) : h_(h) {}
  ~ImageList() { Reset(); }
  ImageList(ImageList&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  ImageList& operator=(ImageList&& o) noexcept {
    if (this != &o) {
      Reset();
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  ImageList(const ImageList&) = delete;
  ImageList& operator=(const ImageList&) = delete;
  HIMAGELIST get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  void Reset() {
    if (h_) ImageList_Destroy(h_);
    h_ = nullptr;
  }

 private:
  HIMAGELIST h_ = nullptr;
};

// The PNG resource id of this program's module decoded with GDI+; null when
// the resource is missing or does not decode.
std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(int id);

// The images are drawn for 100, 150 and 200 % (resource ids id, id + 1000
// and id + 2000); the 100 % drawing gives the image its size at 96 DPI and
// decides whether it exists at all. For a window at scale: the drawing made
// for the nearest scale at or above it (the largest there is above 200 %),
// resampled frame by frame with a smoothing filter to frames x frameSize,
// where frameSize is the 100 % frame's size scaled unless given. At 96 DPI
// this is exactly LoadPngResource(id). Null when the image is missing, does
// not decode, or its width is not a whole number of frames.
std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(int id, const DpiScale& scale, int frames = 1,
                                                 const SIZE* frameSize = nullptr);
constexpr int kPng150Offset = 1000;
constexpr int kPng200Offset = 2000;

// A PNG strip of equal frames side by side as an image list of frame-sized
// 32-bit images with mask, at scale; empty when the image is missing or its
// width is not a whole number of frames.
ImageList LoadImageStrip(int id, int frames, int grow, const DpiScale& scale = DpiScale());

// The window font at a pixel size: "微软雅黑", or the generic sans-serif
// family where that is not installed. Never null while GDI+ runs.
std::unique_ptr<Gdiplus::Font> MakeUiFont(float pixels, int style = Gdiplus::FontStyleRegular);

// The GDI font with the same face and size, for drawing on a plain DC.
GdiObject<HFONT> ToGdiFont(const Gdiplus::Font& font);

inline Gdiplus::Color ToColor(COLORREF c) {
  return Gdiplus::Color(255, GetRValue(c), GetGValue(c), GetBValue(c));
}

// Colours are written as the layout tables give them: 0xRRGGBB.
constexpr COLORREF Rgb(unsigned rrggbb) {
  return RGB((rrggbb >> 16) & 0xFF, (rrggbb >> 8) & 0xFF, rrggbb & 0xFF);
}

// Draws `draw` into a transparent width x height 32-bit bitmap with
// premultiplied alpha and makes it the per-pixel-alpha content of window
// (adding WS_EX_LAYERED), keeping the window where it is. GDI+ draws into
// its own ARGB bitmap and the pixels are copied into a DIB, because GDI+
// drawing straight onto a DC drops the alpha channel. False when any step
// failed; the window is then left without content.
bool ApplyLayeredContent(HWND window, int width, int height,
                         const std::function<void(Gdiplus::Graphics&)>& draw);
