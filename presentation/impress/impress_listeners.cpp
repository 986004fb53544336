// The listeners the office calls on UNO's own threads: the bridge's end (the
// office died or was let go), the global document events (a presentation
// opened or closed, a show started or ended, whoever started it) and the
// running show's slide changes. Each one only raises the link's event or
// posts the work that needs the office to the link's worker: a listener
// that called back into the office from inside its callback could wait on
// the office's own lock. A listener holds the link weakly, so that one the
// office keeps after the link is gone does nothing.
#include <com/sun/star/document/DocumentEvent.hpp>
#include <cppuhelper/implbase1.hxx>

#include "presentation/impress/impress_uno.h"

namespace impress_uno {
namespace {

class BridgeWatch : public cppu::WeakImplHelper1<css::lang::XEventListener> {
 public:
  BridgeWatch(std::weak_ptr<CImpressLink::Uno> uno, std::uint32_t gen) : uno_(uno), gen_(gen) {}
  void SAL_CALL disposing(const css::lang::EventObject&) override {
    if (auto uno = uno_.lock()) uno->Lost(gen_);
  }

 private:
  std::weak_ptr<CImpressLink::Uno> uno_;
  const std::uint32_t gen_;
};

// Announces documents coming and going and shows started and ended, whether
// Pivaro or the presenter started them.
class DocumentWatch : public cppu::WeakImplHelper1<css::document::XDocumentEventListener> {
 public:
  explicit DocumentWatch(std::weak_ptr<CImpressLink::Uno> uno) : uno_(uno) {}
  void SAL_CALL documentEventOccured(const css::document::DocumentEvent& event) override {
    auto uno = uno_.lock();
    if (!uno) return;
    const OUString& name = event.EventName;
    if (name == "OnLoad" || name == "OnNew") {
      uno->Raise(ImpressEvent::DocumentOpened);
    } else if (name == "OnUnload") {
      uno->Raise(ImpressEvent::DocumentClosed);
    } else if (name == "OnStartPresentation") {
      // The controller may not be reachable until this event has returned
      // to the office; the listener is attached from our own thread.
      uno->Post([u = uno.get()] { u->AwaitShow(); });
    } else if (name == "OnEndPresentation") {
      if (uno->showRunning.exchange(false)) uno->Raise(ImpressEvent::ShowEnd);
      uno->Post([u = uno.get()] { u->ShowEnded(); });
    }
  }
  void SAL_CALL disposing(const css::lang::EventObject&) override {}

 private:
  std::weak_ptr<CImpressLink::Uno> uno_;
};

class ShowWatch : public cppu::WeakImplHelper1<css::presentation::XSlideShowListener> {
 public:
  explicit ShowWatch(std::weak_ptr<CImpressLink::Uno> uno) : uno_(uno) {}
  void SAL_CALL paused() override {}
  void SAL_CALL resumed() override {}
  void SAL_CALL slideTransitionStarted() override {
    if (auto uno = uno_.lock()) uno->Raise(ImpressEvent::SlideChanged);
  }
  void SAL_CALL slideTransitionEnded() override {}
  void SAL_CALL slideAnimationsEnded() override {}
  void SAL_CALL slideEnded(sal_Bool) override {}
  void SAL_CALL hyperLinkClicked(const OUString&) override {}
  void SAL_CALL beginEvent(const Reference<css::animations::XAnimationNode>&) override {}
  void SAL_CALL endEvent(const Reference<css::animations::XAnimationNode>&) override {}
  void SAL_CALL repeat(const Reference<css::animations::XAnimationNode>&, sal_Int32) override {}
  void SAL_CALL disposing(const css::lang::EventObject&) override {
    auto uno = uno_.lock();
    if (uno && uno->showRunning.exchange(false)) uno->Raise(ImpressEvent::ShowEnd);
  }

 private:
  std::weak_ptr<CImpressLink::Uno> uno_;
};

}  // namespace

Reference<css::lang::XEventListener> MakeBridgeWatch(std::weak_ptr<CImpressLink::Uno> uno,
                                                     std::uint32_t gen) {
  return new BridgeWatch(std::move(uno), gen);
}

Reference<css::document::XDocumentEventListener> MakeDocumentWatch(
    std::weak_ptr<CImpressLink::Uno> uno) {
  return new DocumentWatch(std::move(uno));
}

Reference<css::presentation::XSlideShowListener> MakeShowWatch(
    std::weak_ptr<CImpressLink::Uno> uno) {
  return new ShowWatch(std::move(uno));
}

}  // namespace impress_uno
