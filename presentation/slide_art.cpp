// The colours and shape places both platforms' slide drawings share.
#include <cmath>

#include "presentation/slide_art.h"

// A colour of the given hue (degrees) at a fixed, readable saturation.
SlideColour SlideHue(double degrees, double lightness) {
  const double s = 0.62;
  const double h = std::fmod(degrees, 360.0) / 60.0;
  const double c = (1.0 - std::fabs(2.0 * lightness - 1.0)) * s;
  const double x = c * (1.0 - std::fabs(std::fmod(h, 2.0) - 1.0));
  const double m = lightness - c / 2.0;
  double r = 0, g = 0, b = 0;
  switch (static_cast<int>(h)) {
    case 0:
      r = c, g = x;
      break;
    case 1:
      r = x, g = c;
      break;
    case 2:
      g = c, b = x;
      break;
    case 3:
      g = x, b = c;
      break;
    case 4:
      r = x, b = c;
      break;
    default:
      r = c, b = x;
      break;
  }
  return {r + m, g + m, b + m};
}
