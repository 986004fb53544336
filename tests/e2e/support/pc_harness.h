// The PC side of an end-to-end run, in-process: the real controller with
// both real sessions (the relay on a given broker, the direct session on
// ephemeral loopback-reachable ports), the real presentation manager over
// the simulated presentation application, and a UI thread of its own that
// runs an io_context. The window is a recorder.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/controller.h"
#include "app/main_view.h"
#include "net/session.h"
#include "presentation/simulated_office.h"
#include "tests/e2e/support/observed_session.h"
#include "tools/phone/phone_link.h"

class CAsioUiThread;
class CDirectSession;

namespace e2e {

// The main window as the controller drives it: what it was told to show.
class RecordingView : public IMainView {
 public:
  struct Laser {
    int shows = 0, moves = 0, hides = 0;
    double x = -1, y = -1;  // last shown or moved point
  };

  void ShowLoading(bool) override {}
  void SetLoadingAnimation(bool) override {}
  void ShowRetryText(bool) override {}
  void ShowConnectButton(bool) override {}
  void SetConnectButtonText(const std::u16string&) override {}
  void ShowCancelText(bool) override {}
  void ShowQrCode(bool) override {}
  void SetPairingAddress(const std::string& address) override;
  void SetTransportNote(const std::u16string& note) override;
  void Invalidate() override {}
  void ShowLaser(double x, double y) override;
  void MoveLaser(double x, double y) override;
  void HideLaser() override;
  void RestoreIfMinimized() override {}
  bool ConfirmClose() override { return true; }
  void DestroyShadow() override {}
  void EndDialog(int) override {}
  void RunRequiredUpdate() override {}

  Laser LaserCalls();
  std::vector<std::string> Addresses();
  std::u16string TransportNote();
  // Called on the UI thread at every move of the PC-drawn dot (benchmarks
  // time the moves with it); set before the PC starts.
  std::function<void(double x, double y)> onMoveLaser;

 private:
  std::mutex lock_;
  Laser laser_;
  std::vector<std::string> addresses_;
  std::u16string note_;
};

struct PcOptions {
  std::string brokerUri;  // "tcp://127.0.0.1:port"; empty: the built-in host
  bool wps = false;       // a WPS-like application (no native laser)
  bool openPresentation = true;
  // The direct session also serves the browser remote (ephemeral port, a
  // loopback address).
  bool browser = false;
  // The direct session's heartbeat tick (the phone counts as lost three
  // ticks after its last heartbeat).
  std::chrono::milliseconds directTick = std::chrono::seconds(2);
  // No heartbeat timer in the direct sessions: the test ticks with TickDirect.
  bool directExternalTicks = false;
  // Wraps the automation factory (the benchmark times automation calls).
  std::function<std::shared_ptr<IAutomationFactory>(std::shared_ptr<IAutomationFactory>)>
      wrapAutomation;
  // Ports of a real application (Impress) in place of the simulated one.
  std::function<PresentationPorts()> presentationPorts;
};

class PcHarness {
 public:
  using State = CMainController::State;

  explicit PcHarness(PcOptions options);
  ~PcHarness();
  PcHarness(const PcHarness&) = delete;
  PcHarness& operator=(const PcHarness&) = delete;

  // InitWindow on the UI thread, then waits for WaitingForPhone and for the
  // relay to be subscribed.
  bool Start(std::chrono::milliseconds limit = std::chrono::seconds(10));
  bool WaitState(State state, std::chrono::milliseconds limit);
  // Waits until the newest relay session has reported a successful start
  // (connected and subscribed) `count` times in all.
  bool WaitRelayStarted(int count, std::chrono::milliseconds limit);
  State GetState() { return controller_->GetState(); }

  // Runs f on the UI thread and waits for it (at most five seconds).
  void OnUi(std::function<void()> f);
  // The window's buttons and close, on the UI thread.
  void PressConnectButton();
  void PressRetryOrCancel();
  void Close();

  std::string PairingAddress() { return controller_->PairingAddress(); }
  // The newest direct session's browser address; empty without one.
  std::string BrowserAddress();
  // One heartbeat tick of the newest direct session (directExternalTicks);
  // false without one or when it did not run.
  bool TickDirect();
  CMainController& Controller() { return *controller_; }
  RecordingView& View() { return view_; }
  std::shared_ptr<CSimulatedPresentationApp> App() { return app_; }
  CSimulatedOffice& Office() { return office_; }

  // Phone options that reach this PC on loopback over `transport`: the
  // broker, or 127.0.0.1 and the port the current direct session bound.
  phone::PhoneOptions PhoneOptionsFor(phone::Transport transport);
  // Parses the current pairing address and joins a phone over `transport`
  // (not yet greeted), sending from `from` when given (another loopback
  // address is another phone); null when that failed.
  std::unique_ptr<phone::PhoneLink> JoinPhone(phone::Transport transport, bool notes = false,
                                              std::string* error = nullptr,
                                              const std::string& from = std::string());

 private:
  INetSession* CreateSession(SessionType type);

  PcOptions options_;
  CSimulatedOffice office_;
  std::shared_ptr<CSimulatedPresentationApp> app_;
  RecordingView view_;
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::unique_ptr<CMainController> controller_;
  std::unique_ptr<CAsioUiThread> ui_;
  std::thread uiThread_;
  // The newest session of each kind, one reference held.
  std::mutex sessionsLock_;
  CDirectSession* direct_ = nullptr;
  ObservedSession* relay_ = nullptr;
  bool closed_ = false;
};

// Polls `done` every 5 ms until it holds or `limit` passes.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

}  // namespace e2e
