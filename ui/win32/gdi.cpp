#include "ui/win32/gdi.h"

#include <objidl.h>
#include <shlwapi.h>

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

std::unique_ptr<Gdiplus::Bitmap> LoadPngResource(int id) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
  if (!info) return nullptr;
  DWORD size = SizeofResource(module, info);
  HGLOBAL data = LoadResource(module, info);
  const void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes || size == 0) return nullptr;
  // The stream copies the bytes; GDI+ may read from it for as long as the
  // bitmap lives, so the bitmap is cloned out of it before it goes.
  IStream* stream = SHCreateMemStream(static_cast<const BYTE*>(bytes), size);
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

ImageList LoadImageStrip(int id, int frames, int grow) {
  std::unique_ptr<Gdiplus::Bitmap> strip = LoadPngResource(id);
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
