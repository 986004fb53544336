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

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "presentation/slide_art.h"
#include "presentation/win32/gdiplus_png.h"

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

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// The first of a few common sans-serif faces that this system has; null
// on a system without fonts, where the slide is drawn without its texts.
std::unique_ptr<Gdiplus::FontFamily> SansSerif() {
  for (const wchar_t* name : {L"Segoe UI", L"Arial", L"Tahoma", L"Microsoft Sans Serif"}) {
    auto family = std::make_unique<Gdiplus::FontFamily>(name);
    if (family->GetLastStatus() == Gdiplus::Ok && family->IsAvailable()) return family;
  }
  const Gdiplus::FontFamily* generic = Gdiplus::FontFamily::GenericSansSerif();
  std::unique_ptr<Gdiplus::FontFamily> family(generic ? generic->Clone() : nullptr);
  if (family && (family->GetLastStatus() != Gdiplus::Ok || !family->IsAvailable())) family.reset();
  return family;
}

// The page is laid out as the Linux drawing lays it out (a light page, a
// coloured band, the title, "n / count", a disc, a rounded block and a
// triangle placed and coloured by the slide's number, the deck's name at
// the foot), so that a slide looks the same on both platforms.

// A shared hue as a GDI+ colour.
Gdiplus::Color Hue(double degrees, double lightness) {
  const SlideColour c = SlideHue(degrees, lightness);
  auto byte = [](double v) {
    return static_cast<BYTE>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
  };
  return Gdiplus::Color(255, byte(c.r), byte(c.g), byte(c.b));
}

Gdiplus::Color Grey(double r, double g, double b) {
  return Gdiplus::Color(255, static_cast<BYTE>(std::lround(r * 255)),
                        static_cast<BYTE>(std::lround(g * 255)),
                        static_cast<BYTE>(std::lround(b * 255)));
}

// Text with its baseline at y, starting at x (or ending there when
// `alignRight`), shrunk until it fits `maxWidth`.
void PaintText(Gdiplus::Graphics& g, const Gdiplus::FontFamily* family, const std::u16string& text,
               double size, double x, double y, double maxWidth, bool bold,
               const Gdiplus::Color& color, bool alignRight = false) {
  if (!family || text.empty() || !(size > 0) || !(maxWidth > 0)) return;
  const int style = bold ? Gdiplus::FontStyleBold : Gdiplus::FontStyleRegular;
  const INT length = static_cast<INT>(text.size());
  Gdiplus::StringFormat format(Gdiplus::StringFormat::GenericTypographic());
  format.SetFormatFlags(format.GetFormatFlags() | Gdiplus::StringFormatFlagsNoWrap |
                        Gdiplus::StringFormatFlagsMeasureTrailingSpaces);
  auto font = std::make_unique<Gdiplus::Font>(family, static_cast<Gdiplus::REAL>(size), style,
                                              Gdiplus::UnitPixel);
  Gdiplus::RectF bounds;
  g.MeasureString(Wide(text), length, font.get(), Gdiplus::PointF(0, 0), &format, &bounds);
  if (bounds.Width > maxWidth && bounds.Width > 0) {
    size = size * maxWidth / bounds.Width;
    if (size < 0.5) return;
    font = std::make_unique<Gdiplus::Font>(family, static_cast<Gdiplus::REAL>(size), style,
                                           Gdiplus::UnitPixel);
    g.MeasureString(Wide(text), length, font.get(), Gdiplus::PointF(0, 0), &format, &bounds);
  }
  const UINT16 em = family->GetEmHeight(style);
  const double ascent = em ? size * family->GetCellAscent(style) / em : size * 0.8;
  const double left = alignRight ? x - bounds.Width : x;
  Gdiplus::SolidBrush brush(color);
  g.DrawString(
      Wide(text), length, font.get(),
      Gdiplus::PointF(static_cast<Gdiplus::REAL>(left), static_cast<Gdiplus::REAL>(y - ascent)),
      &format, &brush);
}

void PaintShapes(Gdiplus::Graphics& g, std::int32_t index, double hue, double w, double h,
                 double margin) {
  SlidePlacement place(index);
  const double top = h * 0.32, bottom = h * 0.86;
  const double unit = std::min(w, h) * 0.16;
  auto at = [](double x, double y) {
    return Gdiplus::PointF(static_cast<Gdiplus::REAL>(x), static_cast<Gdiplus::REAL>(y));
  };
  for (int shape = 0; shape < 3; ++shape) {
    const double cx = margin + unit + (w - 2 * (margin + unit)) * (shape + place.Next()) / 3.0;
    const double cy = top + unit * 0.8 + (bottom - top - unit * 1.6) * place.Next();
    const double size = unit * (0.6 + 0.5 * place.Next());
    Gdiplus::SolidBrush brush(Hue(hue + 40.0 * shape + 90.0 * place.Next(), 0.5 + 0.1 * shape));
    Gdiplus::GraphicsPath path;
    switch (shape) {
      case 0:
        path.AddEllipse(static_cast<Gdiplus::REAL>(cx - size),
                        static_cast<Gdiplus::REAL>(cy - size), static_cast<Gdiplus::REAL>(2 * size),
                        static_cast<Gdiplus::REAL>(2 * size));
        break;
      case 1: {
        // A block 2 size wide and 1.4 size tall with corners of 0.2 size.
        const double r = size * 0.2, d = 2 * r;
        const double l = cx - size, t = cy - size * 0.7, rt = cx + size, b = cy + size * 0.7;
        auto arc = [&](double x, double y, float start) {
          path.AddArc(static_cast<Gdiplus::REAL>(x), static_cast<Gdiplus::REAL>(y),
                      static_cast<Gdiplus::REAL>(d), static_cast<Gdiplus::REAL>(d), start, 90.0f);
        };
        arc(rt - d, t, 270.0f);
        arc(rt - d, b - d, 0.0f);
        arc(l, b - d, 90.0f);
        arc(l, t, 180.0f);
        path.CloseFigure();
        break;
      }
      default: {
        const Gdiplus::PointF corners[] = {at(cx, cy - size), at(cx + size, cy + size * 0.8),
                                           at(cx - size, cy + size * 0.8)};
        path.AddPolygon(corners, 3);
        break;
      }
    }
    g.FillPath(&brush, &path);
  }
}

bool Draw(const SlideArt& art, Gdiplus::Bitmap& bitmap, int width, int height) {
  Gdiplus::Graphics g(&bitmap);
  if (g.GetLastStatus() != Gdiplus::Ok) return false;
  g.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
  g.SetTextRenderingHint(Gdiplus::TextRenderingHintAntiAliasGridFit);
  const double w = width, h = height;
  const double hue = 137.508 * art.index;  // the golden angle: neighbours differ most
  if (g.Clear(Grey(0.97, 0.97, 0.955)) != Gdiplus::Ok) return false;
  Gdiplus::SolidBrush band(Hue(hue, 0.45));
  g.FillRectangle(&band, 0.0f, 0.0f, static_cast<Gdiplus::REAL>(w),
                  static_cast<Gdiplus::REAL>(h * 0.035));

  const double margin = w * 0.06;
  std::unique_ptr<Gdiplus::FontFamily> family = SansSerif();
  std::u16string title = art.title;
  if (title.empty()) title = Ascii("Slide " + std::to_string(art.index));
  PaintText(g, family.get(), title, h * 0.10, margin, h * 0.21, w * 0.70, true,
            Grey(0.12, 0.13, 0.17));
  PaintText(g, family.get(), Ascii(std::to_string(art.index) + " / " + std::to_string(art.count)),
            h * 0.055, w - margin, h * 0.19, w * 0.2, false, Grey(0.42, 0.43, 0.47), true);

  PaintShapes(g, art.index, hue, w, h, margin);

  PaintText(g, family.get(), art.presentation, h * 0.035, margin, h * 0.95, w - 2 * margin, false,
            Grey(0.5, 0.5, 0.53));
  return g.GetLastStatus() == Gdiplus::Ok;
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
    ok = session.ok() && FindPngEncoder(&png);
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

bool FindPngEncoder(CLSID* clsid) {
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
