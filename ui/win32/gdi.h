// Small owners for GDI and GDI+ resources, the double buffer every window
// paints through, and the fonts and images the windows share. Each wrapper
// frees exactly what it created, once; none of them can be copied.
#pragma once

#include <windows.h>

#include <commctrl.h>
// gdiplus.h needs objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <memory>
#include <utility>

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

// A PNG strip of equal frames side by side as an image list of frame-sized
// 32-bit images with mask; empty when the image is missing or its width is
// not a whole number of frames.
ImageList LoadImageStrip(int id, int frames, int grow);

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
