// The running show's operations: starting and ending it, the steps and the
// jump to a slide, where it stands, the current slide's notes, the show's
// own pointer and pen, and its window. The show's controller exists only
// while a show runs and may vanish at any moment (the presenter pressed
// Escape); every operation asks for it afresh and treats its absence as "no
// show", announcing an end the office did not.
#include <com/sun/star/awt/SystemDependentXWindow.hpp>
#include <com/sun/star/awt/XSystemDependentWindowPeer.hpp>
#include <com/sun/star/awt/XTopWindow.hpp>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XFrames.hpp>
#include <com/sun/star/frame/XFramesSupplier.hpp>
#include <com/sun/star/geometry/RealPoint2D.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/SystemDependent.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/presentation/XPresentationPage.hpp>
#include <com/sun/star/presentation/XSlideShow.hpp>
#include <com/sun/star/text/XText.hpp>

#include "presentation/impress/impress_uno.h"

using namespace impress_uno;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

namespace {

constexpr auto kShowPoll = std::chrono::milliseconds(50);

}  // namespace

Reference<css::presentation::XSlideShowController> CImpressLink::Uno::Controller() {
  if (controller.is()) {
    try {
      if (controller->isRunning()) return controller;
    } catch (const css::lang::DisposedException&) {
    }
    controller.clear();
    showListener.clear();
  }
  Reference<css::presentation::XPresentation2> show = Presentation();
  if (!show.is() || !show->isRunning()) {
    // Ended on the presenter's side without a word to us.
    ShowEnded();
    return {};
  }
  controller = show->getController();
  return controller;
}

void CImpressLink::Uno::WatchShow() {
  try {
    Reference<css::presentation::XSlideShowController> c = Controller();
    if (!c.is()) return;
    // A show started again may come with the controller of the last one,
    // which still has our listener.
    if (!showListener.is()) {
      showListener = MakeShowWatch(weak_from_this());
      c->addSlideShowListener(showListener);
    }
    if (!showRunning.exchange(true)) Raise(ImpressEvent::ShowBegin);
  } catch (const css::uno::Exception&) {
  }
}

void CImpressLink::Uno::AwaitShow() {
  const auto deadline = std::chrono::steady_clock::now() + options.callLimit / 2;
  for (;;) {
    WatchShow();
    if (showRunning.load() || std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(kShowPoll);
  }
}

void CImpressLink::Uno::ShowEnded() {
  showListener.clear();
  controller.clear();
  if (showRunning.exchange(false)) Raise(ImpressEvent::ShowEnd);
}

bool CImpressLink::StartShow() {
  return Run([](Uno& u) {
    Reference<css::presentation::XPresentation2> show = u.Presentation();
    if (!show.is()) return false;
    if (!show->isRunning()) show->start();
    u.AwaitShow();
    return true;
  });
}

bool CImpressLink::EndShow() {
  return Run([](Uno& u) {
    Reference<css::presentation::XPresentation2> show = u.Presentation();
    if (!show.is() || !show->isRunning()) return false;
    show->end();
    // The office does not always announce an end it was asked for.
    u.ShowEnded();
    return true;
  });
}

bool CImpressLink::IsShowRunning() {
  return Run([](Uno& u) {
    bool running = u.Controller().is();
    // A show started before the office event reached us is taken over here.
    if (running && !u.showRunning.load()) u.WatchShow();
    return running;
  });
}

bool CImpressLink::Step(ImpressStep step) {
  return Run([step](Uno& u) {
    Reference<css::presentation::XSlideShowController> c = u.Controller();
    if (!c.is()) return false;
    switch (step) {
      case ImpressStep::Next:
        c->gotoNextSlide();
        break;
      case ImpressStep::Previous:
        c->gotoPreviousSlide();
        break;
      case ImpressStep::First:
        c->gotoFirstSlide();
        break;
      case ImpressStep::Last:
        c->gotoLastSlide();
        break;
    }
    return true;
  });
}

bool CImpressLink::GotoSlide(std::int32_t index) {
  return Run([index](Uno& u) {
    Reference<css::presentation::XSlideShowController> c = u.Controller();
    if (!c.is() || index < 0 || index >= c->getSlideCount()) return false;
    c->gotoSlideIndex(index);
    return true;
  });
}

bool CImpressLink::Position(std::int32_t* index, std::int32_t* count) {
  auto values = std::make_shared<std::pair<std::int32_t, std::int32_t>>(0, 0);
  bool ok = Run([values](Uno& u) {
    Reference<css::presentation::XSlideShowController> c = u.Controller();
    if (!c.is()) return false;
    values->first = c->getCurrentSlideIndex();
    values->second = c->getSlideCount();
    return true;
  });
  *index = values->first;
  *count = values->second;
  return ok;
}

bool CImpressLink::ReadNotes(std::u16string* text) {
  auto notes = std::make_shared<std::u16string>();
  bool ok = Run([notes](Uno& u) {
    Reference<css::presentation::XSlideShowController> c = u.Controller();
    if (!c.is()) return false;
    Reference<css::presentation::XPresentationPage> slide(c->getCurrentSlide(), UNO_QUERY);
    if (!slide.is()) return false;
    Reference<css::container::XIndexAccess> shapes(slide->getNotesPage(), UNO_QUERY);
    if (!shapes.is()) return false;
    // The notes are the text of the page's notes shapes. A page made by
    // another program may hold its notes in plain text shapes instead; their
    // text is taken when no notes shape is there. The slide image has none.
    OUString notesText, otherText;
    for (sal_Int32 i = 0, n = shapes->getCount(); i < n; ++i) {
      Reference<css::lang::XServiceInfo> shape(shapes->getByIndex(i), UNO_QUERY);
      Reference<css::text::XText> body(shape, UNO_QUERY);
      if (!shape.is() || !body.is()) continue;
      OUString& into =
          shape->supportsService("com.sun.star.presentation.NotesShape") ? notesText : otherText;
      if (!into.isEmpty()) into += "\n";
      into += body->getString();
    }
    const OUString& joined = notesText.isEmpty() ? otherText : notesText;
    *notes = ToU16(joined);
    return true;
  });
  *text = *notes;
  return ok;
}

bool CImpressLink::SetPointer(bool visible, double x, double y) {
  return Run([visible, x, y](Uno& u) {
    Reference<css::presentation::XSlideShowController> c = u.Controller();
    if (!c.is()) return false;
    Reference<css::presentation::XSlideShow> show = c->getSlideShow();
    if (!show.is()) return false;
    css::beans::PropertyValue value;
    value.Name = "PointerVisible";
    value.Value <<= visible;
    bool ok = show->setProperty(value);
    if (visible) {
      value.Name = "PointerPosition";
      value.Value <<= css::geometry::RealPoint2D(x, y);
      ok = show->setProperty(value) && ok;
    }
    return ok;
  });
}

bool CImpressLink::SetPen(bool on, std::uint32_t rgb) {
  return Run([on, rgb](Uno& u) {
    Reference<css::presentation::XSlideShowController> c = u.Controller();
    if (!c.is()) return false;
    if (on) c->setPenColor(static_cast<sal_Int32>(rgb & 0xFFFFFF));
    c->setUsePen(on);
    return true;
  });
}

bool CImpressLink::EraseInk() {
  return Run([](Uno& u) {
    Reference<css::presentation::XSlideShowController> c = u.Controller();
    if (!c.is()) return false;
    // The show erases through its pen's drawing layer, which is there only
    // while the pen is on (the phone's erase comes after its stroke, with
    // the pen off again), and it leaves the erased ink on the screen until
    // the slide is drawn again: the slide is shown anew (its builds start
    // over, as when the presenter comes back to it).
    const bool penOn = c->getUsePen();
    if (!penOn) c->setUsePen(true);
    c->setEraseAllInk(true);
    if (!penOn) c->setUsePen(false);
    c->gotoSlideIndex(c->getCurrentSlideIndex());
    return true;
  });
}

// A full-screen show gets a frame of its own on the document, made when the
// show starts: the last of the document's frames.
Reference<css::frame::XFrame> CImpressLink::Uno::ShowFrame() {
  if (!Controller().is() || !desktop.is() || !document.is()) return {};
  Reference<css::frame::XFramesSupplier> frames(desktop, UNO_QUERY_THROW);
  Reference<css::container::XIndexAccess> all(frames->getFrames(), UNO_QUERY_THROW);
  Reference<css::frame::XFrame> show;
  for (sal_Int32 i = 0, n = all->getCount(); i < n; ++i) {
    Reference<css::frame::XFrame> frame(all->getByIndex(i), UNO_QUERY);
    if (!frame.is()) continue;
    Reference<css::frame::XController> c = frame->getController();
    if (c.is() && c->getModel() == document) show = frame;
  }
  return show;
}

bool CImpressLink::ShowWindow(std::uint64_t* xid) {
  auto found = std::make_shared<std::uint64_t>(0);
  bool ok = Run([found](Uno& u) {
    Reference<css::frame::XFrame> show = u.ShowFrame();
    if (!show.is()) return false;
    Reference<css::awt::XSystemDependentWindowPeer> peer(show->getContainerWindow(), UNO_QUERY);
    if (!peer.is()) return false;
    css::awt::SystemDependentXWindow window{};
    // The office does not check the process id it is given.
    if (!(peer->getWindowHandle(Sequence<sal_Int8>(16),
                                css::lang::SystemDependent::SYSTEM_XWINDOW) >>= window))
      return false;
    *found = static_cast<std::uint64_t>(window.WindowHandle);
    return *found != 0;
  });
  *xid = *found;
  return ok;
}

bool CImpressLink::ShowToFront() {
  return Run([](Uno& u) {
    Reference<css::frame::XFrame> show = u.ShowFrame();
    if (!show.is()) return false;
    Reference<css::awt::XTopWindow> top(show->getContainerWindow(), UNO_QUERY);
    if (!top.is()) return false;
    top->toFront();
    return true;
  });
}
