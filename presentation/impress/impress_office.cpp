#include "presentation/impress/impress_office.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "presentation/presentation_types.h"

namespace {

constexpr WindowHandle kShowWindow = 1;
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

  std::mutex lock;
  std::map<std::uint32_t, Connection> connections;
  std::uint32_t nextCookie = 1;
  ImpressPointer pointer;
  bool controlDown = false;
  bool pressed = false;

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

  // The show area on our desktop, from the slide's size.
  ScreenRect Area() {
    std::int32_t w = 0, h = 0;
    if (!link->SlideSize(&w, &h)) {
      w = 4;
      h = 3;
    }
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
    // Absolute input covers the virtual screen, which is the show area.
    const double x = record.dx / 65535.0;
    const double y = record.dy / 65535.0;
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
    if (!laser) return;  // pen strokes cannot be drawn from outside
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
  ImpressObject(std::shared_ptr<CImpressOffice::Shared> shared, Role role)
      : shared_(std::move(shared)), role_(role) {}

  HResult Invoke(const std::u16string& member, InvokeKind kind, const std::vector<AutoValue>& args,
                 AutoValue* result) override {
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
    std::lock_guard<std::mutex> guard(shared_->lock);
    *cookie = shared_->nextCookie++;
    shared_->connections[*cookie] = Connection{std::move(sink), CurrentApartment()};
    return kOk;
  }

  HResult Unadvise(const InterfaceId& iid, std::uint32_t cookie) override {
    if (role_ != Role::Application || iid != kApplicationEventsIid) return kNoInterface;
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->connections.erase(cookie) ? kOk : kNoConnection;
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
};

class ImpressFactory : public IAutomationFactory {
 public:
  explicit ImpressFactory(std::shared_ptr<CImpressOffice::Shared> shared)
      : shared_(std::move(shared)) {}
  HResult Create(const std::u16string& progId, AutomationPtr* application) override {
    if (progId != u"PowerPoint.Application") return kClassNotRegistered;
    *application = std::make_shared<ImpressObject>(shared_, Role::Application);
    return kOk;
  }

 private:
  std::shared_ptr<CImpressOffice::Shared> shared_;
};

class ImpressDesktop : public IDesktop {
 public:
  explicit ImpressDesktop(std::shared_ptr<CImpressOffice::Shared> shared)
      : shared_(std::move(shared)) {}

  WindowHandle FindTopWindow(WindowHandle after, const std::u16string& className) override {
    if (after != 0 || className != u"paneClassDC") return 0;
    return shared_->link->IsShowRunning() ? kShowWindow : 0;
  }
  std::u16string WindowTitle(WindowHandle window, std::size_t maxChars) override {
    return window == kShowWindow ? std::u16string(u"Impress").substr(0, maxChars ? maxChars - 1 : 0)
                                 : std::u16string();
  }
  std::uint32_t WindowStyle(WindowHandle) override { return 0; }
  bool WindowRect(WindowHandle window, ScreenRect* rect) override {
    if (window != kShowWindow) return false;
    *rect = shared_->Area();
    return true;
  }
  bool IsMinimized(WindowHandle) override { return false; }
  void ShowWindowCommand(WindowHandle, int) override {}
  void SetForeground(WindowHandle) override {}
  void BringToTop(WindowHandle) override {}
  void VirtualScreenSize(std::int32_t* width, std::int32_t* height) override {
    ScreenRect area = shared_->Area();
    *width = area.right;
    *height = area.bottom;
  }
  std::uint32_t SendInputRecord(const InputRecord& record) override {
    shared_->Input(record);
    return 1;
  }
  void SetCursorPosition(std::int32_t, std::int32_t) override {}

 private:
  std::shared_ptr<CImpressOffice::Shared> shared_;
};

}  // namespace

CImpressOffice::CImpressOffice(ImpressLinkOptions options)
    : link_(std::make_shared<CImpressLink>(std::move(options))),
      shared_(std::make_shared<Shared>(link_)) {
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

PresentationPorts CImpressOffice::Ports() const {
  PresentationPorts ports;
  ports.automation = std::make_shared<ImpressFactory>(shared_);
  ports.desktop = std::make_shared<ImpressDesktop>(shared_);
  ports.processes = CreateSystemProcessList();
  ports.nativePointer = true;
  return ports;
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
