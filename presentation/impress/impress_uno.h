// The inside of CImpressLink, shared by the files that make it up: the
// office's launch and connection (impress_connect.cpp), the listeners UNO
// calls (impress_listeners.cpp), the show operations (impress_show.cpp), the
// slides and the document's state (impress_slides.cpp) and the link itself
// (impress_link.cpp). Everything the link shares between its callers, its
// worker thread and the listeners lives in CImpressLink::Uno; the remote
// references in it are touched only on the worker's thread, except `bridge`,
// which an overrun call disposes from the waiting side under bridgeLock.
// Not for use outside this folder.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <com/sun/star/document/XDocumentEventBroadcaster.hpp>
#include <com/sun/star/document/XDocumentEventListener.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <com/sun/star/presentation/XPresentation2.hpp>
#include <com/sun/star/presentation/XSlideShowController.hpp>
#include <com/sun/star/presentation/XSlideShowListener.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <rtl/ustring.hxx>

#include "presentation/impress/bounded_worker.h"
#include "presentation/impress/impress_link.h"

namespace impress_uno {

namespace css = com::sun::star;
using css::uno::Reference;
using rtl::OUString;

// Looking for an office again: as often as asked, down to 400 ms (below a
// watcher's half-second round), while that is cheap (no socket, a stale one,
// an office that says no at once); less often, up to every 16 s, while
// attempts run into the call limit (a hung office).
constexpr auto kReconnectInterval = std::chrono::milliseconds(400);
constexpr auto kReconnectIntervalMax = std::chrono::seconds(16);
// How long an office that just let a call overrun is left alone at least.
constexpr auto kHungPause = std::chrono::seconds(2);

inline OUString ToOu(const std::string& text) { return OUString::fromUtf8(text.c_str()); }
inline std::u16string ToU16(const OUString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.getStr()), text.getLength());
}

bool IsPresentation(const Reference<css::uno::XInterface>& component);

// The process's own UNO environment, which remote bridges are built in;
// null when the office's runtime cannot be started.
Reference<css::uno::XComponentContext> LocalContext();

}  // namespace impress_uno

struct CImpressLink::Uno : std::enable_shared_from_this<CImpressLink::Uno> {
  template <typename T>
  using Reference = com::sun::star::uno::Reference<T>;
  using XModel = com::sun::star::frame::XModel;
  using XSlideShowController = com::sun::star::presentation::XSlideShowController;

  explicit Uno(ImpressLinkOptions o) : options(std::move(o)) {}

  const ImpressLinkOptions options;
  // Set once by the link before its first call.
  std::unique_ptr<CBoundedWorker> worker;

  std::mutex handlerLock;
  std::function<void(ImpressEvent)> handler;

  std::atomic<bool> connected{false};
  std::atomic<bool> showRunning{false};
  std::atomic<pid_t> started{0};
  // The pipe of the office we started, why the last attempt left a pipe
  // alone, and when to look for an office again; under infoLock.
  mutable std::mutex infoLock;
  std::string startedPipe;
  std::string refusal;
  std::chrono::steady_clock::time_point nextReconnect{};
  std::chrono::milliseconds reconnectInterval{impress_uno::kReconnectInterval};
  // Increased by every bridge; a listener of an earlier one is ignored.
  std::atomic<std::uint32_t> generation{0};

  std::mutex bridgeLock;
  Reference<com::sun::star::lang::XComponent> bridge;

  Reference<com::sun::star::uno::XComponentContext> remote;
  Reference<com::sun::star::frame::XDesktop2> desktop;
  Reference<com::sun::star::document::XDocumentEventBroadcaster> broadcaster;
  Reference<com::sun::star::document::XDocumentEventListener> documentListener;
  Reference<XModel> document;
  Reference<XSlideShowController> controller;
  Reference<com::sun::star::presentation::XSlideShowListener> showListener;

  void Raise(ImpressEvent event);
  // The office went away or stopped answering: what it held is gone.
  void Lost(std::uint32_t gen);
  void Post(std::function<void()> job) { worker->Post(std::move(job)); }
  void DisposeBridge();
  // Drops every remote reference; on the worker's thread.
  void ForgetOffice();

  // impress_connect.cpp
  bool ConnectNow();
  bool ConnectTo(const std::string& pipeName);
  bool StartOffice();

  // impress_link.cpp
  Reference<XModel> FindDocument();
  Reference<com::sun::star::presentation::XPresentation2> Presentation();

  // impress_show.cpp
  Reference<XSlideShowController> Controller();
  Reference<com::sun::star::frame::XFrame> ShowFrame();
  void WatchShow();
  // The office announces a show, and answers start(), before its
  // controller is there: watched for a while, within half a call limit.
  void AwaitShow();
  void ShowEnded();
};

namespace impress_uno {

// impress_listeners.cpp: what UNO calls back on its own threads.
// The bridge of generation `gen` is gone.
Reference<css::lang::XEventListener> MakeBridgeWatch(std::weak_ptr<CImpressLink::Uno> uno,
                                                     std::uint32_t gen);
// Documents coming and going, shows started and ended.
Reference<css::document::XDocumentEventListener> MakeDocumentWatch(
    std::weak_ptr<CImpressLink::Uno> uno);
// Slide changes of a running show, and its end.
Reference<css::presentation::XSlideShowListener> MakeShowWatch(
    std::weak_ptr<CImpressLink::Uno> uno);

}  // namespace impress_uno
