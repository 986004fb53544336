// The controller's states and the session lifecycle. The two sessions and
// their hand-over are in session_pair.cpp, the UI-thread queue in
// controller_queue.cpp, the phone's messages and the presentation answers in
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

CMainController::CMainController(Services services)
    : presentation_(std::move(services.presentation)),
      createSession_(std::move(services.createSession)),
      reports_(services.reports),
      serviceBaseUrl_(std::move(services.serviceBaseUrl)),
      tickCount_(std::move(services.tickCount)),
      sessions_(fieldsLock_, this, services.primaryKind) {
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
  sessions_.Silence();
  presentation_->SetNotify(nullptr);
  // A session (and its server) may outlive the controller for a moment and
  // still ask for pictures: from now on they are answered unavailable.
  slideImages_->Detach();
  presentation_.reset();
  {
    std::lock_guard<std::recursive_mutex> lock(postedLock_);
    posted_.clear();  // dropped, not run
  }
  sessions_.ReleaseAll();
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

std::string CMainController::PairingAddress() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return pairingAddress_;
}

SessionType CMainController::PrimaryKind() const { return sessions_.PrimaryKind(); }

std::string CMainController::BrowserAddress() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return browserAddress_;
}

void CMainController::RefreshBrowserAddress() {
  auto offered = [](const SessionRef& s) {
    auto* source = dynamic_cast<IBrowserRemoteSource*>(s.get());
    return source ? source->BrowserAddress() : std::string();
  };
  std::string address = offered(sessions_.Primary());
  if (address.empty()) address = offered(sessions_.Secondary());
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
      SessionRef secondary = sessions_.Secondary();
      if (secondary) {
        StartSession(secondary.get());
        secondary->SetNotify(sessions_.LinkOf(secondary.get()));
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
  CSessionPair::Sessions old;
  SessionType kind;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    old = sessions_.TakeLocked();
    kind = sessions_.PrimaryKindLocked();
    ++sessionsGeneration_;
    starts_.Reset();
  }
  if (ui_) ui_->KillTimer(kRetryTimer);
  if (view_) view_->SetTransportNote(std::u16string());
  // The phone the old primary remembered is gone with it; there is no
  // greeting left to give up on.
  if (ui_) ui_->KillTimer(kHelloTimer);
  sessions_.Detach(old);

  INetSession* primary = NewSession(kind);
  INetSession* secondary = NewSession(OtherKind(kind));
  sessions_.Install(primary, secondary);

  const std::string refused = RefusedAddress();
  for (INetSession* s : {primary, secondary}) {
    if (s) s->RefuseAddress(refused);
    if (auto* browsers = dynamic_cast<IBrowserRemoteSource*>(s)) {
      browsers->SetSlidePictures(slideImages_);
    }
  }
  bool ok = false;
  if (primary) {
    primary->SetNotify(sessions_.LinkOf(primary));
    ok = StartSession(primary);
  }
  bool secondaryStarted = false;
  if (secondary) {
    secondary->SetNotify(sessions_.LinkOf(secondary));
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
        primary = SessionRef(sessions_.PrimaryLocked());
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
    if (SessionRef primary = sessions_.Primary()) primary->Stop(kPlainCookie);
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
    if (sessions_.HoldsLocked(session)) starts_.Starting(session);
  }
  if (session->Start(kPlainCookie)) return true;
  // Refused at once: reported like a failed start, without a notification.
  OnSessionStarted(session, false, 0, false);
  return false;
}

void CMainController::OnStartedBy(INetSession* session, bool ok, std::int32_t cookie) {
  OnSessionStarted(session, ok, cookie, true);
}

void CMainController::OnSessionStarted(INetSession* session, bool ok, std::int32_t cookie,
                                       bool notified) {
  CStartOutcomes::Decision d;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    if (!sessions_.HoldsLocked(session)) return;
    d = starts_.Reported(session, ok, sessions_.OtherSpeakingLocked(session));
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
    if (retrying && sessions_.SpeaksLocked(retrying)) {
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
    if (retrying) kind = sessions_.KindOfLocked(session);
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
  if (SessionRef primary = sessions_.Primary()) who = primary->PeerDescription();
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
  SessionRef primary = sessions_.Primary();
  if (!primary || !primary->Stop(kFarewellCookie)) PostToUi([this] { RecreateSessions(); });
}

void CMainController::OnNetworkLost() {
  // The re-start runs on the UI thread: this may be a thread of the relay's
  // MQTT library, which must not be called from inside its own handlers.
  PostToUi([this] {
    SetState(Connecting);
    SessionRef primary = sessions_.Primary();
    if (!primary || !StartSession(primary.get())) SetState(NetworkError);
  });
  UsageRecord([](Report::IReportData* d) {
    d->PutValues(2, Report::Field::Lost, Report::Int, Report::LostNetwork, Report::Field::Marker,
                 Report::Int, 1);
  });
}

void CMainController::OnPeerLost() {
  if (SessionRef primary = sessions_.Primary()) primary->DropPeer();
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
      if (SessionRef primary = sessions_.Primary()) primary->DropPeer();
      SetState(WaitingForPhone);
    }
  }
}

void CMainController::OnConnectButton() {
  State s = GetState();
  if (s == Connected) {
    SessionRef primary = sessions_.Primary();
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
    SessionRef primary = sessions_.Primary();
    if (!primary || !StartSession(primary.get())) SetState(NetworkError);
    if (SessionRef secondary = sessions_.Secondary()) {
      StartSession(secondary.get());
      secondary->SetNotify(sessions_.LinkOf(secondary.get()));
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
    SessionRef primary = sessions_.Primary();
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
  if (SessionRef primary = sessions_.Primary()) {
    JsonPtr quit = MakeMessage(u"quit");
    primary->SendSync(quit);
    primary->Close();
  }
  return true;
}
