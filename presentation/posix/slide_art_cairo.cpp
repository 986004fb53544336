// The simulated slides drawn with Cairo: a light page with a coloured band,
// the title, "n / count", three shapes whose places and colours follow from
// the slide's number, and the deck's name at the foot.
#include <cairo.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "json/json.h"
#include "presentation/slide_art.h"

namespace {

// Beyond this a side is refused: 8192 x 8192 RGB is already 256 MiB.
constexpr int kMaxSide = 8192;

void SetColour(cairo_t* cr, const SlideColour& c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

// Text at (x, y) of the baseline, shrunk until it fits `maxWidth`.
void DrawText(cairo_t* cr, const std::string& text, double size, double x, double y,
              double maxWidth, bool bold, bool alignRight = false) {
  if (text.empty()) return;
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, text.c_str(), &extents);
  if (extents.x_advance > maxWidth && extents.x_advance > 0) {
    cairo_set_font_size(cr, size * maxWidth / extents.x_advance);
    cairo_text_extents(cr, text.c_str(), &extents);
  }
  cairo_move_to(cr, alignRight ? x - extents.x_advance : x, y);
  cairo_show_text(cr, text.c_str());
}

std::string Utf8(const std::u16string& text) {
  std::string out;
  return ToUtf8(text, out) ? out : std::string();
}

void Draw(cairo_t* cr, const SlideArt& art, double w, double h) {
  const double hue = 137.508 * art.index;  // the golden angle: neighbours differ most
  cairo_set_source_rgb(cr, 0.97, 0.97, 0.955);
  cairo_paint(cr);

  SetColour(cr, SlideHue(hue, 0.45));
  cairo_rectangle(cr, 0, 0, w, h * 0.035);
  cairo_fill(cr);

  const double margin = w * 0.06;
  std::string title = Utf8(art.title);
  if (title.empty()) title = "Slide " + std::to_string(art.index);
  cairo_set_source_rgb(cr, 0.12, 0.13, 0.17);
  DrawText(cr, title, h * 0.10, margin, h * 0.21, w * 0.70, true);

  cairo_set_source_rgb(cr, 0.42, 0.43, 0.47);
  DrawText(cr, std::to_string(art.index) + " / " + std::to_string(art.count), h * 0.055, w - margin,
           h * 0.19, w * 0.2, false, true);

  // Three shapes in the lower part of the page: a disc, a rounded block and
  // a triangle, each placed and coloured by the slide's number.
  SlidePlacement place(art.index);
  const double top = h * 0.32, bottom = h * 0.86;
  const double unit = std::min(w, h) * 0.16;
  for (int shape = 0; shape < 3; ++shape) {
    const double cx = margin + unit + (w - 2 * (margin + unit)) * (shape + place.Next()) / 3.0;
    const double cy = top + unit * 0.8 + (bottom - top - unit * 1.6) * place.Next();
    const double size = unit * (0.6 + 0.5 * place.Next());
    SetColour(cr, SlideHue(hue + 40.0 * shape + 90.0 * place.Next(), 0.5 + 0.1 * shape));
    switch (shape) {
      case 0:
        cairo_arc(cr, cx, cy, size, 0, 2 * M_PI);
        break;
      case 1: {
        const double r = size * 0.2;
        cairo_new_sub_path(cr);
        cairo_arc(cr, cx + size - r, cy - size * 0.7 + r, r, -M_PI / 2, 0);
        cairo_arc(cr, cx + size - r, cy + size * 0.7 - r, r, 0, M_PI / 2);
        cairo_arc(cr, cx - size + r, cy + size * 0.7 - r, r, M_PI / 2, M_PI);
        cairo_arc(cr, cx - size + r, cy - size * 0.7 + r, r, M_PI, 3 * M_PI / 2);
        cairo_close_path(cr);
        break;
      }
      default:
        cairo_move_to(cr, cx, cy - size);
        cairo_line_to(cr, cx + size, cy + size * 0.8);
        cairo_line_to(cr, cx - size, cy + size * 0.8);
        cairo_close_path(cr);
        break;
    }
    cairo_fill(cr);
  }

  cairo_set_source_rgb(cr, 0.5, 0.5, 0.53);
  DrawText(cr, Utf8(art.presentation), h * 0.035, margin, h * 0.95, w - 2 * margin, false);
}

// A name beside the target that no other export in this process uses, so
// that the rename below is the only moment the target changes.
std::string TemporaryBeside(const std::string& target) {
  static std::atomic<std::uint64_t> counter{0};
  return target + ".part" +
         std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())) + "-" +
         std::to_string(++counter);
}

}  // namespace

bool RenderSlideArt(const SlideArt& art, int width, int height, const std::u16string& path) {
  std::string target;
  if (!ToUtf8(path, target) || target.empty()) return false;
  auto fail = [&] {
    std::remove(target.c_str());
    return false;
  };
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return fail();

  std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height), cairo_surface_destroy);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return fail();
  {
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> cr(cairo_create(surface.get()),
                                                          cairo_destroy);
    Draw(cr.get(), art, width, height);
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return fail();
  }
  cairo_surface_flush(surface.get());

  const std::string temporary = TemporaryBeside(target);
  if (cairo_surface_write_to_png(surface.get(), temporary.c_str()) != CAIRO_STATUS_SUCCESS ||
      std::rename(temporary.c_str(), target.c_str()) != 0) {
    std::remove(temporary.c_str());
    return fail();
  }
  return true;
}
