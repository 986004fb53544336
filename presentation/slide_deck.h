// What the presenter view knows of the open deck: its name, whether it is
// saved, its number of slides and page size, read through the object model
// (PowerPoint's names, which WPS, the simulated application and the Impress
// link answer too), and the revision that names the deck's pictures. The
// manager's worker reads these for the show's position, the exporter again
// before each picture, so that both name a deck the same way.
#pragma once

#include <cstdint>
#include <string>

#include "presentation/automation.h"

struct DeckFacts {
  std::u16string fullName;  // empty when unreadable
  // Presentation.Saved; a deck whose flag cannot be read counts as edited,
  // so that its pictures are never taken for current when they may not be.
  bool saved = false;
  std::int32_t count = 0;  // Slides.Count
  double width = 0.0;      // PageSetup.SlideWidth, points; 0 when unreadable
  double height = 0.0;     // PageSetup.SlideHeight
};

// Reads the facts of a Presentation object. False when Slides.Count does not
// answer (then the back-end cannot give slides by index at all).
bool ReadDeckFacts(IAutomationObject* presentation, DeckFacts* facts);

// Width over height, 0 when the page size is unknown.
double DeckAspect(const DeckFacts& facts);

// Ten characters [0-9a-z] hashed from the name, slide count and page size,
// and, while the deck is unsaved, from `slideChanges` (the slide changes seen
// so far): an edited deck gets a new revision at every slide change, so a
// picture of an edit is never stale for longer than one slide.
std::string DeckRevision(const DeckFacts& facts, std::uint64_t slideChanges);

// Picture widths the exporter draws; asks outside are brought inside.
constexpr std::int32_t kMinSlideImageWidth = 16;
constexpr std::int32_t kMaxSlideImageWidth = 2048;
std::int32_t ClampSlideImageWidth(std::int32_t width);
// round(width / aspect), at least 1; 0 when the aspect is not positive or
// the picture would be taller than kMaxSlideImageHeight (a page far taller
// than wide, which no application exports at that size).
constexpr std::int32_t kMaxSlideImageHeight = 8192;
std::int32_t SlideImageHeight(std::int32_t width, double aspect);
