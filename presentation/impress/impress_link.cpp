#include "presentation/impress/impress_link.h"

#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <com/sun/star/awt/SystemDependentXWindow.hpp>
#include <com/sun/star/awt/XSystemDependentWindowPeer.hpp>
#include <com/sun/star/awt/XTopWindow.hpp>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/configuration/theDefaultProvider.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/document/XDocumentEventBroadcaster.hpp>
#include <com/sun/star/document/XDocumentEventListener.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>
#include <com/sun/star/drawing/XShape.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XFrames.hpp>
#include <com/sun/star/frame/XFramesSupplier.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XTitle.hpp>
#include <com/sun/star/frame/theGlobalEventBroadcaster.hpp>
#include <com/sun/star/geometry/RealPoint2D.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/SystemDependent.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <com/sun/star/lang/XMultiServiceFactory.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/presentation/XPresentation2.hpp>
#include <com/sun/star/presentation/XPresentationPage.hpp>
#include <com/sun/star/presentation/XPresentationSupplier.hpp>
#include <com/sun/star/presentation/XSlideShow.hpp>
#include <com/sun/star/presentation/XSlideShowController.hpp>
#include <com/sun/star/presentation/XSlideShowListener.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>
#include <osl/file.hxx>
#include <rtl/bootstrap.hxx>
#include <rtl/ref.hxx>
#include <rtl/ustring.hxx>

#include "net/secure_random.h"

extern char** environ;

namespace css = com::sun::star;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

namespace {

// Looking for an office again: as often as asked, down to 400 ms (below a
// watcher's half-second round), while that is cheap (no socket, a stale one,
// an office that says no at once); less often, up to every 16 s, while
// attempts run into the call limit (a hung office).
constexpr auto kReconnectInterval = std::chrono::milliseconds(400);
constexpr auto kReconnectIntervalMax = std::chrono::seconds(16);
// How long an office that just let a call overrun is left alone at least.
constexpr auto kHungPause = std::chrono::seconds(2);
constexpr auto kHandOverLimit = std::chrono::seconds(5);
constexpr auto kShowPoll = std::chrono::milliseconds(50);
constexpr auto kStartPoll = std::chrono::milliseconds(250);

OUString ToOu(const std::string& text) { return OUString::fromUtf8(text.c_str()); }
std::u16string ToU16(const OUString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.getStr()), text.getLength());
}

// The process's own UNO environment, which the remote bridge is built in.
// Made once: the URE's bootstrap is not meant to run twice.
Reference<css::uno::XComponentContext> LocalContext() {
  static Reference<css::uno::XComponentContext> context = [] {
    setenv("URE_BOOTSTRAP", "vnd.sun.star.pathname:" PIVARO_LO_PROGRAM "/fundamentalrc", 0);
    try {
      return cppu::defaultBootstrap_InitialComponentContext();
    } catch (const css::uno::Exception&) {
      return Reference<css::uno::XComponentContext>();
    }
  }();
  return context;
}

// Finishes one call for the thread waiting on it.
struct Completion {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool result = false;

  void Finish(bool value) {
    {
      std::lock_guard<std::mutex> guard(lock);
      finished = true;
      result = value;
    }
    done.notify_all();
  }
  bool Wait(std::chrono::milliseconds limit, bool* value) {
    std::unique_lock<std::mutex> guard(lock);
    if (!done.wait_for(guard, limit, [this] { return finished; })) return false;
    *value = result;
    return true;
  }
};

// A pipe name nobody can guess: 128 bits from the system's secure source.
// Empty when that source fails; there is no weaker fallback.
std::string RandomPipeName() {
  unsigned char bytes[16];
  if (!SecureRandomBytes(bytes, sizeof bytes)) return std::string();
  std::string name = "pivaro-";
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char b : bytes) {
    name += kHex[b >> 4];
    name += kHex[b & 15];
  }
  return name;
}

// The program's path as exec finds it, looked up before fork: a child of a
// threaded process may only make async-signal-safe calls.
std::string FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string all = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= all.size();) {
    std::size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    std::string folder = all.substr(start, end - start);
    std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

std::string Octal(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "0%03o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::string DefaultImpressPipeName() { return "pivaro-" + std::to_string(getuid()); }

std::string ImpressPipeSocketPath(const std::string& pipeName) {
  // The office's own rule: /tmp when it may be written, else /var/tmp, else
  // the folder its bootstrap variable names; the user's number in the name
  // when the user has a password entry.
  std::string folder;
  if (access("/tmp", W_OK) == 0) {
    folder = "/tmp";
  } else if (access("/var/tmp", W_OK) == 0) {
    folder = "/var/tmp";
  } else {
    OUString configured;
    if (rtl::Bootstrap::get("OSL_SOCKET_PATH", configured))
      folder = OUStringToOString(configured, RTL_TEXTENCODING_UTF8).getStr();
  }
  std::string path = folder + "/OSL_PIPE_";
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
    path += std::to_string(found->pw_uid) + "_";
  return path + pipeName;
}

PipeSocketVerdict CheckPipeSocket(const std::string& path, uid_t uid, std::string* reason) {
  auto refuse = [reason](std::string why) {
    if (reason) *reason = std::move(why);
    return PipeSocketVerdict::Refused;
  };
  struct stat socketStat;
  if (lstat(path.c_str(), &socketStat) != 0) {
    if (errno == ENOENT) return PipeSocketVerdict::Absent;
    return refuse(std::string("it cannot be examined (") + std::strerror(errno) + ")");
  }
  if (S_ISLNK(socketStat.st_mode)) return refuse("it is a symbolic link");
  if (!S_ISSOCK(socketStat.st_mode)) return refuse("it is not a socket");
  if (socketStat.st_uid != uid)
    return refuse("it belongs to uid " + std::to_string(socketStat.st_uid) +
                  ", not to this user (uid " + std::to_string(uid) + ")");
  if (socketStat.st_mode & (S_IWGRP | S_IWOTH))
    return refuse("group or others may write to it (mode " + Octal(socketStat.st_mode) + ")");
  // Our socket stays ours only where no one else may rename or remove it:
  // a folder of ours or root's, open to others only with the sticky bit.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  struct stat folderStat;
  if (stat(folder.c_str(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode))
    return refuse("its folder " + folder + " cannot be examined");
  if (folderStat.st_uid != uid && folderStat.st_uid != 0)
    return refuse("its folder " + folder + " belongs to uid " + std::to_string(folderStat.st_uid));
  if ((folderStat.st_mode & (S_IWGRP | S_IWOTH)) && !(folderStat.st_mode & S_ISVTX))
    return refuse("others may replace it: its folder " + folder + " is writable by them (mode " +
                  Octal(folderStat.st_mode) + ")");
  return PipeSocketVerdict::Trusted;
}

// Everything the link shares between its caller, its UNO thread and the
// listeners that UNO calls. The references below the thread are touched only
// on the UNO thread, except `bridge`, which an overrun call disposes from
// the waiting side under bridgeLock.
struct CImpressLink::Uno : std::enable_shared_from_this<CImpressLink::Uno> {
  explicit Uno(ImpressLinkOptions o) : options(std::move(o)) {}

  const ImpressLinkOptions options;

  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  bool stopping = false;
  // A call overran its limit and has not come back yet.
  bool stuck = false;
  std::thread thread;

  std::mutex handlerLock;
  std::function<void(ImpressEvent)> handler;

  std::atomic<bool> connected{false};
  std::atomic<bool> showRunning{false};
  std::atomic<pid_t> started{0};
  // The pipe of the office we started, and why the last attempt left a
  // pipe alone; under infoLock.
  mutable std::mutex infoLock;
  std::string startedPipe;
  std::string refusal;
  // Increased by every bridge; a listener of an earlier one is ignored.
  std::atomic<std::uint32_t> generation{0};
  std::chrono::steady_clock::time_point nextReconnect{};
  std::chrono::milliseconds reconnectInterval{kReconnectInterval};

  std::mutex bridgeLock;
  Reference<css::lang::XComponent> bridge;

  Reference<css::uno::XComponentContext> remote;
  Reference<css::frame::XDesktop2> desktop;
  Reference<css::document::XDocumentEventBroadcaster> broadcaster;
  Reference<css::document::XDocumentEventListener> documentListener;
  Reference<css::frame::XModel> document;
  Reference<css::presentation::XSlideShowController> controller;
  Reference<css::presentation::XSlideShowListener> showListener;

  void Raise(ImpressEvent event) {
    std::function<void(ImpressEvent)> h;
    {
      std::lock_guard<std::mutex> guard(handlerLock);
      h = handler;
    }
    if (h) h(event);
  }

  // The office went away or stopped answering: what it held is gone.
  void Lost(std::uint32_t gen) {
    if (gen != generation.load()) return;
    if (!connected.exchange(false)) return;
    if (showRunning.exchange(false)) Raise(ImpressEvent::ShowEnd);
    Raise(ImpressEvent::DocumentClosed);
    Post([this] { ForgetOffice(); });
  }

  void Post(std::function<void()> job) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (stopping) return;
      jobs.push_back(std::move(job));
    }
    wake.notify_one();
  }

  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> guard(lock);
        wake.wait(guard, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty()) break;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      job();
    }
    ForgetOffice();
  }

  void DisposeBridge() {
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

  // Drops every remote reference; on the UNO thread.
  void ForgetOffice() {
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

  bool ConnectNow();
  bool ConnectTo(const std::string& pipeName);
  bool StartOffice();
  Reference<css::frame::XModel> FindDocument();
  Reference<css::presentation::XPresentation2> Presentation();
  Reference<css::presentation::XSlideShowController> Controller();
  Reference<css::frame::XFrame> ShowFrame();
  void WatchShow();
  // The office announces a show, and answers start(), before its
  // controller is there: watched for a while, within half a call limit.
  void AwaitShow() {
    const auto deadline = std::chrono::steady_clock::now() + options.callLimit / 2;
    for (;;) {
      WatchShow();
      if (showRunning.load() || std::chrono::steady_clock::now() >= deadline) return;
      std::this_thread::sleep_for(kShowPoll);
    }
  }
  void ShowEnded() {
    showListener.clear();
    controller.clear();
    if (showRunning.exchange(false)) Raise(ImpressEvent::ShowEnd);
  }
};

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

bool IsPresentation(const Reference<css::uno::XInterface>& component) {
  Reference<css::presentation::XPresentationSupplier> supplier(component, UNO_QUERY);
  return supplier.is();
}

}  // namespace

bool CImpressLink::Uno::ConnectNow() {
  // The bridge writes to the office's pipe with plain writes: an office
  // that dies mid-call would otherwise end this whole program with SIGPIPE
  // instead of failing the call.
  static const bool pipeSignalIgnored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  static_cast<void>(pipeSignalIgnored);
  if (connected.load()) return true;
  // The office we started, while it is there, else the presenter's own.
  std::vector<std::string> pipes;
  {
    std::lock_guard<std::mutex> guard(infoLock);
    if (!startedPipe.empty()) pipes.push_back(startedPipe);
  }
  pipes.push_back(options.pipeName);
  std::string refused;
  bool ok = false;
  for (const std::string& pipe : pipes) {
    // Nothing, not even the connection, reaches a socket that may be
    // someone else's: it would learn the deck's address and answer for it.
    const std::string path = ImpressPipeSocketPath(pipe);
    std::string reason;
    const PipeSocketVerdict verdict = CheckPipeSocket(path, getuid(), &reason);
    if (verdict == PipeSocketVerdict::Refused && refused.empty())
      refused = "refused the pipe " + path + ": " + reason;
    if (verdict == PipeSocketVerdict::Trusted && ConnectTo(pipe)) {
      ok = true;
      break;
    }
  }
  std::lock_guard<std::mutex> guard(infoLock);
  refusal = ok ? std::string() : refused;
  return ok;
}

bool CImpressLink::Uno::ConnectTo(const std::string& pipeName) {
  ForgetOffice();
  Reference<css::uno::XComponentContext> local = LocalContext();
  if (!local.is()) return false;
  try {
    OUString pipe = "pipe,name=" + ToOu(pipeName);
    Reference<css::connection::XConnection> connection =
        css::connection::Connector::create(local)->connect(pipe);
    Reference<css::bridge::XBridge> b =
        css::bridge::BridgeFactory::create(local)->createBridge("", "urp", connection, nullptr);
    Reference<css::lang::XComponent> component(b, UNO_QUERY_THROW);
    const std::uint32_t gen = ++generation;
    component->addEventListener(new BridgeWatch(weak_from_this(), gen));
    {
      std::lock_guard<std::mutex> guard(bridgeLock);
      bridge = component;
    }
    remote.set(b->getInstance("StarOffice.ComponentContext"), UNO_QUERY_THROW);
    desktop = css::frame::Desktop::create(remote);
    broadcaster.set(css::frame::theGlobalEventBroadcaster::get(remote), UNO_QUERY);
    if (broadcaster.is()) {
      documentListener = new DocumentWatch(weak_from_this());
      broadcaster->addDocumentEventListener(documentListener);
    }
    connected.store(true);
    // A show that already runs (Pivaro restarted, or the office found
    // again) is taken over.
    WatchShow();
    return true;
  } catch (const css::uno::Exception&) {
    ForgetOffice();
    return false;
  }
}

bool CImpressLink::Uno::StartOffice() {
  const std::string pipeName = RandomPipeName();
  const std::string program = FindProgram(options.officeProgram);
  if (pipeName.empty() || program.empty()) return false;
  std::vector<std::string> args = {
      options.officeProgram, "--accept=pipe,name=" + pipeName + ";urp;StarOffice.ComponentContext",
      "--norestore", "--nologo", "--nodefault"};
  if (!options.profileUrl.empty()) args.push_back("-env:UserInstallation=" + options.profileUrl);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Its own process group, so that the office and the launcher's children
    // can be ended together; a private umask, so that the pipe's socket and
    // whatever else the office makes in shared folders are the user's alone.
    setpgid(0, 0);
    umask(077);
    signal(SIGPIPE, SIG_DFL);
    execve(program.c_str(), argv.data(), environ);
    _exit(127);
  }
  setpgid(pid, pid);  // either side may get there first
  {
    std::lock_guard<std::mutex> guard(infoLock);
    startedPipe = pipeName;
  }
  started.store(pid);
  return true;
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
      showListener = new ShowWatch(weak_from_this());
      c->addSlideShowListener(showListener);
    }
    if (!showRunning.exchange(true)) Raise(ImpressEvent::ShowBegin);
  } catch (const css::uno::Exception&) {
  }
}

CImpressLink::CImpressLink(ImpressLinkOptions options)
    : uno_(std::make_shared<Uno>(std::move(options))) {
  uno_->thread = std::thread([uno = uno_] { uno->Loop(); });
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
  {
    std::lock_guard<std::mutex> guard(uno_->lock);
    uno_->stopping = true;
  }
  uno_->wake.notify_all();
  // A call stuck in a hung office has had its bridge disposed and comes
  // back; should it not, the thread is left to end on its own.
  bool stuck;
  {
    std::lock_guard<std::mutex> guard(uno_->lock);
    stuck = uno_->stuck;
  }
  if (stuck) {
    uno_->thread.detach();
  } else {
    uno_->thread.join();
  }
}

void CImpressLink::SetEventHandler(std::function<void(ImpressEvent)> handler) {
  std::lock_guard<std::mutex> guard(uno_->handlerLock);
  uno_->handler = std::move(handler);
}

bool CImpressLink::Run(const std::function<bool(Uno&)>& call, std::chrono::milliseconds limit) {
  if (limit.count() <= 0) limit = uno_->options.callLimit;
  auto completion = std::make_shared<Completion>();
  {
    std::lock_guard<std::mutex> guard(uno_->lock);
    if (uno_->stopping || uno_->stuck) return false;
    uno_->jobs.push_back([uno = uno_.get(), call, completion] {
      bool result = false;
      try {
        result = call(*uno);
      } catch (const css::uno::Exception&) {
        result = false;
      } catch (const std::exception&) {
        result = false;
      }
      // Finished before the flag is cleared: a waiter that gave up either
      // saw the call finished or set the flag that is cleared here.
      completion->Finish(result);
      std::lock_guard<std::mutex> guard(uno->lock);
      uno->stuck = false;
    });
  }
  uno_->wake.notify_one();
  bool result = false;
  if (completion->Wait(limit, &result)) return result;

  // The office does not answer: no later call may queue behind this one,
  // and disposing the bridge releases it.
  {
    std::lock_guard<std::mutex> guard(uno_->lock);
    std::lock_guard<std::mutex> done(completion->lock);
    if (!completion->finished) uno_->stuck = true;
    uno_->reconnectInterval =
        std::max<std::chrono::milliseconds>(uno_->reconnectInterval, kHungPause);
    uno_->nextReconnect = std::chrono::steady_clock::now() + uno_->reconnectInterval;
  }
  uno_->DisposeBridge();
  uno_->Lost(uno_->generation.load());
  return false;
}

bool CImpressLink::Connect(bool start) {
  if (Run([](Uno& u) { return u.ConnectNow(); })) return true;
  if (!start) return false;
  if (!Run([](Uno& u) { return u.StartOffice(); })) return false;
  auto deadline = std::chrono::steady_clock::now() + uno_->options.startLimit;
  bool launcherGone = false;
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kStartPoll);
    // A launcher that ended has either handed over to an office that was
    // already running, which then answers soon, or failed (no display, say):
    // it is not waited for the whole start limit.
    if (pid_t pid = uno_->started.load();
        pid && !launcherGone && waitpid(pid, nullptr, WNOHANG) == pid) {
      launcherGone = true;
      deadline = std::min(deadline, std::chrono::steady_clock::now() + kHandOverLimit);
    }
    if (Run([](Uno& u) { return u.ConnectNow(); })) return true;
  }
  return false;
}

bool CImpressLink::Reconnect() {
  if (IsConnected()) return true;
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> guard(uno_->lock);
    if (now < uno_->nextReconnect) return false;
    uno_->nextReconnect = now + uno_->reconnectInterval;
  }
  const bool ok = Connect(false);
  const bool costly = std::chrono::steady_clock::now() - now >= uno_->options.callLimit / 2;
  std::lock_guard<std::mutex> guard(uno_->lock);
  uno_->reconnectInterval =
      ok || !costly ? std::chrono::duration_cast<std::chrono::milliseconds>(kReconnectInterval)
                    : std::clamp<std::chrono::milliseconds>(uno_->reconnectInterval * 2, kHungPause,
                                                            kReconnectIntervalMax);
  return ok;
}

bool CImpressLink::IsConnected() const { return uno_->connected.load(); }

std::string CImpressLink::Refusal() const {
  std::lock_guard<std::mutex> guard(uno_->infoLock);
  return uno_->refusal;
}

std::string CImpressLink::PipeName() const {
  std::lock_guard<std::mutex> guard(uno_->infoLock);
  return uno_->startedPipe.empty() ? uno_->options.pipeName : uno_->startedPipe;
}

pid_t CImpressLink::StartedProcess() const { return uno_->started.load(); }

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

bool CImpressLink::SlideSize(std::int32_t* width, std::int32_t* height) {
  auto size = std::make_shared<std::pair<std::int32_t, std::int32_t>>(0, 0);
  bool ok = Run([size](Uno& u) {
    Reference<css::drawing::XDrawPagesSupplier> pages(u.FindDocument(), UNO_QUERY);
    if (!pages.is()) return false;
    Reference<css::container::XIndexAccess> all(pages->getDrawPages(), UNO_QUERY_THROW);
    if (all->getCount() < 1) return false;
    Reference<css::beans::XPropertySet> first(all->getByIndex(0), UNO_QUERY_THROW);
    first->getPropertyValue("Width") >>= size->first;
    first->getPropertyValue("Height") >>= size->second;
    return size->first > 0 && size->second > 0;
  });
  *width = size->first;
  *height = size->second;
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
    c->setEraseAllInk(true);
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
