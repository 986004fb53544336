// Types shared by the presentation manager, its back-ends and its callers.
#pragma once

#include <cstdint>

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
