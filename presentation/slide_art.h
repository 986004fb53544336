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
