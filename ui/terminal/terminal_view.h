// The main window of the Linux client, drawn in a terminal: the title, the
// state by name beside its texts, the pairing QR code in half blocks, the
// transports' status, the PC-drawn laser dot and the simulated show, the
// close, about and update dialogs as prompts, and a line with the keys that
// work right now. Interactive, it owns the whole screen (see
// terminal_screen.h) and redraws in place only what changed. When stdin is
// not a terminal it prints one line per change instead ("state: ...",
// "pairing: <address>", "laser: ...", "show: ...") and reads commands as
// lines (connect, retry, cancel, close, yes, no, about, update, open,
// start, next, prev, end, switch).
//
// Nothing here polls: the loop wakes for a key, a signal, a posted call or
// a timer of the controller, and the simulated applications announce their
// changes through the event sink the back-end also uses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>

#include "app/controller.h"
#include "app/main_view.h"
#include "app/qr_code.h"
#include "presentation/automation.h"
#include "ui/terminal/terminal_screen.h"

class CPowerPointMgr;
class CSimulatedPresentationApp;
class TransportStatus;

class CTerminalView : public IMainView {
 public:
  // mgr and the applications may be null (no laser geometry, no simulated
  // show). The presenter's keys act on the PowerPoint-like application until
  // 'k' switches to the WPS-like one (which has no laser of its own, so the
  // PC draws the dot). Output goes to out (stdout in the program);
  // interactive, it is drawn on screen, or on a screen of its own over
  // stdin and out when none is given.
  CTerminalView(boost::asio::io_context& io, CMainController& controller, CPowerPointMgr* mgr,
                std::shared_ptr<CSimulatedPresentationApp> powerPoint,
                std::shared_ptr<CSimulatedPresentationApp> wps, bool interactive,
                std::FILE* out = stdout, CTerminalScreen* screen = nullptr);
  ~CTerminalView();

  // Where the update dialog's answers are reported (null: nowhere).
  void SetReports(Report::IReportMgr* reports) { reports_ = reports; }
  // The transports shown on the status line (null: no status line). It
  // must outlive the view; its changes are picked up on the view's loop.
  void SetTransportStatus(TransportStatus* status);

  // The show line for an application the view does not simulate (Impress),
  // replacing the simulated one's; on the view's loop.
  void SetShowText(const std::string& text);

  // Full screen (interactive), key reading, signals, the show's events.
  void Start();
  // Restores the terminal and prints what should stay visible after it
  // (the website, after a download answer); idempotent.
  void Stop();
  bool Ended() const { return ended_; }

  // One key of the window: c connect button, r retry, x cancel, q close,
  // y/n answer the close question, a about, w website, u update (d or y
  // downloads, Esc or n closes the notice),
  // o open a presentation, s start the show, n/p/e next, previous, end
  // (the presenter's keys in the simulated application), k switch between
  // the PowerPoint-like and the WPS-like application.
  void OnKey(char key);
  // A command line of the non-interactive mode.
  void OnLine(const std::string& line);

  // IMainView
  void ShowLoading(bool show) override;
  void SetLoadingAnimation(bool run) override;
  void ShowRetryText(bool show) override;
  void ShowConnectButton(bool show) override;
  void SetConnectButtonText(const std::u16string& caption) override;
  void ShowCancelText(bool show) override;
  void ShowQrCode(bool show) override;
  void SetPairingAddress(const std::string& address) override;
  void SetBrowserAddress(const std::string& address) override;
  void SetTransportNote(const std::u16string& note) override;
  void SetPhoneDescription(const std::u16string& who) override;
  void Invalidate() override;
  void ShowLaser(double x, double y) override;
  void MoveLaser(double x, double y) override;
  void HideLaser() override;
  void RestoreIfMinimized() override {}
  bool ConfirmClose() override { return closeConfirmed_; }
  void DestroyShadow() override {}
  void EndDialog(int result) override;
  void RunRequiredUpdate() override;

 private:
  enum class Dialog { None, Close, About, Update };
  class ShowWatcher;

  void ReadInput();
  void WaitSignal();
  void OnSignal(int sig);
  void Spin();
  void WatchShows();
  void OnShowChanged();
  void Close(bool confirmed);
  void DialogKey(char key);
  void OpenUpdate();
  void AnswerUpdate(int result);
  void Redraw();
  void ScheduleRedraw();
  void Print(const std::string& line);
  std::string ShowText() const;
  std::string LaserText() const;
  std::vector<std::string> Frame(const TerminalSize& size) const;
  void AddStateLines(std::vector<std::string>& lines, std::vector<bool>& loose) const;
  void AddDialogLines(std::vector<std::string>& lines) const;
  std::string KeyHelp() const;
  std::string Style(const char* sgr, const std::string& text) const;

  boost::asio::io_context& io_;
  CMainController& controller_;
  CPowerPointMgr* mgr_;
  std::shared_ptr<CSimulatedPresentationApp> powerPoint_;
  std::shared_ptr<CSimulatedPresentationApp> wps_;
  std::shared_ptr<CSimulatedPresentationApp> app_;  // the one the keys act on
  const bool interactive_;
  std::FILE* out_;
  std::unique_ptr<CTerminalScreen> ownScreen_;
  CTerminalScreen* screen_ = nullptr;
  const bool colour_;  // NO_COLOR unset or empty
  Report::IReportMgr* reports_ = nullptr;
  TransportStatus* status_ = nullptr;

  boost::asio::posix::stream_descriptor input_;
  boost::asio::streambuf inputBuffer_;
  boost::asio::signal_set signals_;
  // The loading animation: a frame every kSpinMs while Connecting, never
  // while idle in another state.
  boost::asio::steady_timer spinner_;
  bool spinning_ = false;
  unsigned spinFrame_ = 0;
  // The simulated applications' event connections, for the show line.
  std::shared_ptr<ShowWatcher> watcher_;
  std::vector<std::pair<AutomationPtr, std::uint32_t>> watched_;
  bool redrawPending_ = false;
  bool ended_ = false;
  bool closeConfirmed_ = false;
  Dialog dialog_ = Dialog::None;
  bool updateOffered_ = false;   // the corner key, until it is used once
  bool updateRequired_ = false;  // the notice ends the program
  std::string notice_;           // last message (website, update answer)
  std::vector<std::string> afterExit_;

  // What the window shows.
  bool loading_ = false;
  bool retry_ = false;
  bool connectButton_ = false;
  std::u16string connectCaption_;
  bool cancel_ = false;
  bool qr_ = false;
  std::string address_;
  CQRSymbol symbol_;
  std::string browserAddress_;
  std::string transportNote_;  // under the status line while a phone can pair
  std::string phone_;          // who holds the remote
  CQRSymbol browserSymbol_;
  bool browserQr_ = false;  // the browser remote's code is the one drawn
  bool laser_ = false;
  double laserX_ = 0, laserY_ = 0;

  // Last lines printed in the non-interactive mode, to print changes only.
  int printedState_ = -1;
  std::string printedAddress_;
  std::string printedShow_;
  std::string externalShow_;
};
