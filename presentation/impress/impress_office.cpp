#include "presentation/impress/impress_office.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "presentation/presentation_types.h"
#if PIVARO_WITH_XTEST
#include "presentation/impress/x11_pen.h"
#endif

namespace {

// Apart from the small numbers a stand-in's desktop hands out.
constexpr WindowHandle kShowWindow = 0x494D5053;
// The desktop's show area: the slide's proportions with its longer side this
// many units, fine enough for a pointer.
constexpr std::int32_t kAreaLongSide = 10000;
constexpr std::uint32_t kPenColour = 0xFF0000;
constexpr std::int32_t kNotesBodyPlaceholder = 2;
constexpr double kPointsPerHundredthMm = 72.0 / 2540.0;

enum class Role {
  Application,
  Presentation,
  Settings,
  ShowWindow,
  View,
  Slide,
  NotesPage,
  Shapes,
  Placeholders,
  NotesBody,
  TextFrame,
  TextRange,
  Master,
};

struct Child {
  Role parent;
  const char16_t* member;
  Role child;
};

// The object chains the manager walks; each step is only a name, the work
// is done at the ends (ActivePresentation, the view's methods, the text).
constexpr Child kChildren[] = {
    {Role::Presentation, u"SlideShowSettings", Role::Settings},
    {Role::Presentation, u"SlideMaster", Role::Master},
    {Role::ShowWindow, u"View", Role::View},
    {Role::View, u"Slide", Role::Slide},
    {Role::Slide, u"NotesPage", Role::NotesPage},
    {Role::NotesPage, u"Shapes", Role::Shapes},
    {Role::Shapes, u"Placeholders", Role::Placeholders},
    {Role::NotesBody, u"TextFrame", Role::TextFrame},
    {Role::TextFrame, u"TextRange", Role::TextRange},
};

struct Connection {
  std::shared_ptr<IAutomationEventSink> sink;
  std::shared_ptr<IApartment> apartment;  // null: delivered on UNO's thread
  AutomationPtr standIn;                  // advised there too, with standInCookie
  std::uint32_t standInCookie = 0;
};

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

}  // namespace

struct CImpressOffice::Shared {
  explicit Shared(std::shared_ptr<CImpressLink> l) : link(std::move(l)) {}

  std::shared_ptr<CImpressLink> link;
  // What stands in while no office answers; set before the ports are
  // handed out, read-only after.
  PresentationPorts standIn;

  std::mutex lock;
  std::map<std::uint32_t, Connection> connections;
  std::uint32_t nextCookie = 1;
  ImpressPointer pointer;
  bool controlDown = false;
  bool pressed = false;
#if PIVARO_WITH_XTEST
  // Used on the manager's worker only, which is where input comes from.
  std::unique_ptr<CX11Pen> pen;
#endif

  void Raise(std::int32_t eventId) {
    std::vector<Connection> targets;
    {
      std::lock_guard<std::mutex> guard(lock);
      for (auto& entry : connections) targets.push_back(entry.second);
    }
    for (Connection& c : targets) {
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
    *width = kAreaLongSide;
    *height = kAreaLongSide;
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
        rect.right = kAreaLongSide;
        rect.bottom = static_cast<std::int32_t>(std::int64_t{kAreaLongSide} * h / w);
      } else {
        rect.bottom = kAreaLongSide;
        rect.right = static_cast<std::int32_t>(std::int64_t{kAreaLongSide} * w / h);
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

namespace {

class ImpressObject : public IAutomationObject {
 public:
  ImpressObject(std::shared_ptr<CImpressOffice::Shared> shared, Role role,
                AutomationPtr standIn = nullptr)
      : shared_(std::move(shared)), role_(role), standIn_(std::move(standIn)) {}

  HResult Invoke(const std::u16string& member, InvokeKind kind, const std::vector<AutoValue>& args,
                 AutoValue* result) override {
    // While no office answers, the stand-in is the application; what it
    // hands out is its own, so only the application needs this.
    if (standIn_ && !shared_->Impress()) return standIn_->Invoke(member, kind, args, result);
    if (result) *result = AutoValue();
    CImpressLink& link = *shared_->link;
    if (kind == InvokeKind::PropertyGet) {
      for (const Child& c : kChildren) {
        if (c.parent == role_ && member == c.member) return Make(c.child, result);
      }
    }
    switch (role_) {
      case Role::Application:
        if (member == u"ActivePresentation") {
          // Where the office went away, this is where it is found again.
          if (!link.IsConnected()) link.Reconnect();
          if (!link.FindPresentation(nullptr)) return kFail;
          return Make(Role::Presentation, result);
        }
        if (member == u"Version") {
          std::u16string version = link.Version();
          if (version.empty()) return kFail;
          if (result) *result = AutoValue::Text(std::move(version));
          return kOk;
        }
        // The presenter's own Impress stays as it is.
        if (member == u"Visible" && kind == InvokeKind::PropertyPut) return kOk;
        break;
      case Role::Presentation:
        if (member == u"SlideShowWindow") {
          if (!link.IsShowRunning()) return kFail;
          return Make(Role::ShowWindow, result);
        }
        break;
      case Role::Settings:
        if (member == u"Run") return link.StartShow() ? kOk : kFail;
        break;
      case Role::View:
        if (member == u"Next") return Done(link.Step(ImpressStep::Next));
        if (member == u"Previous") return Done(link.Step(ImpressStep::Previous));
        if (member == u"First") return Done(link.Step(ImpressStep::First));
        if (member == u"Last") return Done(link.Step(ImpressStep::Last));
        if (member == u"Exit") return Done(link.EndShow());
        if (member == u"PointerType" && kind == InvokeKind::PropertyPut)
          return PutPointerType(args);
        break;
      case Role::Placeholders:
        if (member == u"Item") {
          if (args.size() != 1) return kBadParamCount;
          if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
          if (args[0].intValue != kNotesBodyPlaceholder) return kFail;
          return Make(Role::NotesBody, result);
        }
        break;
      case Role::TextRange:
        if (member == u"Text") {
          std::u16string text;
          if (!link.ReadNotes(&text)) return kFail;
          if (result) *result = AutoValue::Text(std::move(text));
          return kOk;
        }
        break;
      case Role::Master:
        if (member == u"Width" || member == u"Height") {
          std::int32_t w = 0, h = 0;
          if (!link.SlideSize(&w, &h)) return kFail;
          const double points = (member == u"Width" ? w : h) * kPointsPerHundredthMm;
          if (result) *result = AutoValue::Float(static_cast<float>(points));
          return kOk;
        }
        break;
      default:
        break;
    }
    return kUnknownName;
  }

  HResult Advise(const InterfaceId& iid, std::shared_ptr<IAutomationEventSink> sink,
                 std::uint32_t* cookie) override {
    if (role_ != Role::Application || iid != kApplicationEventsIid) return kNoInterface;
    if (!sink || !cookie) return kPointer;
    Connection connection;
    connection.sink = sink;
    connection.apartment = CurrentApartment();
    // Both applications' events reach the sink: each says what changed on
    // its side, and the manager reads the state from whichever answers.
    if (standIn_ && Succeeded(standIn_->Advise(iid, sink, &connection.standInCookie)))
      connection.standIn = standIn_;
    std::lock_guard<std::mutex> guard(shared_->lock);
    *cookie = shared_->nextCookie++;
    shared_->connections[*cookie] = std::move(connection);
    return kOk;
  }

  HResult Unadvise(const InterfaceId& iid, std::uint32_t cookie) override {
    if (role_ != Role::Application || iid != kApplicationEventsIid) return kNoInterface;
    Connection connection;
    {
      std::lock_guard<std::mutex> guard(shared_->lock);
      auto found = shared_->connections.find(cookie);
      if (found == shared_->connections.end()) return kNoConnection;
      connection = std::move(found->second);
      shared_->connections.erase(found);
    }
    if (connection.standIn) connection.standIn->Unadvise(iid, connection.standInCookie);
    return kOk;
  }

 private:
  HResult Make(Role role, AutoValue* result) {
    if (result) *result = AutoValue::Object(std::make_shared<ImpressObject>(shared_, role));
    return kOk;
  }
  static HResult Done(bool ok) { return ok ? kOk : kFail; }

  HResult PutPointerType(const std::vector<AutoValue>& args) {
    if (args.size() != 1) return kBadParamCount;
    if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
    const bool pen = args[0].intValue == 2;
    if (!shared_->link->SetPen(pen, kPenColour)) return kFail;
    std::lock_guard<std::mutex> guard(shared_->lock);
    shared_->pointer.pen = pen;
    return kOk;
  }

  std::shared_ptr<CImpressOffice::Shared> shared_;
  const Role role_;
  const AutomationPtr standIn_;
};

class ImpressFactory : public IAutomationFactory {
 public:
  explicit ImpressFactory(std::shared_ptr<CImpressOffice::Shared> shared)
      : shared_(std::move(shared)) {}
  HResult Create(const std::u16string& progId, AutomationPtr* application) override {
    IAutomationFactory* standIn = shared_->standIn.automation.get();
    if (progId != u"PowerPoint.Application")
      return standIn ? standIn->Create(progId, application) : kClassNotRegistered;
    AutomationPtr standInApp;
    if (standIn && !Succeeded(standIn->Create(progId, &standInApp))) standInApp.reset();
    *application = std::make_shared<ImpressObject>(shared_, Role::Application, standInApp);
    return kOk;
  }

 private:
  std::shared_ptr<CImpressOffice::Shared> shared_;
};

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
  ports.automation = std::make_shared<ImpressFactory>(shared_);
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
