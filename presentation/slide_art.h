// The pictures of the simulated presentation application's slides. A real
// application exports its slides itself; the simulation draws a slide with
// this platform's graphics library (Cairo on Linux, GDI+ on Windows) so that
// the export path, the image cache and the phone's presenter view meet real
// image files.
#pragma once

#include <cstdint>
#include <string>

// What one simulated slide shows: a title, its number in the deck and a few
// shapes placed by the number, so that every slide looks different.
struct SlideArt {
  std::u16string presentation;  // the deck's name, drawn small at the foot
  std::u16string title;
  std::int32_t index = 1;  // 1-based
  std::int32_t count = 1;
};

// Draws `art` at width x height pixels into a PNG file at `path` (replacing
// it). False, with nothing left at `path`, when the size is not positive or
// the file cannot be written.
bool RenderSlideArt(const SlideArt& art, int width, int height, const std::u16string& path);

// What both platforms' drawings share, so that a slide looks the same on
// each: colours picked by hue, and the shapes' places from the slide number.
struct SlideColour {
  double r, g, b;  // 0 to 1
};

// A colour of the given hue (degrees) at a fixed, readable saturation.
SlideColour SlideHue(double degrees, double lightness);

// A small deterministic sequence in [0, 1) from the slide's number, so that
// a slide looks the same at every export and neighbours look different.
class SlidePlacement {
 public:
  explicit SlidePlacement(std::int32_t index) : state_(0x9E3779B97F4A7C15ull * (index + 1u)) {}
  double Next() {
    state_ ^= state_ >> 33;
    state_ *= 0xFF51AFD7ED558CCDull;
    state_ ^= state_ >> 29;
    return static_cast<double>(state_ >> 11) / 9007199254740992.0;
  }

 private:
  std::uint64_t state_;
};
