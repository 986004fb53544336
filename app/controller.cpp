// The controller's states, the session lifecycle and the UI-thread queue.
// The phone's messages and the presentation answers are in
// command_protocol.cpp.
#include "app/controller.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "app/pairing_address.h"
#include "app/state_texts.h"
#include "net/browser_remote.h"

namespace {

SessionType OtherKind(SessionType kind) { return kind == Relay ? Direct : Relay; }

}  // namespace

class CMainController::SessionLink : public INetSessionNotify {
 public:
  SessionLink(CMainController* controller, INetSession* session)
      : controller_(controller), session_(session) {}

  void OnStarted(bool ok, std::int32_t cookie) override {
    if (controller_->Speaks(session_)) controller_->OnSessionStarted(session_, ok, cookie, true);
  }
  void OnStopped(bool ok, std::int32_t cookie) override {
    if (controller_->Speaks(session_)) controller_->OnStopped(ok, cookie);
  }
  void OnSent(bool ok, std::int32_t cookie) override {
    if (controller_->Speaks(session_)) controller_->OnSent(ok, cookie);
  }
  void OnNetworkLost() override {
    if (controller_->Speaks(session_)) controller_->OnNetworkLost();
  }
  void OnPeerLost() override {
    if (controller_->Speaks(session_)) controller_->OnPeerLost();
  }
  void OnMessage(SessionType from, JsonPtr& message) override {
    if (controller_->Speaks(session_)) controller_->OnMessage(from, message);
  }
  bool IsBacklogged() override { return controller_->IsBacklogged(); }

 private:
  CMainController* controller_;
  INetSession* session_;
};

CMainController::SessionRef& CMainController::SessionRef::operator=(SessionRef&& o) noexcept {
  if (this != &o) {
    ::Release(s_);
    s_ = o.s_;
    o.s_ = nullptr;
  }
  return *this;
}

CMainController::CMainController(Services services)
    : presentation_(std::move(services.presentation)),
      createSession_(std::move(services.createSession)),
      reports_(services.reports),
      serviceBaseUrl_(std::move(services.serviceBaseUrl)),
      tickCount_(std::move(services.tickCount)),
      primaryKind_(services.primaryKind) {
  // Picture requests go to the manager on whichever thread asks; the cache
  // is detached before the manager goes.
  slideImages_ = std::make_shared<CSlideImages>(
      [this](const std::string& revision, std::int32_t index, std::int32_t width) {
        presentation_->RequestSlideImage(revision, index, width);
      });
  presentation_->SetNotify(this);
  if (services.checkForUpdate) updateState_ = services.checkForUpdate();
}

CMainController::~CMainController() {
  // Sessions are detached before the manager goes, so that no session
  // thread reaches a manager that is being destroyed. The manager runs its
  // queued tasks on its way out; it is told to stop answering first, since
  // an answer reads presentation_ on the worker thread, which reset() nulls
  // before the manager is gone.
  INetSession* primary;
  INetSession* secondary;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    primary = primary_;
    secondary = secondary_;
  }
  if (primary) primary->SetNotify(nullptr);
  if (secondary) secondary->SetNotify(nullptr);
  presentation_->SetNotify(nullptr);
  // A session (and its server) may outlive the controller for a moment and
  // still ask for pictures: from now on they are answered unavailable.
  slideImages_->Detach();
  presentation_.reset();
  {
    std::lock_guard<std::recursive_mutex> lock(postedLock_);
    posted_.clear();  // dropped, not run
  }
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    primary_ = nullptr;
    secondary_ = nullptr;
    retiring_ = nullptr;
  }
  ::Release(secondary);
  ::Release(primary);
}

void CMainController::AttachUi(IUiThread* ui, IMainView* view) {
  std::lock_guard<std::recursive_mutex> lock(postedLock_);  // PostToUi reads ui_
  ui_ = ui;
  view_ = view;
}

std::uint32_t CMainController::Now() const {
  if (tickCount_) return tickCount_();
  using namespace std::chrono;
  return static_cast<std::uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

INetSession* CMainController::NewSession(SessionType type) {
  return createSession_ ? createSession_(type) : nullptr;
}

INetSessionNotify* CMainController::LinkOf(INetSession* session) {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  std::unique_ptr<SessionLink>& link = links_[session];
  if (!link) link = std::make_unique<SessionLink>(this, session);
  return link.get();
}

// Called once the session is detached, so no notification is using its link.
void CMainController::ForgetLink(INetSession* session) {
  if (!session) return;
  std::lock_guard<std::mutex> lock(fieldsLock_);
  links_.erase(session);
}

bool CMainController::Speaks(INetSession* session) const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return session != retiring_ && (session == primary_ || session == secondary_);
}

CMainController::SessionRef CMainController::Primary() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return SessionRef(primary_);
}

CMainController::SessionRef CMainController::Secondary() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return SessionRef(secondary_);
}

std::string CMainController::PairingAddress() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return pairingAddress_;
}

SessionType CMainController::PrimaryKind() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return primaryKind_;
}

std::string CMainController::BrowserAddress() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return browserAddress_;
}

void CMainController::RefreshBrowserAddress() {
  auto offered = [](const SessionRef& s) {
    auto* source = dynamic_cast<IBrowserRemoteSource*>(s.get());
    return source ? source->BrowserAddress() : std::string();
  };
  std::string address = offered(Primary());
  if (address.empty()) address = offered(Secondary());
  // A stopped direct session offers nothing for a while; the last address
  // stays on show until another one replaces it.
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    if (address.empty() || address == browserAddress_) return;
    browserAddress_ = address;
  }
  if (view_) view_->SetBrowserAddress(address);
}

bool CMainController::NotesWanted() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return notesWanted_;
}

bool CMainController::EverConnected() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return everConnected_;
}

// --- the UI-thread queue ---------------------------------------------------

void CMainController::PostToUi(std::function<void()> call) {
  std::lock_guard<std::recursive_mutex> lock(postedLock_);
  posted_.push_back(std::move(call));
  if (ui_) ui_->Wake();
}

void CMainController::RunPostedCalls() {
  // A call may re-create sessions, whose SetNotify waits for a session
  // thread that may itself be posting; holding the queue lock while the
  // call runs would deadlock them, so each call is taken out first.
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard<std::recursive_mutex> lock(postedLock_);
      if (posted_.empty()) return;
      call = std::move(posted_.front());
      posted_.pop_front();
    }
    call();
  }
}

void CMainController::PostState(State next) {
  lastPostedState_.store(next);
  PostToUi([this, next] { SetState(next); });
}

void CMainController::PostTimer(int id, unsigned ms) {
  PostToUi([this, id, ms] {
    if (ui_) ui_->SetTimer(id, ms);
  });
}

void CMainController::PostKillTimer(int id) {
  PostToUi([this, id] {
    if (ui_) ui_->KillTimer(id);
  });
}

void CMainController::PostHideLaser() {
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    laserMove_.reset();
  }
  PostToUi([this] {
    if (view_) view_->HideLaser();
  });
}

void CMainController::PostShowLaser(double x, double y) {
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    laserMove_.reset();
  }
  PostToUi([this, x, y] {
    if (view_) view_->ShowLaser(x, y);
  });
}

void CMainController::PostMoveLaser(double x, double y) {
  std::shared_ptr<LaserMove> move;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    if (laserMove_ && !laserMove_->drawn) {
      laserMove_->x = x;
      laserMove_->y = y;
      return;
    }
    laserMove_ = move = std::make_shared<LaserMove>();
    move->x = x;
    move->y = y;
  }
  PostToUi([this, move] {
    double mx, my;
    {
      std::lock_guard<std::mutex> lock(fieldsLock_);
      move->drawn = true;
      mx = move->x;
      my = move->y;
    }
    if (view_) view_->MoveLaser(mx, my);
  });
}

// --- states -----------------------------------------------------------------

void CMainController::InitWindow() {
  if (updateState_ == kUpdateRequired) {
    if (view_) view_->RunRequiredUpdate();
    return;
  }
  // The controls start out as in Connecting: the loading animation runs and
  // the QR view holds the still empty address.
  if (view_) {
    view_->SetPairingAddress(std::string());
    view_->ShowLoading(true);
    view_->SetLoadingAnimation(true);
  }
  animationRunning_ = true;
  connectingTick_.store(Now());
  RecreateSessions();
}

void CMainController::LeaveState(State s) {
  if (!view_) return;
  switch (s) {
    case Connecting:
      if (animationRunning_) {
        view_->SetLoadingAnimation(false);
        animationRunning_ = false;
      }
      view_->ShowLoading(false);
      break;
    case ConnectFailed:
      view_->ShowRetryText(false);
      break;
    case NetworkError:
      view_->ShowConnectButton(false);
      view_->ShowCancelText(false);
      break;
    case WaitingForPhone:
      view_->ShowQrCode(false);
      break;
    case Connected:
      view_->ShowConnectButton(false);
      view_->SetPhoneDescription(std::u16string());
      break;
  }
}

void CMainController::EnterState(State s) {
  switch (s) {
    case Connecting:
      if (view_) {
        if (!animationRunning_) {
          view_->SetLoadingAnimation(true);
          animationRunning_ = true;
        }
        view_->ShowLoading(true);
      }
      connectingTick_.store(Now());
      break;
    case ConnectFailed:
      if (view_) view_->ShowRetryText(true);
      break;
    case NetworkError:
      if (view_) {
        view_->SetConnectButtonText(kReconnectButton);
        view_->ShowConnectButton(true);
        view_->ShowCancelText(true);
      }
      break;
    case WaitingForPhone: {
      if (view_) view_->ShowQrCode(true);
      // The other transport is offered again (a greeting had stopped it).
      SessionRef secondary = Secondary();
      if (secondary) {
        StartSession(secondary.get());
        secondary->SetNotify(LinkOf(secondary.get()));
      }
      RefreshBrowserAddress();
      break;
    }
    case Connected:
      if (view_) {
        view_->SetConnectButtonText(kDisconnectButton);
        view_->ShowConnectButton(true);
      }
      break;
  }
}

void CMainController::SetState(State next) {
  State current = state_.load();
  if (next == current) return;
  LeaveState(current);
  EnterState(next);
  state_.store(next, std::memory_order_release);
  if (view_) view_->Invalidate();
  if (next == Connected) ShowPhone();
}

bool CMainController::RecreateSessions() {
  INetSession* oldPrimary;
  INetSession* oldSecondary;
  SessionType kind;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    oldPrimary = primary_;
    oldSecondary = secondary_;
    primary_ = secondary_ = retiring_ = nullptr;
    kind = primaryKind_;
    ++sessionsGeneration_;
    starts_.Reset();
  }
  if (ui_) ui_->KillTimer(kRetryTimer);
  if (view_) view_->SetTransportNote(std::u16string());
  // The phone the old primary remembered is gone with it; there is no
  // greeting left to give up on.
  if (ui_) ui_->KillTimer(kHelloTimer);
  // Both are detached before either is released, so no notification of
  // one can still be using the other.
  if (oldPrimary) oldPrimary->SetNotify(nullptr);
  if (oldSecondary) oldSecondary->SetNotify(nullptr);
  ForgetLink(oldPrimary);
  ForgetLink(oldSecondary);
  ::Release(oldPrimary);
  ::Release(oldSecondary);

  INetSession* primary = NewSession(kind);
  INetSession* secondary = NewSession(OtherKind(kind));
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    primary_ = primary;
    secondary_ = secondary;
  }

  const std::string refused = RefusedAddress();
  for (INetSession* s : {primary, secondary}) {
    if (s) s->RefuseAddress(refused);
    if (auto* browsers = dynamic_cast<IBrowserRemoteSource*>(s)) {
      browsers->SetSlidePictures(slideImages_);
    }
  }
  bool ok = false;
  if (primary) {
    primary->SetNotify(LinkOf(primary));
    ok = StartSession(primary);
  }
  bool secondaryStarted = false;
  if (secondary) {
    secondary->SetNotify(LinkOf(secondary));
    secondaryStarted = StartSession(secondary);
  }
  // A session that refused to start (its port taken by another program,
  // say) is not offered to the phone, which would otherwise talk to
  // whatever holds that port.
  std::string base = serviceBaseUrl_ ? serviceBaseUrl_() : std::string();
  std::string address = BuildPairingAddress(
      base, primary && ok ? primary->GetPairingParams() : std::vector<PairingParam>(),
      secondary && secondaryStarted ? secondary->GetPairingParams() : std::vector<PairingParam>());
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    pairingAddress_ = address;
  }
  if (view_) view_->SetPairingAddress(address);
  RefreshBrowserAddress();
  if (!ok) SetState(EverConnected() ? NetworkError : ConnectFailed);
  return ok;
}

// --- session notifications ---------------------------------------------------

void CMainController::OnStarted(bool ok, std::int32_t cookie) {
  PostToUi([this] { RefreshBrowserAddress(); });
  State next;
  if (ok) {
    bool ever;
    {
      std::lock_guard<std::mutex> lock(fieldsLock_);
      ever = everConnected_;
      everConnected_ = true;
    }
    if (ever) {
      SessionRef primary;
      std::uint32_t generation;
      {
        std::lock_guard<std::mutex> lock(fieldsLock_);
        primary = SessionRef(primary_);
        generation = sessionsGeneration_;
      }
      if (primary && primary->IsConnected()) {
        // The session still knows its phone: greet it and give it five
        // seconds to answer before a new scan is asked for, unless the
        // sessions have been replaced by the time the UI thread gets here.
        JsonPtr hello = MakeMessage(u"hello");
        primary->Send(hello, kPlainCookie);
        PostToUi([this, generation] {
          bool current;
          {
            std::lock_guard<std::mutex> lock(fieldsLock_);
            current = generation == sessionsGeneration_;
          }
          if (current && ui_) ui_->SetTimer(kHelloTimer, kHelloTimeoutMs);
        });
        return;
      }
    }
    next = WaitingForPhone;
  } else if (EverConnected()) {
    next = NetworkError;
  } else {
    if (SessionRef primary = Primary()) primary->Stop(kPlainCookie);
    next = ConnectFailed;
  }
  PostState(next);
  std::int32_t elapsed = static_cast<std::int32_t>(Now() - connectingTick_.load());
  UsageRecord([&](Report::IReportData* d) {
    d->PutValues(3, Report::Field::Done, Report::Int, ok ? Report::StartOk : Report::StartFailed,
                 Report::Field::ConnectingMs, Report::Int, elapsed, Report::Field::Marker,
                 Report::Int, 1);
  });
}

// --- start outcomes and the background retry ----------------------------------

std::string CMainController::RefusedAddress() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return refusedAddress_;
}

bool CMainController::StartSession(INetSession* session) {
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    if (session == primary_ || session == secondary_) starts_.Starting(session);
  }
  if (session->Start(kPlainCookie)) return true;
  // Refused at once: reported like a failed start, without a notification.
  OnSessionStarted(session, false, 0, false);
  return false;
}

void CMainController::OnSessionStarted(INetSession* session, bool ok, std::int32_t cookie,
                                       bool notified) {
  CStartOutcomes::Decision d;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    if (session != primary_ && session != secondary_) return;
    INetSession* other = session == primary_ ? secondary_ : primary_;
    d = starts_.Reported(session, ok, other == retiring_ ? nullptr : other);
  }
  if (d.retry) {
    PostToUi([this, delay = d.delayMs] {
      if (ui_) ui_->SetTimer(kRetryTimer, delay);
      ShowTransportNote();
    });
  }
  switch (d.action) {
    case CStartOutcomes::Action::Proceed:
      if (notified) OnStarted(ok, cookie);
      return;
    case CStartOutcomes::Action::Recovered:
      PostToUi([this] {
        if (ui_) ui_->KillTimer(kRetryTimer);
        ShowTransportNote();
      });
      return;
    case CStartOutcomes::Action::Wait:
    case CStartOutcomes::Action::Retry:
      return;
  }
}

void CMainController::RetryTransport() {
  if (ui_) ui_->KillTimer(kRetryTimer);
  SessionRef session;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    INetSession* retrying = starts_.Retrying();
    if (retrying && retrying != retiring_ && (retrying == primary_ || retrying == secondary_)) {
      session = SessionRef(retrying);
    }
  }
  // While a phone is connected the other transport is not offered; it is
  // tried again when the code is shown next.
  if (!session || GetState() == Connected) {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    starts_.StopRetrying();
    return;
  }
  StartSession(session.get());
}

void CMainController::ShowTransportNote() {
  if (!view_) return;
  SessionType kind = Relay;
  bool retrying;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    INetSession* session = starts_.Retrying();
    retrying = session != nullptr;
    if (retrying) kind = session == primary_ ? primaryKind_ : OtherKind(primaryKind_);
  }
  if (!retrying) {
    view_->SetTransportNote(std::u16string());
  } else {
    view_->SetTransportNote(kind == Relay ? kRelayUnreachableNote : kLanUnavailableNote);
  }
}

void CMainController::ShowPhone() {
  if (!view_) return;
  std::string who;
  if (SessionRef primary = Primary()) who = primary->PeerDescription();
  view_->SetPhoneDescription(std::u16string(who.begin(), who.end()));
}

void CMainController::OnStopped(bool ok, std::int32_t cookie) {
  if (cookie == kFarewellCookie) {
    PostToUi([this] { RecreateSessions(); });
  } else {
    PostState(ConnectFailed);
  }
}

void CMainController::OnSent(bool ok, std::int32_t cookie) {
  if (cookie != kFarewellCookie) return;
  // The farewell has left: stop the primary; its OnStopped(kFarewellCookie) re-creates the
  // sessions, or we do so now when it refuses.
  SessionRef primary = Primary();
  if (!primary || !primary->Stop(kFarewellCookie)) PostToUi([this] { RecreateSessions(); });
}

void CMainController::OnNetworkLost() {
  // The re-start runs on the UI thread: this may be a thread of the relay's
  // MQTT library, which must not be called from inside its own handlers.
  PostToUi([this] {
    SetState(Connecting);
    SessionRef primary = Primary();
    if (!primary || !StartSession(primary.get())) SetState(NetworkError);
  });
  UsageRecord([](Report::IReportData* d) {
    d->PutValues(2, Report::Field::Lost, Report::Int, Report::LostNetwork, Report::Field::Marker,
                 Report::Int, 1);
  });
}

void CMainController::OnPeerLost() {
  if (SessionRef primary = Primary()) primary->DropPeer();
  PostState(WaitingForPhone);
  UsageRecord([](Report::IReportData* d) {
    d->PutValues(2, Report::Field::Lost, Report::Int, Report::LostPhone, Report::Field::Marker,
                 Report::Int, 1);
  });
}

void CMainController::OnVersion(PowerPointType type, const std::u16string& version) {
  UsageRecord([&](Report::IReportData* d) {
    d->PutValues(3, Report::Field::AppKind, Report::WString, type == Wps ? u"wps" : u"office",
                 Report::Field::AppVersion, Report::WString, version.c_str(), Report::Field::Marker,
                 Report::Int, 1);
  });
}

void CMainController::UsageRecord(const std::function<void(Report::IReportData*)>& fill) {
  if (!reports_) return;
  Report::IReportData* data = reports_->CreateData(Report::ReportCmdUsage);
  if (!data) return;
  fill(data);
  reports_->SendData(data, Report::Queued, 0, 0);
  reports_->ReleaseData(data);
}

// --- timers and window commands -------------------------------------------

void CMainController::OnTimer(int id) {
  if (id == kQueryStateTimer) {
    if (ui_) ui_->KillTimer(kQueryStateTimer);
    presentation_->QueryState();
  } else if (id == kRetryTimer) {
    RetryTransport();
  } else if (id == kHelloTimer) {
    if (ui_) ui_->KillTimer(kHelloTimer);
    if (GetState() == Connecting) {
      // The remembered phone did not answer; a new scan is needed.
      if (SessionRef primary = Primary()) primary->DropPeer();
      SetState(WaitingForPhone);
    }
  }
}

void CMainController::OnConnectButton() {
  State s = GetState();
  if (s == Connected) {
    SessionRef primary = Primary();
    // The presenter decides who the phone is: a peer that holds the remote
    // and says nothing cannot be told from a presenter who talks, so the
    // address dropped here is refused by the sessions this creates.
    std::string dropped = primary ? primary->PeerAddress() : std::string();
    SetState(Connecting);
    JsonPtr bye = MakeMessage(u"bye");
    if (primary) primary->Send(bye, kFarewellCookie);
    std::lock_guard<std::mutex> lock(fieldsLock_);
    everConnected_ = false;
    refusedAddress_ = dropped;
  } else if (s == NetworkError) {
    SetState(Connecting);
    SessionRef primary = Primary();
    if (!primary || !StartSession(primary.get())) SetState(NetworkError);
    if (SessionRef secondary = Secondary()) {
      StartSession(secondary.get());
      secondary->SetNotify(LinkOf(secondary.get()));
    }
  }
}

void CMainController::OnRetryOrCancel() {
  // The retry and cancel texts exist only in these two states.
  State s = GetState();
  if (s != ConnectFailed && s != NetworkError) return;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    everConnected_ = false;
  }
  SetState(Connecting);
  if (s == ConnectFailed) {
    RecreateSessions();
  } else if (s == NetworkError) {
    SessionRef primary = Primary();
    if (!primary || !primary->Stop(kFarewellCookie)) RecreateSessions();
  }
}

bool CMainController::OnClose() {
  if (GetState() == Connected && view_) {
    view_->RestoreIfMinimized();
    if (!view_->ConfirmClose()) return false;
  }
  if (ui_) {
    ui_->KillTimer(kQueryStateTimer);
    ui_->KillTimer(kHelloTimer);
    ui_->KillTimer(kRetryTimer);
  }
  if (view_) {
    view_->DestroyShadow();
    view_->EndDialog(kMainWindowClosed);
  }
  if (SessionRef primary = Primary()) {
    JsonPtr quit = MakeMessage(u"quit");
    primary->SendSync(quit);
    primary->Close();
  }
  return true;
}
