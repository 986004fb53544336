#include "ui/win32/gdi.h"

#include <objidl.h>
#include <shlwapi.h>

#include <cstring>
#include <iterator>

BackBuffer::BackBuffer(HDC target, int width, int height)
    : dc_(CreateCompatibleDC(target)),
      bitmap_(CreateCompatibleBitmap(target, width > 0 ? width : 1, height > 0 ? height : 1)),
      previous_(SelectObject(dc_, bitmap_.get())),
      width_(width),
      height_(height) {}

BackBuffer::~BackBuffer() {
  SelectObject(dc_, previous_);
  DeleteDC(dc_);
}

void BackBuffer::CopyTo(HDC target, int x, int y) const {
  BitBlt(target, x, y, width_, height_, dc_, 0, 0, SRCCOPY);
}

namespace {

// The bytes of PNG resource id of this module; null when there are none.
const BYTE* PngBytes(int id, DWORD* size) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
  if (!info) return nullptr;
  *size = SizeofResource(module, info);
  HGLOBAL data = LoadResource(module, info);
  const void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes || *size == 0) return nullptr;
  return static_cast<const BYTE*>(bytes);
}

std::unique_ptr<Gdiplus::Bitmap> Resample(Gdiplus::Bitmap& source, int frames, SIZE frame) {
  const int sourceWidth = static_cast<int>(source.GetWidth()) / frames;
  const int sourceHeight = static_cast<int>(source.GetHeight());
  auto result =
      std::make_unique<Gdiplus::Bitmap>(frame.cx * frames, frame.cy, PixelFormat32bppARGB);
  if (result->GetLastStatus() != Gdiplus::Ok) return nullptr;
  Gdiplus::Graphics g(result.get());
  g.Clear(Gdiplus::Color(0, 0, 0, 0));
  g.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
  g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
  g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
  // Mirrored edges: the filter reads no transparent black from beyond the
  // frame, so opaque images keep opaque borders.
  Gdiplus::ImageAttributes edges;
  edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
  // Frame by frame: a frame's edge never takes colour from its neighbour.
  for (int i = 0; i < frames; ++i) {
    g.DrawImage(&source, Gdiplus::Rect(i * frame.cx, 0, frame.cx, frame.cy), i * sourceWidth, 0,
                sourceWidth, sourceHeight, Gdiplus::UnitPixel, &edges);
  }
  return result;
}

}  // namespace

std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(int id) {
  DWORD size = 0;
  const BYTE* bytes = PngBytes(id, &size);
  if (!bytes) return nullptr;
  // The stream copies the bytes; GDI+ may read from it for as long as the
  // bitmap lives, so the bitmap is cloned out of it before it goes.
  IStream* stream = SHCreateMemStream(bytes, size);
  if (!stream) return nullptr;
  std::unique_ptr<Gdiplus::Bitmap> decoded(Gdiplus::Bitmap::FromStream(stream));
  std::unique_ptr<Gdiplus::Bitmap> result;
  if (decoded && decoded->GetLastStatus() == Gdiplus::Ok) {
    Gdiplus::Rect all(0, 0, static_cast<INT>(decoded->GetWidth()),
                      static_cast<INT>(decoded->GetHeight()));
    result.reset(decoded->Clone(all, PixelFormat32bppARGB));
    if (result && result->GetLastStatus() != Gdiplus::Ok) result.reset();
  }
  decoded.reset();
  stream->Release();
  return result;
}

std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(int id, const DpiScale& scale, int frames,
                                                 const SIZE* frameSize) {
  if (frames <= 0) return nullptr;
  std::unique_ptr<Gdiplus::Bitmap> base = LoadPngResource(id);
  if (!base || base->GetWidth() % static_cast<UINT>(frames) != 0) return nullptr;
  SIZE frame = frameSize ? *frameSize
                         : SIZE{scale(static_cast<int>(base->GetWidth()) / frames),
                                scale(static_cast<int>(base->GetHeight()))};
  if (frame.cx <= 0 || frame.cy <= 0) return nullptr;
  struct Drawing {
    UINT dpi;
    int id;
  };
  const Drawing drawings[] = {{DpiScale::kDefaultDpi, id},
                              {DpiScale::kDefaultDpi * 3 / 2, id + kPng150Offset},
                              {DpiScale::kDefaultDpi * 2, id + kPng200Offset}};
  // The nearest drawing at or above the scale first, then larger ones, then
  // smaller ones from the nearest down: a drawing that is missing or broken
  // gives way to the next best.
  std::unique_ptr<Gdiplus::Bitmap> chosen;
  for (const Drawing& d : drawings) {
    if (d.dpi < scale.Dpi() || chosen) continue;
    chosen = d.id == id ? std::move(base) : LoadPngResource(d.id);
    if (chosen && chosen->GetWidth() % static_cast<UINT>(frames) != 0) chosen.reset();
  }
  for (auto d = std::rbegin(drawings); d != std::rend(drawings) && !chosen; ++d) {
    if (d->dpi >= scale.Dpi()) continue;
    chosen = d->id == id ? std::move(base) : LoadPngResource(d->id);
    if (chosen && chosen->GetWidth() % static_cast<UINT>(frames) != 0) chosen.reset();
  }
  if (!chosen) return nullptr;
  if (static_cast<int>(chosen->GetWidth()) == frame.cx * frames &&
      static_cast<int>(chosen->GetHeight()) == frame.cy) {
    return chosen;
  }
  return Resample(*chosen, frames, frame);
}

ImageList LoadImageStrip(int id, int frames, int grow, const DpiScale& scale) {
  std::unique_ptr<Gdiplus::Bitmap> strip =
      scale.IsDefault() ? LoadPngResource(id) : LoadPngResource(id, scale, frames);
  if (!strip || frames <= 0) return ImageList();
  int width = static_cast<int>(strip->GetWidth());
  int height = static_cast<int>(strip->GetHeight());
  if (width % frames != 0) return ImageList();
  HBITMAP bitmap = nullptr;
  if (strip->GetHBITMAP(Gdiplus::Color(255, 255, 255, 255), &bitmap) != Gdiplus::Ok) {
    return ImageList();
  }
  GdiObject<HBITMAP> owned(bitmap);
  ImageList list(ImageList_Create(width / frames, height, ILC_COLOR32 | ILC_MASK, 0, grow));
  if (list && ImageList_Add(list.get(), owned.get(), nullptr) < 0) list.Reset();
  return list;
}

std::unique_ptr<Gdiplus::Font> MakeUiFont(float pixels, int style) {
  Gdiplus::FontFamily family(L"微软雅黑");
  if (family.IsAvailable() && family.IsStyleAvailable(style)) {
    auto font = std::make_unique<Gdiplus::Font>(&family, pixels, style, Gdiplus::UnitPixel);
    if (font->IsAvailable()) return font;
  }
  auto font = std::make_unique<Gdiplus::Font>(Gdiplus::FontFamily::GenericSansSerif(), pixels,
                                              style, Gdiplus::UnitPixel);
  if (font->IsAvailable()) return font;
  // A system without its sans-serif font still has a message font; text in
  // it beats no text at all.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return font;
  LOGFONTW logFont = metrics.lfMessageFont;
  logFont.lfHeight = -static_cast<LONG>(pixels);
  logFont.lfWeight = (style & Gdiplus::FontStyleBold) ? FW_BOLD : FW_NORMAL;
  HDC screen = GetDC(nullptr);
  auto fallback = std::make_unique<Gdiplus::Font>(screen, &logFont);
  ReleaseDC(nullptr, screen);
  return fallback->IsAvailable() ? std::move(fallback) : std::move(font);
}

GdiObject<HFONT> ToGdiFont(const Gdiplus::Font& font) {
  HDC screen = GetDC(nullptr);
  LOGFONTW logFont{};
  Gdiplus::Status status;
  {
    Gdiplus::Graphics graphics(screen);
    status = font.GetLogFontW(&graphics, &logFont);
  }
  ReleaseDC(nullptr, screen);
  if (status != Gdiplus::Ok) return GdiObject<HFONT>();
  return GdiObject<HFONT>(CreateFontIndirectW(&logFont));
}

bool ApplyLayeredContent(HWND window, int width, int height,
                         const std::function<void(Gdiplus::Graphics&)>& draw) {
  if (!window || width <= 0 || height <= 0) return false;
  Gdiplus::Bitmap canvas(width, height, PixelFormat32bppPARGB);
  if (canvas.GetLastStatus() != Gdiplus::Ok) return false;
  {
    Gdiplus::Graphics g(&canvas);
    g.Clear(Gdiplus::Color(0, 0, 0, 0));
    draw(g);
  }
  HDC screen = GetDC(window);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down, as GDI+ hands the rows out
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  GdiObject<HBITMAP> dib(CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  bool ok = false;
  if (dib && bits && memory) {
    Gdiplus::BitmapData data{};
    Gdiplus::Rect all(0, 0, width, height);
    if (canvas.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppPARGB, &data) ==
        Gdiplus::Ok) {
      for (int y = 0; y < height; ++y) {
        std::memcpy(static_cast<unsigned char*>(bits) + static_cast<std::size_t>(y) * width * 4,
                    static_cast<const unsigned char*>(data.Scan0) +
                        static_cast<std::ptrdiff_t>(y) * data.Stride,
                    static_cast<std::size_t>(width) * 4);
      }
      canvas.UnlockBits(&data);
      SelectScope select(memory, dib.get());
      SetWindowLongW(window, GWL_EXSTYLE, GetWindowLongW(window, GWL_EXSTYLE) | WS_EX_LAYERED);
      SIZE size{width, height};
      POINT source{0, 0};
      BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
      ok = UpdateLayeredWindow(window, nullptr, nullptr, &size, memory, &source, 0, &blend,
                               ULW_ALPHA) != FALSE;
    }
  }
  if (memory) DeleteDC(memory);
  ReleaseDC(window, screen);
  return ok;
}
