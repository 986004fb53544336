// Types shared by the presentation manager, its back-ends and its callers.
#pragma once

#include <cstdint>
#include <string>

// Which application a back-end drives.
enum PowerPointType : std::int32_t {
  PowerPoint = 1,
  Wps = 2,
};

// The pointer mode of a press, chosen by the controller.
enum PointerType : std::int32_t {
  PointerNone = 0,
  PointerPen = 1,
  PointerLaser = 2,
};

// Application-events dispatch ids.
enum PresentationEventId : std::int32_t {
  EventPresentationClose = 2004,
  EventPresentationOpen = 2006,
  EventWindowActivate = 2009,
  EventSlideShowBegin = 2011,
  EventSlideShowNextSlide = 2013,
  EventSlideShowEnd = 2014,
  EventPresentationBeforeClose = 2025,
  EventWpsPresentationClose = 2049,
};

// Where the running show stands, for a presenter view. `index` is 1-based
// and 0 when no show runs (then count and aspect may still describe the open
// presentation, or be 0 when there is none). `aspect` is the slide's width
// over its height. `revision` names the deck's content: 10 characters
// [0-9a-z], the same as long as the slides' pictures stay the same, and a new
// one after the deck was edited, so that a picture keyed by it never goes
// stale.
struct SlidePosition {
  std::int32_t index = 0;
  std::int32_t count = 0;
  double aspect = 0.0;
  std::string revision;
  // The back-end can export pictures of its slides.
  bool images = false;

  bool operator==(const SlidePosition& o) const {
    return index == o.index && count == o.count && aspect == o.aspect &&
           revision == o.revision && images == o.images;
  }
  bool operator!=(const SlidePosition& o) const { return !(*this == o); }
};

// One exported slide picture: PNG bytes of slide `index` (1-based) of the
// deck at `revision`, `width` pixels wide with the slide's aspect. `png` is
// empty when the export failed or was refused.
struct SlideImage {
  std::string revision;
  std::int32_t index = 0;
  std::int32_t width = 0;
  std::string png;
};
