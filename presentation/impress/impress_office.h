// LibreOffice Impress as the presentation application of the presentation
// manager. The manager speaks to its application through the automation
// port by member name (ActivePresentation, SlideShowWindow.View.Next, ...);
// here those members are answered from Impress over the link, so that the
// manager, its task queue, the controller and the protocol stay as they
// are. Impress registers as "PowerPoint.Application" because it behaves
// like one: it raises the open, close and show events and draws the laser
// pointer in its own show.
//
// The show window is an area of the slide's proportions on a desktop of our
// own; the manager's pointer input into that area becomes the show's
// pointer position (laser) and the pen switch. Impress takes no ink from
// outside: on X11 the pen strokes from the phone are drawn by moving and
// pressing the X server's pointer in Impress's show window (x11_pen.h);
// elsewhere only the presenter's own mouse draws while the pen is on.
//
// Usage:
//   CImpressOffice office(options);
//   office.Link().Connect(/*start=*/true);
//   office.Link().Open("deck.odp");
//   CPowerPointMgr mgr(office.Ports());
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "presentation/impress/impress_link.h"
#include "presentation/ports.h"

// The last pointer state Impress accepted; for the front end and tests.
struct ImpressPointer {
  bool visible = false;  // the laser shows
  bool pen = false;      // the pen is on
  double x = 0.0;        // fraction of the slide
  double y = 0.0;
  std::uint32_t accepted = 0;  // pointer calls Impress took
};

class CImpressOffice {
 public:
  explicit CImpressOffice(ImpressLinkOptions options);
  ~CImpressOffice();

  CImpressOffice(const CImpressOffice&) = delete;
  CImpressOffice& operator=(const CImpressOffice&) = delete;

  CImpressLink& Link() { return *link_; }
  // The application (the simulation, say) that answers for Impress while no
  // office does: the manager then drives it, and drives Impress from the
  // moment an office is found, through the same ports. Call before Ports().
  void SetStandIn(const PresentationPorts& standIn);
  // The automation factory and the desktop over Impress, the system's
  // process list, no registry.
  PresentationPorts Ports() const;
  ImpressPointer Pointer() const;
  // Why the phone's pen strokes are not drawn into the show here (a
  // Wayland session, no X Test extension); empty when they are.
  std::string PenUnavailable() const;
  // What the presenter sees, in a line: "Impress: deck.odp, show running,
  // slide 2 of 5"; empty while a stand-in answers (it has its own line).
  // Makes bounded calls to the office: not for a UI thread.
  std::string Describe();

  // While no office answers, looks for one every `interval` and announces
  // the presentation it finds, so that an office (re)started after us is
  // taken up without the phone asking first.
  void WatchForOffice(std::chrono::milliseconds interval);

  struct Shared;

 private:
  std::shared_ptr<CImpressLink> link_;
  std::shared_ptr<Shared> shared_;
  std::mutex watchLock_;
  std::condition_variable watchWake_;
  bool stopping_ = false;
  std::thread watcher_;
};
