#include "presentation/powerpoint_mgr.h"

#include <utility>

namespace {

constexpr int kCommandPriority = 2;
constexpr int kNotesPriority = 1;
constexpr int kLowestPriority = 0;
constexpr std::uint32_t kMoveStalenessMs = 100;

PresentationPorts WithClock(PresentationPorts ports) {
  if (!ports.tickCount) ports.tickCount = SystemTickCount;
  return ports;
}

}  // namespace

CPowerPointMgr::CPowerPointMgr() : CPowerPointMgr(DefaultPresentationPorts()) {}

CPowerPointMgr::CPowerPointMgr(PresentationPorts ports, CTaskQueue::WaitCheck waitCheck,
                               CSlideExporter::Limits exportLimits)
    : ports_(WithClock(std::move(ports))),
      powerPoint_(PowerPoint, ports_),
      wps_(Wps, ports_),
      exporter_(
          ports_.automation,
          [this](const SlideImage& image) {
            std::lock_guard<std::mutex> guard(notifyLock_);
            if (notify_) notify_->OnSlideImage(image);
          },
          exportLimits),
      queue_(std::move(waitCheck)) {
  PostCommand(&CPowerPointMgr::StartUpTask);
}

CPowerPointMgr::~CPowerPointMgr() {
  PostCommand(&CPowerPointMgr::ShutDownTask);
  // queue_ is destroyed first (declared last): its worker runs everything
  // queued, the shut-down task included, before the back-ends go.
}

void CPowerPointMgr::SetNotify(IPowerPointMgrNotify* notify) {
  std::lock_guard<std::mutex> guard(notifyLock_);
  notify_ = notify;
}

struct CPowerPointMgr::PendingMove {
  double x = 0;
  double y = 0;
  std::uint32_t tick = 0;
  bool taken = false;  // the worker has read it
};

bool CPowerPointMgr::PostCommand(void (CPowerPointMgr::*routine)(), int priority) {
  return queue_.Post([this, routine] { (this->*routine)(); }, priority);
}

bool CPowerPointMgr::PostBounded(std::function<void()> task) {
  // Counted before it is queued and uncounted when it has run, so the count
  // never falls below what waits.
  if (waitingCommands_.fetch_add(1) >= kMaxWaitingCommands) {
    --waitingCommands_;
    return false;
  }
  {
    // Whatever follows a move in the queue ends its coalescing.
    std::lock_guard<std::mutex> guard(moveLock_);
    lastMove_.reset();
  }
  bool posted = queue_.Post(
      [this, task = std::move(task)] {
        --waitingCommands_;
        task();
      },
      kCommandPriority);
  if (!posted) --waitingCommands_;
  return posted;
}

void CPowerPointMgr::StartShow() {
  PostBounded([this] { DoStartShow(); });
}
void CPowerPointMgr::ExitShow() {
  PostBounded([this] { DoExitShow(); });
}
void CPowerPointMgr::NextSlide() {
  PostBounded([this] { DoNextSlide(); });
}
void CPowerPointMgr::PreviousSlide() {
  PostBounded([this] { DoPreviousSlide(); });
}
void CPowerPointMgr::FirstSlide() {
  PostBounded([this] { DoFirstSlide(); });
}
void CPowerPointMgr::LastSlide() {
  PostBounded([this] { DoLastSlide(); });
}
void CPowerPointMgr::GotoSlide(std::int32_t index) {
  if (index >= 1) PostBounded([this, index] { DoGotoSlide(index); });
}

void CPowerPointMgr::RequestSlideImage(const std::string& revision, std::int32_t index,
                                       std::int32_t width) {
  // Straight to the exporter, which has its own thread and bound; the
  // worker's part (the deck to export from, the slide changes) is set there
  // at every position.
  exporter_.Request(revision, index, width);
}
void CPowerPointMgr::PointerUp() {
  PostBounded([this] { DoPointerUp(); });
}
void CPowerPointMgr::EraseInk() {
  PostBounded([this] { DoEraseInk(); });
}
void CPowerPointMgr::QueryState() {
  PostBounded([this] { DoQueryState(); });
}

void CPowerPointMgr::PointerDown(PointerType type, double x, double y) {
  PostBounded([this, type, x, y] { DoPointerDown(type, x, y); });
}

void CPowerPointMgr::PointerMove(double x, double y) {
  const std::uint32_t tick = ports_.tickCount();
  std::lock_guard<std::mutex> guard(moveLock_);
  if (lastMove_ && !lastMove_->taken) {
    lastMove_->x = x;
    lastMove_->y = y;
    lastMove_->tick = tick;
    return;
  }
  auto move = std::make_shared<PendingMove>();
  move->x = x;
  move->y = y;
  move->tick = tick;
  bool posted = queue_.Post(
      [this, move] {
        double mx, my;
        std::uint32_t mtick;
        {
          std::lock_guard<std::mutex> hold(moveLock_);
          move->taken = true;
          mx = move->x;
          my = move->y;
          mtick = move->tick;
        }
        DoPointerMove(mx, my, mtick);
      },
      kCommandPriority);
  if (posted) lastMove_ = std::move(move);
}

void CPowerPointMgr::RequestNotes() {
  const std::int32_t sequence = ++notesSequence_;
  queue_.Post([this, sequence] { DoRequestNotes(sequence); }, kNotesPriority);
}

void CPowerPointMgr::RequestVersion(PowerPointType type) {
  PostBounded([this, type] { DoRequestVersion(type); });
}

bool CPowerPointMgr::IsShowRunning() const {
  return powerPoint_.ShowRunning() || wps_.ShowRunning();
}

bool CPowerPointMgr::IsShowRunning(PowerPointType type) const {
  return type == Wps ? wps_.ShowRunning() : powerPoint_.ShowRunning();
}

bool CPowerPointMgr::HasNativeLaser() const {
  return powerPoint_.ShowRunning() && (ports_.nativePointer || powerPoint_.VersionNumber() > 13);
}

ScreenRect CPowerPointMgr::GetShowRect() const {
  if (powerPoint_.ShowRunning()) return powerPoint_.SlideRect();
  if (wps_.ShowRunning()) return wps_.SlideRect();
  return ScreenRect();
}

bool CPowerPointMgr::HasUserStartedWpp() {
  return ports_.processes && ::HasUserStartedWpp(*ports_.processes);
}

WindowHandle CPowerPointMgr::FindShowWindow(PowerPointType type) {
  return ports_.desktop ? CPowerPointMgrImpl::FindShowWindow(*ports_.desktop, type) : 0;
}

void CPowerPointMgr::OnPowerPointEvent(CPowerPointMgrImpl* backend, std::int32_t eventId) {
  const bool moved = eventId == EventSlideShowBegin || eventId == EventSlideShowNextSlide ||
                     eventId == EventSlideShowEnd;
  if (eventId == EventSlideShowNextSlide) ++slideChanges_;
  SlidePosition position;
  if (moved) position = ReadPosition();
  std::lock_guard<std::mutex> guard(notifyLock_);
  if (!notify_) return;
  // The position first, so that what the event makes the controller send
  // already has the new slide.
  if (moved) notify_->OnSlidePosition(position);
  notify_->OnPresentationEvent(backend->Type(), eventId);
}

SlidePosition CPowerPointMgr::ReadPosition() {
  CPowerPointMgrImpl* source = nullptr;
  for (CPowerPointMgrImpl* backend : {&powerPoint_, &wps_}) {
    if (backend->HasView()) {
      source = backend;
      break;
    }
  }
  for (CPowerPointMgrImpl* backend : {&powerPoint_, &wps_}) {
    if (!source && backend->HasPresentation()) source = backend;
  }
  SlidePosition position;
  if (source) source->ReadPosition(slideChanges_, &position);
  exporter_.SetTarget(source ? source->ProgId() : std::u16string(), slideChanges_);
  return position;
}

// ---- worker routines ----

void CPowerPointMgr::StartUpTask() {
  if (ports_.automation) ports_.automation->EnterApartment();
  powerPoint_.Attach();
  powerPoint_.SetHandler(this);
  wps_.Attach();
  wps_.SetHandler(this);
  ReadPosition();  // the exporter's deck, before the first state query
}

void CPowerPointMgr::ShutDownTask() {
  for (CPowerPointMgrImpl* backend : {&powerPoint_, &wps_}) {
    backend->UnadviseSink();
    backend->ReleaseObjects();
  }
  if (ports_.automation) ports_.automation->LeaveApartment();
}

CPowerPointMgrImpl* CPowerPointMgr::FirstWithActiveShow() {
  if (powerPoint_.IsShowActive()) return &powerPoint_;
  if (wps_.IsShowActive()) return &wps_;
  return nullptr;
}

void CPowerPointMgr::ReattachDropped() {
  powerPoint_.ReattachIfDropped();
  wps_.ReattachIfDropped();
}

void CPowerPointMgr::ComputeState(bool* appFound, bool* showRunning) {
  ReattachDropped();
  *appFound = powerPoint_.RefreshPresentation() || wps_.RefreshPresentation();
  *showRunning = powerPoint_.IsShowActive() || wps_.IsShowActive();
}

void CPowerPointMgr::ReportCommandFailed() {
  bool appFound = false, showRunning = false;
  ComputeState(&appFound, &showRunning);
  std::lock_guard<std::mutex> guard(notifyLock_);
  if (notify_) notify_->OnCommandFailed(appFound, showRunning);
}

void CPowerPointMgr::DoStartShow() {
  ReattachDropped();
  for (CPowerPointMgrImpl* backend : {&powerPoint_, &wps_}) {
    if (backend->RefreshPresentation()) {
      backend->RunShow();
      return;
    }
  }
  ReportCommandFailed();
}

HResult CPowerPointMgr::StepActiveShow(const std::function<HResult(CPowerPointMgrImpl*)>& step,
                                       CPowerPointMgrImpl** backend) {
  ReattachDropped();
  *backend = FirstWithActiveShow();
  if (!*backend) {
    ReportCommandFailed();
    return kFail;
  }
  return step(*backend);
}

void CPowerPointMgr::DoExitShow() {
  CPowerPointMgrImpl* backend;
  StepActiveShow(&CPowerPointMgrImpl::ExitShow, &backend);
}

void CPowerPointMgr::DoNextSlide() {
  CPowerPointMgrImpl* backend;
  StepActiveShow(&CPowerPointMgrImpl::NextSlide, &backend);
}

void CPowerPointMgr::DoPreviousSlide() {
  CPowerPointMgrImpl* backend;
  // WPS announces no slide change for this step; tell the controller
  // ourselves.
  if (Succeeded(StepActiveShow(&CPowerPointMgrImpl::PreviousSlide, &backend)) && backend == &wps_)
    OnPowerPointEvent(&wps_, EventSlideShowNextSlide);
}

void CPowerPointMgr::DoFirstSlide() {
  CPowerPointMgrImpl* backend;
  StepActiveShow(&CPowerPointMgrImpl::FirstSlide, &backend);
}

void CPowerPointMgr::DoLastSlide() {
  CPowerPointMgrImpl* backend;
  StepActiveShow(&CPowerPointMgrImpl::LastSlide, &backend);
}

void CPowerPointMgr::DoGotoSlide(std::int32_t index) {
  CPowerPointMgrImpl* backend;
  StepActiveShow([index](CPowerPointMgrImpl* b) { return b->GotoSlide(index); }, &backend);
}

void CPowerPointMgr::DoPointerDown(PointerType type, double x, double y) {
  if (!powerPoint_.IsShowActive()) return;
  powerPoint_.SetPointerType(type);
  powerPoint_.Press(x, y);
}

void CPowerPointMgr::DoPointerMove(double x, double y, std::uint32_t tick) {
  // Unsigned difference: correct across the tick counter's wrap.
  if (static_cast<std::uint32_t>(ports_.tickCount() - tick) > kMoveStalenessMs) return;
  if (!powerPoint_.ShowRunning()) return;
  powerPoint_.Move(x, y);
}

void CPowerPointMgr::DoPointerUp() {
  if (!powerPoint_.IsShowActive()) return;
  powerPoint_.Release();
  powerPoint_.SetPointerType(PointerNone);
}

void CPowerPointMgr::DoEraseInk() {
  if (powerPoint_.IsShowActive()) powerPoint_.PressEraseKey();
}

void CPowerPointMgr::DoQueryState() {
  bool appFound = false, showRunning = false;
  ComputeState(&appFound, &showRunning);
  const SlidePosition position = ReadPosition();
  std::lock_guard<std::mutex> guard(notifyLock_);
  if (!notify_) return;
  notify_->OnSlidePosition(position);
  notify_->OnState(appFound, showRunning);
}

void CPowerPointMgr::DoRequestNotes(std::int32_t sequence) {
  if (sequence < notesSequence_.load()) return;  // a newer request follows
  std::u16string text;
  if (powerPoint_.IsShowActive()) {
    powerPoint_.ReadNotes(&text);
  } else if (wps_.IsShowActive()) {
    wps_.ReadNotes(&text);
  }
  std::lock_guard<std::mutex> guard(notifyLock_);
  if (notify_) notify_->OnNotes(text);
}

void CPowerPointMgr::DoRequestVersion(PowerPointType type) {
  std::u16string version = (type == Wps ? wps_ : powerPoint_).ReadVersion();
  std::lock_guard<std::mutex> guard(notifyLock_);
  if (notify_) notify_->OnVersion(type, version);
}
