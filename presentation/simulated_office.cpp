// SIMULATION of a presentation application (see simulated_office.h): its
// state, the presenter's actions and the application events they raise,
// the simulated class registrations and registry, and the machine that
// holds them. Not PowerPoint, not WPS. The automation objects and the
// members they answer are in simulated_object_model.cpp; both work on the
// state declared in simulated_office_impl.h.
#include "presentation/simulated_office.h"

#include <utility>

#include "presentation/powerpoint_mgr_impl.h"
#include "presentation/simulated_office_impl.h"

namespace {

using ObjectKind = CSimulatedPresentationApp::Impl::ObjectKind;

constexpr std::uint32_t kFrameStyle = 0x14CF0000;  // WS_OVERLAPPEDWINDOW | WS_VISIBLE | ...
constexpr std::uint32_t kShowStyle = 0x94000000;   // WS_POPUP | WS_VISIBLE, no minimise box

}  // namespace

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
  saved = true;
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

bool CSimulatedPresentationApp::EditSlide(std::int32_t index, std::u16string title) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (!impl_->open || index < 1 || index > std::int32_t(impl_->presentation.slides.size()))
    return false;
  impl_->presentation.slides[index - 1].title = std::move(title);
  impl_->saved = false;
  return true;
}

void CSimulatedPresentationApp::SetSaved(bool saved) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->saved = saved;
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

void CSimulatedPresentationApp::HoldExports(bool hold) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->holdExports = hold;
  impl_->exportsChanged.notify_all();
}

bool CSimulatedPresentationApp::WaitForHeldExport(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> guard(impl_->lock);
  return impl_->exportsChanged.wait_for(guard, limit, [&] { return impl_->heldExports > 0; });
}

std::uint64_t CSimulatedPresentationApp::ExportCount() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->exports;
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
  const struct {
    const char16_t* title;
    const char16_t* notes;
  } slides[] = {
      {u"Welcome", u"Welcome everyone."},
      {u"Agenda", u"Agenda: where we are, where we go."},
      {u"The quarter in numbers", u"The numbers of the quarter."},
      {u"", u""},
      {u"Questions", u"Questions?"},
  };
  for (const auto& s : slides) {
    SimulatedSlide slide;
    slide.title = s.title;
    slide.notes = s.notes;
    p.slides.push_back(std::move(slide));
  }
  return p;
}

SimulatedPresentation CSimulatedOffice::WideSamplePresentation() {
  SimulatedPresentation p = SamplePresentation();
  p.slideHeight = 405.0f;
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
