// The link's core: its worker, the bounded call every operation goes
// through, what happens when a call overruns (the bridge is torn down, which
// makes the stuck call return, and the office counts as gone), the events
// handed to the owner, and the document Pivaro drives: found among the
// office's components (the current one first), opened from a path, named.
// No UNO exception leaves this file's calls; each is a failed call.
#include "presentation/impress/impress_link.h"

#include <unistd.h>

#include <algorithm>

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/configuration/theDefaultProvider.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XTitle.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XMultiServiceFactory.hpp>
#include <com/sun/star/presentation/XPresentationSupplier.hpp>
#include <osl/file.hxx>

#include "presentation/impress/impress_uno.h"

using namespace impress_uno;
using css::uno::Any;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

bool impress_uno::IsPresentation(const Reference<css::uno::XInterface>& component) {
  Reference<css::presentation::XPresentationSupplier> supplier(component, UNO_QUERY);
  return supplier.is();
}

void CImpressLink::Uno::Raise(ImpressEvent event) {
  std::function<void(ImpressEvent)> h;
  {
    std::lock_guard<std::mutex> guard(handlerLock);
    h = handler;
  }
  if (h) h(event);
}

void CImpressLink::Uno::Lost(std::uint32_t gen) {
  if (gen != generation.load()) return;
  if (!connected.exchange(false)) return;
  if (showRunning.exchange(false)) Raise(ImpressEvent::ShowEnd);
  Raise(ImpressEvent::DocumentClosed);
  Post([this] { ForgetOffice(); });
}

void CImpressLink::Uno::DisposeBridge() {
  Reference<css::lang::XComponent> b;
  {
    std::lock_guard<std::mutex> guard(bridgeLock);
    b = std::move(bridge);
  }
  if (!b.is()) return;
  try {
    b->dispose();
  } catch (const css::uno::Exception&) {
  }
}

void CImpressLink::Uno::ForgetOffice() {
  try {
    if (controller.is() && showListener.is()) controller->removeSlideShowListener(showListener);
  } catch (const css::uno::Exception&) {
  }
  try {
    if (broadcaster.is() && documentListener.is())
      broadcaster->removeDocumentEventListener(documentListener);
  } catch (const css::uno::Exception&) {
  }
  controller.clear();
  showListener.clear();
  document.clear();
  documentListener.clear();
  broadcaster.clear();
  desktop.clear();
  remote.clear();
  DisposeBridge();
}

Reference<css::frame::XModel> CImpressLink::Uno::FindDocument() {
  if (document.is()) {
    try {
      // A closed document answers with DisposedException.
      document->getURL();
      return document;
    } catch (const css::lang::DisposedException&) {
      document.clear();
      controller.clear();
    }
  }
  if (!desktop.is()) return {};
  Reference<css::lang::XComponent> current = desktop->getCurrentComponent();
  if (IsPresentation(current)) {
    document.set(current, UNO_QUERY);
    return document;
  }
  Reference<css::container::XEnumeration> all = desktop->getComponents()->createEnumeration();
  while (all.is() && all->hasMoreElements()) {
    Reference<css::uno::XInterface> component(all->nextElement(), UNO_QUERY);
    if (IsPresentation(component)) {
      document.set(component, UNO_QUERY);
      return document;
    }
  }
  return {};
}

Reference<css::presentation::XPresentation2> CImpressLink::Uno::Presentation() {
  Reference<css::presentation::XPresentationSupplier> supplier(FindDocument(), UNO_QUERY);
  if (!supplier.is()) return {};
  return Reference<css::presentation::XPresentation2>(supplier->getPresentation(), UNO_QUERY);
}

CImpressLink::CImpressLink(ImpressLinkOptions options)
    : uno_(std::make_shared<Uno>(std::move(options))) {
  // What the office held is let go on the worker's thread at its end; the
  // link's state lives as long as that thread, which a stuck call may keep
  // beyond the link.
  uno_->worker = std::make_unique<CBoundedWorker>([uno = uno_] { uno->ForgetOffice(); });
}

CImpressLink::~CImpressLink() {
  SetEventHandler(nullptr);
  // Our listeners leave the office while it answers; then the bridge goes,
  // so that nothing left on the thread can wait for a hung office.
  Run([](Uno& u) {
    u.ForgetOffice();
    return true;
  });
  uno_->DisposeBridge();
  // A call stuck in a hung office has had its bridge disposed and comes
  // back; should it not, the thread is left to end on its own.
  uno_->worker->Stop();
}

void CImpressLink::SetEventHandler(std::function<void(ImpressEvent)> handler) {
  std::lock_guard<std::mutex> guard(uno_->handlerLock);
  uno_->handler = std::move(handler);
}

bool CImpressLink::Run(const std::function<bool(Uno&)>& call, std::chrono::milliseconds limit) {
  if (limit.count() <= 0) limit = uno_->options.callLimit;
  bool result = false;
  const CBoundedWorker::Outcome outcome = uno_->worker->Run(
      [uno = uno_.get(), call] {
        try {
          return call(*uno);
        } catch (const css::uno::Exception&) {
          return false;
        }
      },
      limit, &result);
  if (outcome != CBoundedWorker::Outcome::Overran) return result;

  // The office does not answer: disposing the bridge releases the stuck
  // call, and the office is not looked for again for a while.
  {
    std::lock_guard<std::mutex> guard(uno_->infoLock);
    uno_->reconnectInterval =
        std::max<std::chrono::milliseconds>(uno_->reconnectInterval, kHungPause);
    uno_->nextReconnect = std::chrono::steady_clock::now() + uno_->reconnectInterval;
  }
  uno_->DisposeBridge();
  uno_->Lost(uno_->generation.load());
  return false;
}

bool CImpressLink::Open(const std::string& path) {
  return Run(
      [path](Uno& u) {
        if (!u.desktop.is()) return false;
        OUString url = ToOu(path);
        if (!url.startsWith("file:")) {
          OUString absolute = url;
          if (!url.startsWith("/")) {
            char cwd[4096];
            if (!getcwd(cwd, sizeof cwd)) return false;
            absolute = OUString::fromUtf8(cwd) + "/" + url;
          }
          if (osl::FileBase::getFileURLFromSystemPath(absolute, url) != osl::FileBase::E_None)
            return false;
        }
        Reference<css::frame::XComponentLoader> loader(u.desktop, UNO_QUERY_THROW);
        Reference<css::lang::XComponent> doc =
            loader->loadComponentFromURL(url, "_default", 0, Sequence<css::beans::PropertyValue>());
        if (!IsPresentation(doc)) return false;
        u.document.set(doc, UNO_QUERY);
        u.controller.clear();
        return true;
      },
      uno_->options.openLimit);
}

bool CImpressLink::FindPresentation(std::u16string* title) {
  auto result = std::make_shared<std::u16string>();
  bool ok = Run([result](Uno& u) {
    Reference<css::frame::XModel> doc = u.FindDocument();
    if (!doc.is()) return false;
    Reference<css::frame::XTitle> named(doc, UNO_QUERY);
    if (named.is()) *result = ToU16(named->getTitle());
    return true;
  });
  if (title) *title = *result;
  return ok;
}
std::u16string CImpressLink::Version() {
  auto version = std::make_shared<std::u16string>();
  Run([version](Uno& u) {
    if (!u.remote.is()) return false;
    Reference<css::lang::XMultiServiceFactory> provider =
        css::configuration::theDefaultProvider::get(u.remote);
    css::beans::PropertyValue path;
    path.Name = "nodepath";
    path.Value <<= OUString("/org.openoffice.Setup/Product");
    Sequence<Any> args(1);
    args.getArray()[0] <<= path;
    Reference<css::container::XNameAccess> product(
        provider->createInstanceWithArguments("com.sun.star.configuration.ConfigurationAccess",
                                              args),
        UNO_QUERY_THROW);
    OUString text;
    product->getByName("ooSetupVersionAboutBox") >>= text;
    *version = ToU16(text);
    return true;
  });
  return *version;
}
