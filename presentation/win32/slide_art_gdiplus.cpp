// The simulated application's slide pictures drawn with GDI+ and written
// through its PNG encoder. It runs wherever the simulation runs: in the test
// presentation server, which has no window of ours and never starts GDI+
// itself, and on the manager's exporter thread, so GDI+ is started for the
// duration of each drawing (counted, so that overlapping calls share one
// start-up).
#include <windows.h>

// gdiplus.h needs objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "presentation/slide_art.h"

namespace {

// A bound on the bitmap a caller can make us allocate: 16 Mpx at 3 bytes a
// pixel, room for a 2048-pixel-wide picture of a slide four times as tall
// as it is wide.
constexpr int kMaxSide = 8192;
constexpr std::int64_t kMaxPixels = 16 * 1024 * 1024;

// GDI+ started by the first drawing that needs it and stopped by the last
// one to finish.
class GdiplusSession {
 public:
  GdiplusSession() {
    std::lock_guard<std::mutex> guard(lock_);
    if (users_ == 0) {
      Gdiplus::GdiplusStartupInput input;
      started_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    ok_ = started_;
    if (ok_) ++users_;
  }
  ~GdiplusSession() {
    if (!ok_) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (--users_ == 0) {
      Gdiplus::GdiplusShutdown(token_);
      started_ = false;
    }
  }
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  bool ok() const { return ok_; }

 private:
  static std::mutex lock_;
  static int users_;
  static bool started_;
  static ULONG_PTR token_;
  bool ok_ = false;
};

std::mutex GdiplusSession::lock_;
int GdiplusSession::users_ = 0;
bool GdiplusSession::started_ = false;
ULONG_PTR GdiplusSession::token_ = 0;

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

bool PngEncoder(CLSID* clsid) {
  UINT count = 0, bytes = 0;
  if (Gdiplus::GetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
  std::vector<unsigned char> buffer(bytes);
  auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
  if (Gdiplus::GetImageEncoders(count, bytes, encoders) != Gdiplus::Ok) return false;
  for (UINT i = 0; i < count; ++i) {
    if (encoders[i].MimeType && lstrcmpiW(encoders[i].MimeType, L"image/png") == 0) {
      *clsid = encoders[i].Clsid;
      return true;
    }
  }
  return false;
}

// The first of a few common sans-serif faces that this system has.
std::unique_ptr<Gdiplus::FontFamily> SansSerif() {
  for (const wchar_t* name : {L"Segoe UI", L"Arial", L"Tahoma", L"Microsoft Sans Serif"}) {
    auto family = std::make_unique<Gdiplus::FontFamily>(name);
    if (family->GetLastStatus() == Gdiplus::Ok && family->IsAvailable()) return family;
  }
  return std::unique_ptr<Gdiplus::FontFamily>(Gdiplus::FontFamily::GenericSansSerif()->Clone());
}

// The palette the shapes take their colours from, by slide number.
const Gdiplus::Color kPalette[] = {
    Gdiplus::Color(255, 231, 76, 60),  Gdiplus::Color(255, 52, 152, 219),
    Gdiplus::Color(255, 46, 204, 113), Gdiplus::Color(255, 241, 196, 15),
    Gdiplus::Color(255, 155, 89, 182), Gdiplus::Color(255, 230, 126, 34),
    Gdiplus::Color(255, 26, 188, 156),
};
constexpr int kPaletteSize = sizeof kPalette / sizeof kPalette[0];

void PaintText(Gdiplus::Graphics& g, const std::u16string& text, const Gdiplus::FontFamily& family,
               float size, int style, const Gdiplus::Color& color, const Gdiplus::RectF& box,
               Gdiplus::StringAlignment align) {
  if (text.empty()) return;
  Gdiplus::Font font(&family, size < 1.0f ? 1.0f : size, style, Gdiplus::UnitPixel);
  Gdiplus::SolidBrush brush(color);
  Gdiplus::StringFormat format;
  format.SetAlignment(align);
  format.SetLineAlignment(Gdiplus::StringAlignmentNear);
  format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
  format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
  g.DrawString(Wide(text), static_cast<INT>(text.size()), &font, box, &format, &brush);
}

// Three shapes in the middle of the slide; kind, colour, place and size all
// follow the slide number, so neighbouring slides never look alike.
void DrawShapes(Gdiplus::Graphics& g, int index, float w, float h) {
  const int n = index < 0 ? -index : index;
  const float side = (w * 0.22f < h * 0.4f ? w * 0.22f : h * 0.4f);
  for (int k = 0; k < 3; ++k) {
    Gdiplus::SolidBrush brush(kPalette[(n * 3 + k) % kPaletteSize]);
    const float size = side * (0.7f + 0.15f * static_cast<float>((n + k) % 3));
    const float x = w * (0.06f + 0.31f * static_cast<float>(k)) +
                    w * 0.02f * static_cast<float>((n * 7 + k * 3) % 5);
    const float y = h * (0.3f + 0.06f * static_cast<float>((n * 5 + k * 11) % 4));
    switch ((n + k) % 3) {
      case 0:
        g.FillEllipse(&brush, x, y, size, size);
        break;
      case 1:
        g.FillRectangle(&brush, x, y, size, size * 0.75f);
        break;
      default: {
        const Gdiplus::PointF points[] = {Gdiplus::PointF(x + size / 2, y),
                                          Gdiplus::PointF(x + size, y + size),
                                          Gdiplus::PointF(x, y + size)};
        g.FillPolygon(&brush, points, 3);
        break;
      }
    }
  }
}

bool Draw(const SlideArt& art, Gdiplus::Bitmap& bitmap, int width, int height) {
  Gdiplus::Graphics g(&bitmap);
  if (g.GetLastStatus() != Gdiplus::Ok) return false;
  g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
  g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
  const float w = static_cast<float>(width), h = static_cast<float>(height);
  if (g.Clear(Gdiplus::Color(255, 250, 250, 247)) != Gdiplus::Ok) return false;

  DrawShapes(g, art.index, w, h);

  std::unique_ptr<Gdiplus::FontFamily> family = SansSerif();
  const float margin = w * 0.05f;
  const std::u16string counter = [&] {
    const std::string digits = std::to_string(art.index) + " / " + std::to_string(art.count);
    return std::u16string(digits.begin(), digits.end());
  }();
  PaintText(g, art.title, *family, h * 0.09f, Gdiplus::FontStyleBold,
            Gdiplus::Color(255, 33, 37, 41), Gdiplus::RectF(margin, h * 0.06f, w * 0.7f, h * 0.16f),
            Gdiplus::StringAlignmentNear);
  PaintText(g, counter, *family, h * 0.05f, Gdiplus::FontStyleRegular,
            Gdiplus::Color(255, 108, 117, 125),
            Gdiplus::RectF(w * 0.72f, h * 0.07f, w * 0.28f - margin, h * 0.1f),
            Gdiplus::StringAlignmentFar);
  PaintText(g, art.presentation, *family, h * 0.035f, Gdiplus::FontStyleRegular,
            Gdiplus::Color(255, 134, 142, 150),
            Gdiplus::RectF(margin, h * 0.92f, w - 2 * margin, h * 0.06f),
            Gdiplus::StringAlignmentNear);
  return true;
}

// A name beside `path` that no other drawing of this process uses.
std::wstring TemporaryName(const std::wstring& path) {
  static std::atomic<unsigned> counter{0};
  return path + L".~" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(counter.fetch_add(1)) + L".tmp";
}

}  // namespace

bool RenderSlideArt(const SlideArt& art, int width, int height, const std::u16string& path) {
  // A path cut short by an embedded NUL would name another file.
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return false;
  const std::wstring target(Wide(path));
  bool ok = width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
            static_cast<std::int64_t>(width) * height <= kMaxPixels;
  const std::wstring temporary = TemporaryName(target);
  if (ok) {
    GdiplusSession session;
    CLSID png;
    ok = session.ok() && PngEncoder(&png);
    if (ok) {
      Gdiplus::Bitmap bitmap(width, height, PixelFormat24bppRGB);
      ok = bitmap.GetLastStatus() == Gdiplus::Ok && Draw(art, bitmap, width, height) &&
           bitmap.Save(temporary.c_str(), &png, nullptr) == Gdiplus::Ok;
    }
  }
  ok = ok && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) {
    // Neither a half-written file nor the picture of an earlier call stays
    // where the caller will look for this one.
    DeleteFileW(temporary.c_str());
    DeleteFileW(target.c_str());
  }
  return ok;
}
