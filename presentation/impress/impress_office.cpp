// The office as the manager sees it: the desktop port over Impress's show
// (the show window, its area, input turned into Impress's pointer, pen and
// ink), the ports handed to the manager, the stand-in while no office
// answers, the watch for an office that appears later, and the terminal's
// line. The object model the manager walks is in impress_object_model.cpp.
#include "presentation/impress/impress_office.h"

#include "presentation/impress/impress_office_shared.h"

namespace {

// Apart from the small numbers a stand-in's desktop hands out.
constexpr WindowHandle kShowWindow = 0x494D5053;

std::int32_t EventId(ImpressEvent event) {
  switch (event) {
    case ImpressEvent::DocumentOpened:
      return EventPresentationOpen;
    case ImpressEvent::DocumentClosed:
      return EventPresentationClose;
    case ImpressEvent::ShowBegin:
      return EventSlideShowBegin;
    case ImpressEvent::SlideChanged:
      return EventSlideShowNextSlide;
    case ImpressEvent::ShowEnd:
      return EventSlideShowEnd;
  }
  return 0;
}

// Impress's show on the desktop; while no office answers, the stand-in's
// desktop answers instead.
class ImpressDesktop : public IDesktop {
 public:
  explicit ImpressDesktop(std::shared_ptr<CImpressOffice::Shared> shared)
      : shared_(std::move(shared)) {}

  WindowHandle FindTopWindow(WindowHandle after, const std::u16string& className) override {
    if (IDesktop* s = StandIn()) return s->FindTopWindow(after, className);
    if (after != 0 || className != u"paneClassDC") return 0;
    return shared_->link->IsShowRunning() ? kShowWindow : 0;
  }
  std::u16string WindowTitle(WindowHandle window, std::size_t maxChars) override {
    if (IDesktop* s = StandIn()) return s->WindowTitle(window, maxChars);
    return window == kShowWindow ? std::u16string(u"Impress").substr(0, maxChars ? maxChars - 1 : 0)
                                 : std::u16string();
  }
  std::uint32_t WindowStyle(WindowHandle window) override {
    if (IDesktop* s = StandIn()) return s->WindowStyle(window);
    return 0;
  }
  bool WindowRect(WindowHandle window, ScreenRect* rect) override {
    if (IDesktop* s = StandIn()) return s->WindowRect(window, rect);
    if (window != kShowWindow) return false;
    *rect = shared_->Area();
    return true;
  }
  bool IsMinimized(WindowHandle window) override {
    if (IDesktop* s = StandIn()) return s->IsMinimized(window);
    return false;
  }
  void ShowWindowCommand(WindowHandle window, int command) override {
    if (IDesktop* s = StandIn()) s->ShowWindowCommand(window, command);
  }
  // The manager brings the show window forward when it starts a show and
  // before each step, as on Windows; the office raises its own window.
  void SetForeground(WindowHandle window) override {
    if (IDesktop* s = StandIn()) {
      s->SetForeground(window);
    } else if (window == kShowWindow) {
      shared_->link->ShowToFront();
    }
  }
  void BringToTop(WindowHandle window) override {
    if (IDesktop* s = StandIn()) s->BringToTop(window);
  }
  void VirtualScreenSize(std::int32_t* width, std::int32_t* height) override {
    if (!shared_->standIn.desktop) {
      ScreenRect area = shared_->Area();
      *width = area.right;
      *height = area.bottom;
      return;
    }
    shared_->Screen(width, height);
  }
  std::uint32_t SendInputRecord(const InputRecord& record) override {
    if (IDesktop* s = StandIn()) return s->SendInputRecord(record);
    shared_->Input(record);
    return 1;
  }
  void SetCursorPosition(std::int32_t x, std::int32_t y) override {
    if (IDesktop* s = StandIn()) s->SetCursorPosition(x, y);
  }

 private:
  // The stand-in's desktop while no office is connected.
  IDesktop* StandIn() {
    IDesktop* s = shared_->standIn.desktop.get();
    return s && !shared_->link->IsConnected() ? s : nullptr;
  }

  std::shared_ptr<CImpressOffice::Shared> shared_;
};

}  // namespace

CImpressOffice::CImpressOffice(ImpressLinkOptions options)
    : link_(std::make_shared<CImpressLink>(std::move(options))),
      shared_(std::make_shared<Shared>(link_)) {
#if PIVARO_WITH_XTEST
  shared_->pen = std::make_unique<CX11Pen>();
#endif
  std::weak_ptr<Shared> weak = shared_;
  link_->SetEventHandler([weak](ImpressEvent event) {
    if (auto shared = weak.lock()) shared->Raise(EventId(event));
  });
}

CImpressOffice::~CImpressOffice() {
  {
    std::lock_guard<std::mutex> guard(watchLock_);
    stopping_ = true;
  }
  watchWake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
  link_->SetEventHandler(nullptr);
}

void CImpressOffice::SetStandIn(const PresentationPorts& standIn) { shared_->standIn = standIn; }

PresentationPorts CImpressOffice::Ports() const {
  PresentationPorts ports;
  ports.automation = impress_office::MakeAutomationFactory(shared_);
  ports.desktop = std::make_shared<ImpressDesktop>(shared_);
  ports.processes =
      shared_->standIn.processes ? shared_->standIn.processes : CreateSystemProcessList();
  ports.registry = shared_->standIn.registry;
  ports.tickCount = shared_->standIn.tickCount;
  ports.nativePointer = true;
  return ports;
}

std::string CImpressOffice::PenUnavailable() const {
#if PIVARO_WITH_XTEST
  return shared_->pen->Unavailable();
#else
  return "this build has no X Test support";
#endif
}

ImpressPointer CImpressOffice::Pointer() const {
  std::lock_guard<std::mutex> guard(shared_->lock);
  return shared_->pointer;
}

std::string CImpressOffice::Describe() {
  std::string text = "Impress: ";
  if (!link_->IsConnected()) {
    const std::string refusal = link_->Refusal();
    if (!refusal.empty()) return text + refusal;
    if (shared_->standIn.automation) return std::string();
    return text + "not running (no office on Pivaro's pipe)";
  }
  std::u16string title;
  if (!link_->FindPresentation(&title)) return text + "no presentation open";
  std::string utf8;
  for (char16_t c : title) {
    // Titles are file names; anything outside ASCII is shown as '?', which
    // the terminal can always draw.
    utf8 += c < 0x80 ? static_cast<char>(c) : '?';
  }
  text += utf8;
  std::int32_t index = 0, count = 0;
  if (link_->IsShowRunning() && link_->Position(&index, &count)) {
    text += ", show running, slide " + std::to_string(index + 1) + " of " + std::to_string(count);
    if (Pointer().pen) text += ", pen";
  } else {
    text += ", not showing";
  }
  return text;
}

void CImpressOffice::WatchForOffice(std::chrono::milliseconds interval) {
  if (watcher_.joinable()) return;
  watcher_ = std::thread([this, interval] {
    std::unique_lock<std::mutex> guard(watchLock_);
    while (!watchWake_.wait_for(guard, interval, [this] { return stopping_; })) {
      guard.unlock();
      if (!link_->IsConnected() && link_->Reconnect() && link_->FindPresentation(nullptr))
        shared_->Raise(EventPresentationOpen);
      guard.lock();
    }
  });
}
