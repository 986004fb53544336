// SIMULATION of a presentation application's object model (see
// simulated_office.h). Not PowerPoint, not WPS: just enough behaviour to
// answer the members the back-end uses, and the events a presenter's
// actions would raise.
#include "presentation/simulated_office.h"

#include "presentation/powerpoint_mgr_impl.h"

#include <thread>
#include <utility>

namespace {

constexpr HResult kDisconnected = static_cast<HResult>(0x80010108);  // RPC_E_DISCONNECTED
constexpr HResult kInvalidArg = static_cast<HResult>(0x80070057);    // E_INVALIDARG
constexpr std::int32_t kWindowNormal = 1;
constexpr std::int32_t kWindowMaximized = 3;
constexpr std::uint32_t kFrameStyle = 0x14CF0000;  // WS_OVERLAPPEDWINDOW | WS_VISIBLE | ...
constexpr std::uint32_t kShowStyle = 0x94000000;   // WS_POPUP | WS_VISIBLE, no minimise box

enum class ObjectKind {
  Application,
  Presentation,
  Settings,
  ShowWindow,
  View,
  Master,
  Slide,
  NotesPage,
  Shapes,
  Placeholders,
  Shape,
  TextFrame,
  TextRange,
  DocumentWindow,
};

}  // namespace

struct CSimulatedPresentationApp::Impl {
  struct Connection {
    std::uint32_t cookie;
    std::shared_ptr<IAutomationEventSink> sink;
    std::shared_ptr<IApartment> apartment;  // null: deliver on the raising thread
  };
  struct Event {
    std::int32_t id;
    std::vector<AutoValue> reversedArgs;
  };

  SimulatedAppKind kind;
  std::weak_ptr<CSimulatedPresentationApp> self;
  std::shared_ptr<CSimulatedDesktop> desktop;
  std::u16string version;

  mutable std::mutex lock;
  bool open = false;
  SimulatedPresentation presentation;
  std::uint64_t presentationGeneration = 0;
  bool showRunning = false;
  std::uint64_t showGeneration = 0;
  std::int32_t currentSlide = 0;
  std::int32_t pointerType = 0;
  bool visible = true;
  bool maximized = true;
  bool hasShowRect = false;
  ScreenRect showRect;
  WindowHandle documentWindow = 0;
  WindowHandle showWindow = 0;
  std::chrono::microseconds latency{0};
  std::map<std::u16string, HResult> failures;
  std::uint64_t invocations = 0;
  std::vector<Connection> connections;
  std::uint32_t nextCookie = 1;
  std::vector<Event> pending;  // raised under the lock, sent after it

  bool IsPowerPoint() const { return kind == SimulatedAppKind::PowerPointLike; }

  AutomationPtr MakeObject(ObjectKind objectKind, std::uint64_t generation = 0,
                           std::int32_t slide = 0, std::int32_t placeholder = 0);
  AutoValue Obj(ObjectKind k, std::uint64_t generation = 0, std::int32_t slide = 0,
                std::int32_t placeholder = 0) {
    return AutoValue::Object(MakeObject(k, generation, slide, placeholder));
  }

  void Raise(std::int32_t id, std::vector<AutoValue> reversedArgs) {
    pending.push_back({id, std::move(reversedArgs)});
  }

  // Sends the events raised so far; called without the lock, since sinks
  // call back into the object model.
  void Flush();

  // State changes, with the lock held.
  void OpenLocked(SimulatedPresentation p);
  void CloseLocked();
  bool StartShowLocked();
  bool EndShowLocked();
  bool GoToLocked(std::int32_t slide, bool announce);
  bool NextLocked();
  bool PreviousLocked();

  HResult Invoke(ObjectKind objectKind, std::uint64_t generation, std::int32_t slide,
                 std::int32_t placeholder, const std::u16string& member, InvokeKind kind,
                 const std::vector<AutoValue>& args, AutoValue* result);
  HResult InvokeLocked(ObjectKind objectKind, std::uint64_t generation, std::int32_t slide,
                       std::int32_t placeholder, const std::u16string& member,
                       InvokeKind invokeKind, const std::vector<AutoValue>& args,
                       AutoValue* result);
};

namespace {

class SimulatedObject : public IAutomationObject {
 public:
  SimulatedObject(std::weak_ptr<CSimulatedPresentationApp> app, ObjectKind kind,
                  std::uint64_t generation, std::int32_t slide, std::int32_t placeholder)
      : app_(std::move(app)),
        kind_(kind),
        generation_(generation),
        slide_(slide),
        placeholder_(placeholder) {}

  HResult Invoke(const std::u16string& member, InvokeKind kind, const std::vector<AutoValue>& args,
                 AutoValue* result) override {
    auto app = app_.lock();
    if (!app) return kDisconnected;
    return app->impl().Invoke(kind_, generation_, slide_, placeholder_, member, kind, args, result);
  }

  HResult Advise(const InterfaceId& iid, std::shared_ptr<IAutomationEventSink> sink,
                 std::uint32_t* cookie) override {
    auto app = app_.lock();
    if (!app) return kDisconnected;
    if (kind_ != ObjectKind::Application || iid != kApplicationEventsIid) return kNoInterface;
    if (!sink) return kPointer;
    auto& impl = app->impl();
    std::lock_guard<std::mutex> guard(impl.lock);
    CSimulatedPresentationApp::Impl::Connection connection;
    connection.cookie = impl.nextCookie++;
    connection.sink = std::move(sink);
    // Like COM, events go to the advising thread's apartment.
    connection.apartment = CurrentApartment();
    impl.connections.push_back(connection);
    *cookie = connection.cookie;
    return kOk;
  }

  HResult Unadvise(const InterfaceId& iid, std::uint32_t cookie) override {
    auto app = app_.lock();
    if (!app) return kDisconnected;
    if (kind_ != ObjectKind::Application || iid != kApplicationEventsIid) return kNoInterface;
    auto& impl = app->impl();
    std::lock_guard<std::mutex> guard(impl.lock);
    for (auto it = impl.connections.begin(); it != impl.connections.end(); ++it) {
      if (it->cookie == cookie) {
        impl.connections.erase(it);
        return kOk;
      }
    }
    return kNoConnection;
  }

 private:
  std::weak_ptr<CSimulatedPresentationApp> app_;
  ObjectKind kind_;
  std::uint64_t generation_;
  std::int32_t slide_;
  std::int32_t placeholder_;
};

}  // namespace

AutomationPtr CSimulatedPresentationApp::Impl::MakeObject(ObjectKind objectKind,
                                                          std::uint64_t generation,
                                                          std::int32_t slide,
                                                          std::int32_t placeholder) {
  return std::make_shared<SimulatedObject>(self, objectKind, generation, slide, placeholder);
}

void CSimulatedPresentationApp::Impl::Flush() {
  std::vector<Event> events;
  std::vector<Connection> targets;
  {
    std::lock_guard<std::mutex> guard(lock);
    events.swap(pending);
    targets = connections;
  }
  for (Event& event : events) {
    for (const Connection& c : targets) {
      if (c.apartment) {
        auto sink = c.sink;
        auto call = [sink, event] { sink->Invoke(event.id, event.reversedArgs); };
        c.apartment->Deliver(call);  // dropped when that worker has ended
      } else {
        c.sink->Invoke(event.id, event.reversedArgs);
      }
    }
  }
}

void CSimulatedPresentationApp::Impl::OpenLocked(SimulatedPresentation p) {
  if (open) CloseLocked();
  open = true;
  presentation = std::move(p);
  ++presentationGeneration;
  std::int32_t width = 0, height = 0;
  desktop->VirtualScreenSize(&width, &height);
  documentWindow =
      desktop->AddWindow(IsPowerPoint() ? u"PPTFrameClass" : u"QWidget",
                         presentation.name + (IsPowerPoint() ? u" - PowerPoint" : u" - WPS演示"),
                         kFrameStyle, ScreenRect{0, 0, width, height});
  auto pres = Obj(ObjectKind::Presentation, presentationGeneration);
  Raise(EventPresentationOpen, {pres});
  Raise(EventWindowActivate, {Obj(ObjectKind::DocumentWindow, presentationGeneration), pres});
}

void CSimulatedPresentationApp::Impl::CloseLocked() {
  if (!open) return;
  if (showRunning) EndShowLocked();
  auto pres = Obj(ObjectKind::Presentation, presentationGeneration);
  Raise(EventPresentationBeforeClose, {AutoValue::Bool(false), pres});
  Raise(EventPresentationClose, {pres});
  open = false;
  ++presentationGeneration;
  presentation = SimulatedPresentation();
  desktop->RemoveWindow(documentWindow);
  documentWindow = 0;
}

bool CSimulatedPresentationApp::Impl::StartShowLocked() {
  if (!open || showRunning) return false;
  showRunning = true;
  ++showGeneration;
  currentSlide = presentation.slides.empty() ? 0 : 1;
  pointerType = 0;
  ScreenRect rect = showRect;
  if (!hasShowRect) {
    std::int32_t width = 0, height = 0;
    desktop->VirtualScreenSize(&width, &height);
    rect = ScreenRect{0, 0, width, height};
  }
  showWindow = desktop->AddWindow(
      IsPowerPoint() ? u"screenClass" : u"QWidget",
      IsPowerPoint() ? u"PowerPoint Slide Show - " + presentation.name : u"WPS演示 幻灯片放映",
      kShowStyle, rect);
  desktop->SetForeground(showWindow);
  auto window = Obj(ObjectKind::ShowWindow, showGeneration);
  Raise(EventSlideShowBegin, {window});
  if (currentSlide) Raise(EventSlideShowNextSlide, {window});
  return true;
}

bool CSimulatedPresentationApp::Impl::EndShowLocked() {
  if (!showRunning) return false;
  showRunning = false;
  ++showGeneration;
  currentSlide = 0;
  desktop->RemoveWindow(showWindow);
  showWindow = 0;
  Raise(EventSlideShowEnd, {Obj(ObjectKind::Presentation, presentationGeneration)});
  return true;
}

bool CSimulatedPresentationApp::Impl::GoToLocked(std::int32_t slide, bool announce) {
  if (!showRunning || slide < 1 || slide > std::int32_t(presentation.slides.size())) return false;
  if (slide == currentSlide) return true;
  currentSlide = slide;
  if (announce) Raise(EventSlideShowNextSlide, {Obj(ObjectKind::ShowWindow, showGeneration)});
  return true;
}

bool CSimulatedPresentationApp::Impl::NextLocked() {
  if (!showRunning) return false;
  // Past the last slide the show ends.
  if (currentSlide >= std::int32_t(presentation.slides.size())) return EndShowLocked();
  return GoToLocked(currentSlide + 1, true);
}

bool CSimulatedPresentationApp::Impl::PreviousLocked() {
  if (!showRunning) return false;
  if (currentSlide <= 1) return true;
  // The WPS-like application, as WPS does, announces no change for this step.
  return GoToLocked(currentSlide - 1, IsPowerPoint());
}

HResult CSimulatedPresentationApp::Impl::Invoke(ObjectKind objectKind, std::uint64_t generation,
                                                std::int32_t slide, std::int32_t placeholder,
                                                const std::u16string& member, InvokeKind kind,
                                                const std::vector<AutoValue>& args,
                                                AutoValue* result) {
  std::chrono::microseconds delay;
  {
    std::lock_guard<std::mutex> guard(lock);
    ++invocations;
    delay = latency;
  }
  // The cost of a cross-process call.
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  HResult hr;
  {
    std::lock_guard<std::mutex> guard(lock);
    auto failure = failures.find(member);
    if (failure != failures.end()) {
      hr = failure->second;
    } else {
      hr = InvokeLocked(objectKind, generation, slide, placeholder, member, kind, args, result);
    }
  }
  Flush();
  return hr;
}

HResult CSimulatedPresentationApp::Impl::InvokeLocked(
    ObjectKind objectKind, std::uint64_t generation, std::int32_t slide, std::int32_t placeholder,
    const std::u16string& member, InvokeKind invokeKind, const std::vector<AutoValue>& args,
    AutoValue* result) {
  const bool get = invokeKind == InvokeKind::PropertyGet;
  const bool method = invokeKind == InvokeKind::Method;
  const bool put = invokeKind == InvokeKind::PropertyPut;
  if ((get || method) && !args.empty() && member != u"Item") return kBadParamCount;
  if (put && args.size() != 1) return kBadParamCount;

  // Objects of a closed presentation or an ended show are dead.
  const bool presentationAlive = open && generation == presentationGeneration;
  const bool showAlive = showRunning && generation == showGeneration;
  auto number = [](double value) { return AutoValue::Float(static_cast<float>(value)); };
  auto notesOf = [&](std::int32_t index) -> const SimulatedSlide* {
    if (index < 1 || index > std::int32_t(presentation.slides.size())) return nullptr;
    return &presentation.slides[index - 1];
  };

  switch (objectKind) {
    case ObjectKind::Application:
      if (get && member == u"ActivePresentation") {
        if (!open) return kFail;
        *result = Obj(ObjectKind::Presentation, presentationGeneration);
        return kOk;
      }
      if (get && member == u"Version") {
        *result = AutoValue::Text(version);
        return kOk;
      }
      if (get && member == u"Visible") {
        *result = AutoValue::Bool(visible);
        return kOk;
      }
      if (put && member == u"Visible") {
        if (args[0].kind != AutoValue::Kind::Bool) return kTypeMismatch;
        visible = args[0].boolValue;
        return kOk;
      }
      break;
    case ObjectKind::Presentation:
      if (!presentationAlive) return kFail;
      if (get && member == u"SlideShowSettings") {
        *result = Obj(ObjectKind::Settings, generation);
        return kOk;
      }
      if (get && member == u"SlideShowWindow") {
        if (!showRunning) return kFail;
        *result = Obj(ObjectKind::ShowWindow, showGeneration);
        return kOk;
      }
      if (get && member == u"SlideMaster") {
        *result = Obj(ObjectKind::Master, generation);
        return kOk;
      }
      if (get && member == u"Name") {
        *result = AutoValue::Text(presentation.name);
        return kOk;
      }
      break;
    case ObjectKind::Master:
      if (!presentationAlive) return kFail;
      if (get && member == u"Width") return *result = number(presentation.slideWidth), kOk;
      if (get && member == u"Height") return *result = number(presentation.slideHeight), kOk;
      break;
    case ObjectKind::Settings:
      if (!presentationAlive) return kFail;
      if (method && member == u"Run") {
        StartShowLocked();
        return kOk;
      }
      break;
    case ObjectKind::ShowWindow:
      if (!showAlive) return kFail;
      if (get && member == u"View") {
        *result = Obj(ObjectKind::View, generation);
        return kOk;
      }
      if (get && (member == u"Width" || member == u"Height")) {
        ScreenRect rect;
        if (!desktop->WindowRect(showWindow, &rect)) return kFail;
        // Points at 96 dots per inch.
        double pixels = member == u"Width" ? rect.right - rect.left : rect.bottom - rect.top;
        *result = number(pixels * 0.75);
        return kOk;
      }
      break;
    case ObjectKind::View:
      if (!showAlive) return kFail;
      if (method && member == u"Exit") return EndShowLocked(), kOk;
      if (method && member == u"Next") return NextLocked(), kOk;
      if (method && member == u"Previous") return PreviousLocked(), kOk;
      if (method && member == u"First") return GoToLocked(1, true), kOk;
      if (method && member == u"Last")
        return GoToLocked(std::int32_t(presentation.slides.size()), true), kOk;
      if (put && member == u"PointerType") {
        if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
        if (pointerType != args[0].intValue) Raise(kSimulatedPointerChanged, {});
        pointerType = args[0].intValue;
        return kOk;
      }
      if (get && member == u"PointerType") return *result = AutoValue::Int32(pointerType), kOk;
      if (get && member == u"Slide") {
        if (!notesOf(currentSlide)) return kFail;
        *result = Obj(ObjectKind::Slide, presentationGeneration, currentSlide);
        return kOk;
      }
      break;
    case ObjectKind::Slide:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"NotesPage")
        return *result = Obj(ObjectKind::NotesPage, generation, slide), kOk;
      if (get && member == u"SlideIndex") return *result = AutoValue::Int32(slide), kOk;
      break;
    case ObjectKind::NotesPage:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"Shapes")
        return *result = Obj(ObjectKind::Shapes, generation, slide), kOk;
      break;
    case ObjectKind::Shapes:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"Placeholders")
        return *result = Obj(ObjectKind::Placeholders, generation, slide), kOk;
      break;
    case ObjectKind::Placeholders:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (method && member == u"Item") {
        if (args.size() != 1) return kBadParamCount;
        if (args[0].kind != AutoValue::Kind::Int32) return kTypeMismatch;
        // 1 is the slide image, 2 the notes body.
        std::int32_t index = args[0].intValue;
        if (index != 1 && !(index == 2 && notesOf(slide)->hasNotesPlaceholder)) return kInvalidArg;
        *result = Obj(ObjectKind::Shape, generation, slide, index);
        return kOk;
      }
      break;
    case ObjectKind::Shape:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"TextFrame")
        return *result = Obj(ObjectKind::TextFrame, generation, slide, placeholder), kOk;
      break;
    case ObjectKind::TextFrame:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"TextRange")
        return *result = Obj(ObjectKind::TextRange, generation, slide, placeholder), kOk;
      break;
    case ObjectKind::TextRange:
      if (!presentationAlive || !notesOf(slide)) return kFail;
      if (get && member == u"Text") {
        *result = AutoValue::Text(placeholder == 2 ? notesOf(slide)->notes : u"");
        return kOk;
      }
      break;
    case ObjectKind::DocumentWindow:
      if (!presentationAlive) return kFail;
      if (get && member == u"WindowState")
        return *result = AutoValue::Int32(maximized ? kWindowMaximized : kWindowNormal), kOk;
      break;
  }
  return kMemberNotFound;
}

CSimulatedPresentationApp::CSimulatedPresentationApp(SimulatedAppKind kind,
                                                     std::shared_ptr<CSimulatedDesktop> desktop,
                                                     std::u16string version)
    : kind_(kind), impl_(std::make_unique<Impl>()) {
  impl_->kind = kind;
  impl_->desktop = desktop ? std::move(desktop) : std::make_shared<CSimulatedDesktop>();
  impl_->version = std::move(version);
}

CSimulatedPresentationApp::~CSimulatedPresentationApp() {
  if (impl_->documentWindow) impl_->desktop->RemoveWindow(impl_->documentWindow);
  if (impl_->showWindow) impl_->desktop->RemoveWindow(impl_->showWindow);
}

namespace {

// A presenter's action: change the state under the lock, then send the
// events it raised.
template <typename Change>
auto Act(CSimulatedPresentationApp::Impl& impl, std::weak_ptr<CSimulatedPresentationApp> self,
         Change change) {
  std::unique_lock<std::mutex> guard(impl.lock);
  if (impl.self.expired()) impl.self = std::move(self);
  auto result = change();
  guard.unlock();
  impl.Flush();
  return result;
}

}  // namespace

void CSimulatedPresentationApp::OpenPresentation(SimulatedPresentation presentation) {
  Act(*impl_, weak_from_this(), [&] {
    impl_->OpenLocked(std::move(presentation));
    return true;
  });
}

void CSimulatedPresentationApp::ClosePresentation() {
  Act(*impl_, weak_from_this(), [&] {
    impl_->CloseLocked();
    return true;
  });
}

bool CSimulatedPresentationApp::StartShow() {
  return Act(*impl_, weak_from_this(), [&] { return impl_->StartShowLocked(); });
}

bool CSimulatedPresentationApp::EndShow() {
  return Act(*impl_, weak_from_this(), [&] { return impl_->EndShowLocked(); });
}

bool CSimulatedPresentationApp::NextSlide() {
  return Act(*impl_, weak_from_this(), [&] { return impl_->NextLocked(); });
}

bool CSimulatedPresentationApp::PreviousSlide() {
  return Act(*impl_, weak_from_this(), [&] { return impl_->PreviousLocked(); });
}

bool CSimulatedPresentationApp::GoToSlide(std::int32_t index) {
  return Act(*impl_, weak_from_this(), [&] { return impl_->GoToLocked(index, true); });
}

void CSimulatedPresentationApp::ActivateWindow(bool maximized) {
  Act(*impl_, weak_from_this(), [&] {
    if (!impl_->open) return false;
    impl_->maximized = maximized;
    const auto generation = impl_->presentationGeneration;
    impl_->Raise(EventWindowActivate, {impl_->Obj(ObjectKind::DocumentWindow, generation),
                                       impl_->Obj(ObjectKind::Presentation, generation)});
    return true;
  });
}

SimulatedAppState CSimulatedPresentationApp::Snapshot() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  SimulatedAppState state;
  state.presentationOpen = impl_->open;
  state.showRunning = impl_->showRunning;
  state.currentSlide = impl_->currentSlide;
  state.slideCount = std::int32_t(impl_->presentation.slides.size());
  state.pointerType = impl_->pointerType;
  state.presentationName = impl_->presentation.name;
  if (impl_->currentSlide >= 1 && impl_->currentSlide <= state.slideCount)
    state.currentNotes = impl_->presentation.slides[impl_->currentSlide - 1].notes;
  return state;
}

void CSimulatedPresentationApp::SetCallLatency(std::chrono::microseconds latency) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->latency = latency;
}

void CSimulatedPresentationApp::FailMember(const std::u16string& member, HResult hr) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (hr == kOk) {
    impl_->failures.erase(member);
  } else {
    impl_->failures[member] = hr;
  }
}

void CSimulatedPresentationApp::SetShowWindowRect(const ScreenRect& rect) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->hasShowRect = true;
  impl_->showRect = rect;
}

std::uint64_t CSimulatedPresentationApp::InvocationCount() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->invocations;
}

bool CSimulatedPresentationApp::Visible() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->visible;
}

std::size_t CSimulatedPresentationApp::AdvisedSinks() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->connections.size();
}

AutomationPtr CSimulatedPresentationApp::CreateApplicationObject() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->self.expired()) impl_->self = weak_from_this();
  return impl_->MakeObject(ObjectKind::Application);
}

void CSimulatedAutomationFactory::Register(const std::u16string& progId,
                                           std::shared_ptr<CSimulatedPresentationApp> app) {
  std::lock_guard<std::mutex> guard(lock_);
  apps_[progId] = std::move(app);
}

void CSimulatedAutomationFactory::Unregister(const std::u16string& progId) {
  std::lock_guard<std::mutex> guard(lock_);
  apps_.erase(progId);
}

HResult CSimulatedAutomationFactory::Create(const std::u16string& progId,
                                            AutomationPtr* application) {
  application->reset();
  std::shared_ptr<CSimulatedPresentationApp> app;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = apps_.find(progId);
    if (it == apps_.end()) return kInvalidProgId;
    app = it->second;
  }
  *application = app->CreateApplicationObject();
  return kOk;
}

void CSimulatedRegistry::SetUserString(const std::u16string& key, const std::u16string& name,
                                       const std::u16string& value) {
  std::lock_guard<std::mutex> guard(lock_);
  values_[key + u'\n' + name] = value;
}

void CSimulatedRegistry::RemoveUserString(const std::u16string& key, const std::u16string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  values_.erase(key + u'\n' + name);
}

bool CSimulatedRegistry::ReadUserString(const std::u16string& key, const std::u16string& name,
                                        std::size_t bufferBytes, std::u16string* value) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = values_.find(key + u'\n' + name);
  if (it == values_.end()) return false;
  // RegQueryValueExW: the text and its terminator must fit the buffer.
  if ((it->second.size() + 1) * sizeof(char16_t) > bufferBytes) return false;
  *value = it->second;
  return true;
}

CSimulatedOffice::CSimulatedOffice()
    : desktop(std::make_shared<CSimulatedDesktop>()),
      registry(std::make_shared<CSimulatedRegistry>()),
      factory(std::make_shared<CSimulatedAutomationFactory>()) {}

std::shared_ptr<CSimulatedPresentationApp> CSimulatedOffice::InstallPowerPoint(
    std::u16string version) {
  auto app = std::make_shared<CSimulatedPresentationApp>(SimulatedAppKind::PowerPointLike, desktop,
                                                         std::move(version));
  factory->Register(u"PowerPoint.Application", app);
  return app;
}

std::shared_ptr<CSimulatedPresentationApp> CSimulatedOffice::InstallWps(std::u16string progId,
                                                                        std::u16string version) {
  auto app =
      std::make_shared<CSimulatedPresentationApp>(SimulatedAppKind::WpsLike, desktop, version);
  factory->Register(progId, app);
  registry->SetUserString(CPowerPointMgrImpl::kWpsVersionKey, u"Version", version);
  return app;
}

PresentationPorts CSimulatedOffice::Ports(std::shared_ptr<IProcessList> processes) const {
  PresentationPorts ports;
  ports.automation = factory;
  ports.desktop = desktop;
  ports.registry = registry;
  ports.processes = processes ? std::move(processes) : CreateSystemProcessList();
  return ports;
}

SimulatedPresentation CSimulatedOffice::SamplePresentation() {
  SimulatedPresentation p;
  p.name = u"Sample";
  p.slides = {{u"Welcome everyone."},
              {u"Agenda: where we are, where we go."},
              {u"The numbers of the quarter."},
              {u""},
              {u"Questions?"}};
  return p;
}

namespace {

struct DefaultMachine {
  CSimulatedOffice office;
  std::shared_ptr<CSimulatedPresentationApp> app;
};

DefaultMachine& Machine() {
  // Lives as long as the process: sinks and workers may outlive statics.
  static DefaultMachine* machine = [] {
    auto* m = new DefaultMachine();
    m->app = m->office.InstallPowerPoint(u"16.0");
    return m;
  }();
  return *machine;
}

}  // namespace

CSimulatedOffice& DefaultSimulation() { return Machine().office; }

std::shared_ptr<CSimulatedPresentationApp> DefaultSimulatedApp() { return Machine().app; }
