#include "tests/support/win32/png_picture.h"

#include <windows.h>

// gdiplus.h needs objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace {

bool HasPngSignature(const std::wstring& path) {
  std::FILE* file = _wfopen(path.c_str(), L"rb");
  if (!file) return false;
  unsigned char head[8] = {};
  const bool read = std::fread(head, 1, sizeof head, file) == sizeof head;
  std::fclose(file);
  return read && std::memcmp(head, "\x89PNG\r\n\x1a\n", sizeof head) == 0;
}

bool Decode(const std::wstring& path, PngPicture* picture) {
  Gdiplus::Bitmap bitmap(path.c_str());
  if (bitmap.GetLastStatus() != Gdiplus::Ok) return false;
  const int width = static_cast<int>(bitmap.GetWidth());
  const int height = static_cast<int>(bitmap.GetHeight());
  Gdiplus::Rect all(0, 0, width, height);
  Gdiplus::BitmapData data;
  if (bitmap.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok)
    return false;
  picture->width = width;
  picture->height = height;
  picture->pixels.resize(static_cast<std::size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const std::uint32_t*>(
        static_cast<const char*>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride);
    std::copy(row, row + width, picture->pixels.begin() + static_cast<std::ptrdiff_t>(y) * width);
  }
  bitmap.UnlockBits(&data);
  return true;
}

}  // namespace

bool ReadPngPicture(const std::wstring& path, PngPicture* picture) {
  *picture = PngPicture();
  if (!HasPngSignature(path)) return false;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
  const bool ok = Decode(path, picture);
  Gdiplus::GdiplusShutdown(token);
  return ok;
}

std::size_t DistinctColours(const PngPicture& picture) {
  return std::set<std::uint32_t>(picture.pixels.begin(), picture.pixels.end()).size();
}

std::size_t DifferingPixels(const PngPicture& a, const PngPicture& b) {
  if (a.width != b.width || a.height != b.height) return std::max(a.pixels.size(), b.pixels.size());
  std::size_t differing = 0;
  for (std::size_t i = 0; i < a.pixels.size(); ++i) differing += a.pixels[i] != b.pixels[i];
  return differing;
}
