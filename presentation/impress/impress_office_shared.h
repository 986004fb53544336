// The state CImpressOffice shares between its ports (the automation objects
// in impress_object_model.cpp, the desktop in impress_office.cpp) and the
// link's event handler: the event sinks the manager advised, the stand-in,
// the last pointer state, and how the manager's input becomes Impress's
// pointer, pen and ink. Not for use outside this folder.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "presentation/impress/impress_office.h"
#include "presentation/presentation_types.h"
#if PIVARO_WITH_XTEST
#include "presentation/impress/x11_pen.h"
#endif

namespace impress_office {

// The desktop's show area: the slide's proportions with its longer side this
// many units, fine enough for a pointer.
constexpr std::int32_t kAreaLongSide = 10000;

// How long the pen stays on after a stroke's button went up (see
// SettleAfterStroke).
constexpr std::chrono::milliseconds kStrokeSettle{250};

struct Connection {
  std::shared_ptr<IAutomationEventSink> sink;
  std::shared_ptr<IApartment> apartment;  // null: delivered on UNO's thread
  AutomationPtr standIn;                  // advised there too, with standInCookie
  std::uint32_t standInCookie = 0;
};

}  // namespace impress_office

struct CImpressOffice::Shared {
  explicit Shared(std::shared_ptr<CImpressLink> l) : link(std::move(l)) {}

  std::shared_ptr<CImpressLink> link;
  // What stands in while no office answers; set before the ports are
  // handed out, read-only after.
  PresentationPorts standIn;

  std::mutex lock;
  std::map<std::uint32_t, impress_office::Connection> connections;
  std::uint32_t nextCookie = 1;
  ImpressPointer pointer;
  bool controlDown = false;
  bool pressed = false;
#if PIVARO_WITH_XTEST
  // Used on the manager's worker only, which is where input comes from.
  std::unique_ptr<CX11Pen> pen;
#endif

  void Raise(std::int32_t eventId) {
    std::vector<impress_office::Connection> targets;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (auto& entry : connections) targets.push_back(entry.second);
    }
    for (impress_office::Connection& c : targets) {
      auto sink = c.sink;
      auto call = [sink, eventId] { sink->Invoke(eventId, {}); };
      if (c.apartment) {
        c.apartment->Deliver(call);  // dropped when that worker has ended
      } else {
        call();
      }
    }
  }

  // Impress is the application now: connected, or found again.
  bool Impress() { return link->IsConnected() || (standIn.automation && link->Reconnect()); }

  // The desktop: the stand-in's screen, so that the manager's idea of it
  // holds whichever application answers; else one the size of the show.
  void Screen(std::int32_t* width, std::int32_t* height) {
    if (standIn.desktop) {
      standIn.desktop->VirtualScreenSize(width, height);
      if (*width > 0 && *height > 0) return;
    }
    *width = impress_office::kAreaLongSide;
    *height = impress_office::kAreaLongSide;
  }

  // The show area: the slide's proportions as large as the screen allows,
  // centred; the whole screen without a stand-in.
  ScreenRect Area() {
    std::int32_t w = 0, h = 0;
    if (!link->SlideSize(&w, &h)) {
      w = 4;
      h = 3;
    }
    if (!standIn.desktop) {
      ScreenRect rect;
      if (w >= h) {
        rect.right = impress_office::kAreaLongSide;
        rect.bottom =
            static_cast<std::int32_t>(std::int64_t{impress_office::kAreaLongSide} * h / w);
      } else {
        rect.bottom = impress_office::kAreaLongSide;
        rect.right = static_cast<std::int32_t>(std::int64_t{impress_office::kAreaLongSide} * w / h);
      }
      return rect;
    }
    std::int32_t sw = 0, sh = 0;
    Screen(&sw, &sh);
    std::int32_t aw = sw, ah = static_cast<std::int32_t>(std::int64_t{sw} * h / w);
    if (ah > sh) {
      ah = sh;
      aw = static_cast<std::int32_t>(std::int64_t{sh} * w / h);
    }
    ScreenRect rect;
    rect.left = (sw - aw) / 2;
    rect.top = (sh - ah) / 2;
    rect.right = rect.left + aw;
    rect.bottom = rect.top + ah;
    return rect;
  }

  // A pen stroke from the phone, drawn by moving and pressing the X
  // server's pointer in the show window while Impress's pen is on.
  void PenInput(const InputRecord& record, double x, double y) {
#if PIVARO_WITH_XTEST
    if (!pen || !pen->Unavailable().empty()) return;
    x = std::clamp(x, 0.0, 1.0);
    y = std::clamp(y, 0.0, 1.0);
    if (record.flags & kMouseLeftDown) {
      bool penOn;
      {
        std::lock_guard<std::mutex> guard(lock);
        penOn = pointer.pen;
      }
      std::uint64_t window = 0;
      std::int32_t w = 0, h = 0;
      if (penOn && link->ShowWindow(&window) && link->SlideSize(&w, &h))
        pen->Press(window, w, h, x, y);
    } else if (record.flags & kMouseLeftUp) {
      pen->Release();
    } else if (record.flags & kMouseMove) {
      pen->Move(x, y);
    }
#else
    static_cast<void>(record);
    static_cast<void>(x);
    static_cast<void>(y);
#endif
  }

  // The office reads the stroke's button-up from its X connection on its
  // own main thread, while the pen is switched over the UNO pipe by another
  // of its threads; the show takes a button-up with its pen off as a click
  // and moves on a slide, wiping the stroke. So the pen stays on until the
  // office has had a while to read the button-up.
  void SettleAfterStroke() {
#if PIVARO_WITH_XTEST
    if (!pen) return;
    const auto due = pen->ReleasedAt() + impress_office::kStrokeSettle;
    if (std::chrono::steady_clock::now() < due) std::this_thread::sleep_until(due);
#endif
  }

  void MovePointer(bool visible, double x, double y) {
    x = std::clamp(x, 0.0, 1.0);
    y = std::clamp(y, 0.0, 1.0);
    if (!link->SetPointer(visible, x, y)) return;
    std::lock_guard<std::mutex> guard(lock);
    pointer.visible = visible;
    pointer.x = x;
    pointer.y = y;
    ++pointer.accepted;
  }

  void Input(const InputRecord& record) {
    if (record.kind == InputRecord::Kind::Key) {
      const bool up = (record.flags & kKeyUp) != 0;
      if (record.virtualKey == kVirtualKeyControl) {
        std::lock_guard<std::mutex> guard(lock);
        controlDown = !up;
      } else if (record.virtualKey == kVirtualKeyE && !up) {
        link->EraseInk();
      }
      return;
    }
    // Absolute input covers the virtual screen; the show area is part of it.
    double x = record.dx / 65535.0;
    double y = record.dy / 65535.0;
    if (standIn.desktop) {
      std::int32_t sw = 0, sh = 0;
      Screen(&sw, &sh);
      const ScreenRect area = Area();
      if (area.right > area.left && area.bottom > area.top) {
        x = (x * sw - area.left) / (area.right - area.left);
        y = (y * sh - area.top) / (area.bottom - area.top);
      }
    }
    bool laser, moving;
    double lastX, lastY;
    {
      std::lock_guard<std::mutex> guard(lock);
      lastX = pointer.x;
      lastY = pointer.y;
      if (record.flags & kMouseLeftDown) pressed = true;
      laser = controlDown;
      moving = pressed && (record.flags & kMouseMove);
      if (record.flags & kMouseLeftUp) {
        pressed = false;
        if (laser) moving = false;
      }
    }
    if (!laser) {
      PenInput(record, x, y);
      return;
    }
    if (record.flags & kMouseLeftUp) {
      MovePointer(false, lastX, lastY);
    } else if (moving) {
      MovePointer(true, x, y);
    }
  }
};

namespace impress_office {

// The automation factory whose "PowerPoint.Application" is Impress.
std::shared_ptr<IAutomationFactory> MakeAutomationFactory(
    std::shared_ptr<CImpressOffice::Shared> shared);

}  // namespace impress_office
