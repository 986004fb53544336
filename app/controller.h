// The main controller: connection states, the two sessions (held by a
// CSessionPair, app/session_pair.h, which also settles their hand-over), the
// phone's command protocol, and the cross-thread call queue.
// It is the portable base of the Win32 CMainDlg (which inherits State and
// every operation) and of the terminal front end on Linux.
//
// Running it headless (tests, benchmarks, tools):
//
//   CMainController::Services s;
//   s.createSession = [](SessionType t) -> INetSession* {   // one reference taken
//     INetSession* p = t == Relay ? static_cast<INetSession*>(new CMqttSession(uri))
//                                 : new CDirectSession(port);
//     p->AddRef();
//     return p;
//   };                                       // DefaultServices() ("app/default_services.h")
//                                            // fills every member as the program does
//   s.presentation = std::make_unique<CPowerPointMgrControl>(std::move(mgr));
//   s.reports = &myReportMgr;                // null: no usage records
//   s.checkForUpdate = [] { return 0; };     // null: no update check (None)
//   s.serviceBaseUrl = [] { return std::string("http://127.0.0.1:8080/tavmix/"); };
//   CMainController controller(std::move(s));
//
//   boost::asio::io_context io;              // the UI thread: whoever runs io
//   CAsioUiThread ui(io, controller);        // "app/asio_ui_thread.h"
//   CHeadlessView view;                      // "app/headless_view.h": what a window
//                                            // would show, readable from any thread
//   controller.AttachUi(&ui, &view);
//   controller.InitWindow();                 // creates and starts both sessions
//   io.run();                                // or run_for(...) in a test loop
//   ...                                      // controller.PairingAddress() once
//                                            // GetState() == WaitingForPhone
//   // window commands go through the UI thread, e.g.
//   boost::asio::post(io, [&] { controller.OnConnectButton(); });
//   boost::asio::post(io, [&] { controller.OnClose(); });  // "quit", Close primary
//   // stop io, then AttachUi(nullptr, nullptr), then destroy controller, ui, io
//
// The Linux program `pivaro` (ui/terminal/main.cpp) does exactly this with a
// terminal window; run with stdin not a terminal it prints "pairing: <address>"
// and "state: <n> <Name> ..." lines (see ui/terminal/terminal_view.h).
//
// Threads: the UI thread runs InitWindow, SetState, RecreateSessions, the
// command handlers, OnTimer and RunPostedCalls. Session threads call the
// INetSessionNotify operations, the presentation worker the
// IPowerPointMgrNotify ones; both hand window work over with PostToUi.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/main_view.h"
#include "app/presentation_control.h"
#include "app/session_pair.h"
#include "app/slide_images.h"
#include "app/start_outcomes.h"
#include "app/ui_thread.h"
#include "json/json.h"
#include "net/session.h"
#include "services/report.h"

class CMainController : public IPowerPointMgrNotify, public CSessionPair::IOwner {
 public:
  // What a session's Start, Stop and Send carry back in their answers:
  // nothing in particular, or the farewell to the phone (its Send's answer
  // stops the session; that Stop's answer creates the sessions anew).
  enum Cookie : std::int32_t {
    kPlainCookie = 0,
    kFarewellCookie = 1,
  };
  enum State : std::int32_t {
    Connecting = 0,
    ConnectFailed = 1,
    NetworkError = 2,
    WaitingForPhone = 3,
    Connected = 4,
  };

  // Timers of the main window.
  static constexpr int kQueryStateTimer = 1002;  // 20 ms after a presentation event
  static constexpr int kHelloTimer = 1003;       // 5000 ms for the phone to answer "hello"
  static constexpr unsigned kQueryStateDelayMs = 20;
  static constexpr unsigned kHelloTimeoutMs = 5000;
  // Starts again, in the background, a transport that could not start while
  // the other one did (a venue without internet still pairs over the LAN):
  // after 1 s, doubling up to a minute.
  static constexpr int kRetryTimer = 1004;

  // Window command ids.
  static constexpr int kCmdClose = 8;
  static constexpr int kCmdMinimize = 1001;
  static constexpr int kCmdConnect = 1002;
  static constexpr int kCmdWebsite = 1003;
  static constexpr int kCmdAbout = 1004;
  static constexpr int kCmdRetryOrCancel = 1005;
  static constexpr int kCmdUpdate = 1006;

  // Update states (None 0, Optional 1, Required 2; other values mean None).
  static constexpr int kUpdateOptional = 1;
  static constexpr int kUpdateRequired = 2;

  // What the controller is built from; everything but presentation may be
  // left empty: no sessions (every start refused), no usage records, no
  // update, an empty service base, the steady clock.
  struct Services {
    std::function<INetSession*(SessionType)> createSession;
    std::unique_ptr<IPresentationControl> presentation;
    Report::IReportMgr* reports = nullptr;
    std::function<int()> checkForUpdate;
    std::function<std::string()> serviceBaseUrl;
    std::function<std::uint32_t()> tickCount;
    // The kind offered first; a build without the relay offers the direct
    // session alone and makes it the primary from the start.
    SessionType primaryKind = Relay;
  };

  // Runs the update check (blocking) and registers with the presentation
  // manager; no window and no session exist yet.
  explicit CMainController(Services services);
  virtual ~CMainController();

  CMainController(const CMainController&) = delete;
  CMainController& operator=(const CMainController&) = delete;

  // --- UI thread -------------------------------------------------------
  // Installs the UI-thread port and the window; both outlive the controller
  // or are detached with AttachUi(nullptr, nullptr) before they go.
  void AttachUi(IUiThread* ui, IMainView* view);
  // Window initialisation: the required-update flow, or the first sessions.
  void InitWindow();
  void SetState(State next);
  bool RecreateSessions();
  void OnTimer(int id);
  // WM_COMMAND ids 1002 (connect button) and 1005 (retry or cancel text).
  void OnConnectButton();
  void OnRetryOrCancel();
  // WM_CLOSE. False when the user kept the client running.
  bool OnClose();
  // Runs every queued call in order. Calls run outside the queue lock, so a
  // session thread that posts meanwhile never waits for them.
  void RunPostedCalls();

  // --- any thread -------------------------------------------------------
  void PostToUi(std::function<void()> call);
  State GetState() const { return state_.load(std::memory_order_acquire); }
  int GetUpdateState() const { return updateState_; }
  std::string PairingAddress() const;
  // Where a phone's browser reaches the direct session; empty when it is not
  // offered.
  std::string BrowserAddress() const;
  SessionType PrimaryKind() const;
  bool NotesWanted() const;
  bool EverConnected() const;
  IPresentationControl& Presentation() { return *presentation_; }

  // The PC's own messages: {"msg":name}, and the "state"/"note" answers.
  static JsonPtr MakeStateMessage(bool appFound, bool showRunning, bool userStartedWpp);
  static JsonPtr MakeNoteMessage(const std::u16string& notes);
  // The "slide" member of a browser phone's "state" message.
  static JsonPtr MakeSlideMember(const SlidePosition& position);
  // Where the show stands, as the manager told it last.
  SlidePosition Position() const;
  // The slide pictures the browser remote serves.
  CSlideImages& SlideImages() { return *slideImages_; }

  // The address the presenter's last disconnect dropped; the sessions made
  // since refuse it. Empty when none.
  std::string RefusedAddress() const;

  // --- INetSessionNotify (session threads) ------------------------------
  // Without knowing which session started: as if it were the only one.
  void OnStarted(bool ok, std::int32_t cookie) override;
  void OnStopped(bool ok, std::int32_t cookie) override;
  void OnSent(bool ok, std::int32_t cookie) override;
  void OnNetworkLost() override;
  void OnPeerLost() override;
  void OnMessage(SessionType from, JsonPtr& message) override;
  bool IsBacklogged() override { return presentation_->IsBacklogged(); }

  // --- IPowerPointMgrNotify (presentation worker) -----------------------
  void OnPresentationEvent(PowerPointType type, std::int32_t eventId) override;
  void OnState(bool appFound, bool showRunning) override;
  void OnCommandFailed(bool appFound, bool showRunning) override;
  void OnNotes(const std::u16string& notes) override;
  void OnVersion(PowerPointType type, const std::u16string& version) override;
  void OnSlidePosition(const SlidePosition& position) override;
  void OnSlideImage(const SlideImage& image) override;

 protected:
  IMainView* View() const { return view_; }
  // Where the window's dialogs send their usage records (may be null).
  Report::IReportMgr* Reports() const { return reports_; }

 private:
  using SessionRef = CSessionPair::Ref;

  // CSessionPair::IOwner: a start told by one of the two sessions.
  void OnStartedBy(INetSession* session, bool ok, std::int32_t cookie) override;
  INetSession* NewSession(SessionType type);
  std::uint32_t Now() const;
  void PostState(State next);
  void PostTimer(int id, unsigned ms);
  void PostKillTimer(int id);
  void PostHideLaser();
  void PostShowLaser(double x, double y);
  // Only the newest of the moves waiting for the UI thread is drawn.
  void PostMoveLaser(double x, double y);
  void SendToPhone(JsonPtr message, std::int32_t cookie);
  void AnswerState(bool appFound, bool showRunning);
  // The browser phone's "state": the app's one with the slide's place.
  static JsonPtr BrowserStateMessage(const JsonPtr& appState, const SlidePosition& position);
  // {"msg":"goto","slide":n}: n an integer within the deck, else nothing.
  void GoToSlide(const JsonPtr& message);
  // False when the greeting came from a session already retired.
  bool OnHello(SessionType from, JsonPtr& message);
  // UI thread: passes a new browser address on to the view. It changes with
  // the sessions and whenever the direct session binds another port.
  void RefreshBrowserAddress();
  void LeaveState(State s);
  void EnterState(State s);

  // A start's outcome, told by the session (`notified`) or a Start refused at
  // once; see CStartOutcomes for what it means.
  void OnSessionStarted(INetSession* session, bool ok, std::int32_t cookie, bool notified);
  // Start(kPlainCookie), its outcome pending until told.
  bool StartSession(INetSession* session);
  // UI thread, on kRetryTimer.
  void RetryTransport();
  // UI thread: the note under the code for the transport being retried.
  void ShowTransportNote();
  // UI thread: tells the view which phone holds the remote.
  void ShowPhone();
  // A usage record of command 1882, filled by one PutValues call.
  void UsageRecord(const std::function<void(Report::IReportData*)>& fill);

  std::unique_ptr<IPresentationControl> presentation_;
  std::function<INetSession*(SessionType)> createSession_;
  Report::IReportMgr* reports_;
  std::function<std::string()> serviceBaseUrl_;
  std::function<std::uint32_t()> tickCount_;

  // Shared by the UI, session and worker threads; guarded by fieldsLock_,
  // which is never held while calling a session, the manager or the UI.
  mutable std::mutex fieldsLock_;
  // The two sessions and which one speaks for the phone; guarded by
  // fieldsLock_ too.
  CSessionPair sessions_;
  // Counts RecreateSessions: a hello timer asked for on behalf of sessions
  // since replaced is not armed.
  std::uint32_t sessionsGeneration_ = 0;
  bool notesWanted_ = false;
  bool everConnected_ = false;
  std::string pairingAddress_;
  CStartOutcomes starts_;
  std::string refusedAddress_;
  struct LaserMove {
    double x = 0;
    double y = 0;
    bool drawn = false;
  };
  std::shared_ptr<LaserMove> laserMove_;  // the move posted last, if nothing followed it
  std::string browserAddress_;
  // The manager's last answers: where the show stands, and what the last
  // state answer said (a browser hears it again, with each new position).
  SlidePosition position_;
  struct LastState {
    bool known = false;
    bool appFound = false;
    bool showRunning = false;
    bool userStartedWpp = false;
  } lastState_;

  std::shared_ptr<CSlideImages> slideImages_;

  std::atomic<State> state_{Connecting};
  std::atomic<State> lastPostedState_{Connecting};  // the newest PostState
  int updateState_ = 0;
  bool animationRunning_ = false;  // UI thread
  std::atomic<std::uint32_t> connectingTick_{0};

  IUiThread* ui_ = nullptr;
  IMainView* view_ = nullptr;

  std::deque<std::function<void()>> posted_;
  std::recursive_mutex postedLock_;
};
