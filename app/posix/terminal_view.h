// The main window of the Linux client, drawn in a terminal: the title, the
// texts of the current state, the pairing QR code in half blocks, the
// PC-drawn laser dot and the simulated show, with keys for the window's
// commands. When stdin is not a terminal it prints one line per change
// instead ("state: ...", "pairing: <address>", "browser: <address>",
// "laser: ...", "show: ...") and reads commands as lines (connect, retry,
// cancel, close, about, open, start, next, prev, end, browser).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>

#include "app/controller.h"
#include "app/main_view.h"
#include "app/qr_code.h"

class CPowerPointMgr;
class CSimulatedPresentationApp;

class CTerminalView : public IMainView {
 public:
  // mgr and the applications may be null (no laser geometry, no simulated
  // show). The presenter's keys act on the PowerPoint-like application until
  // 'k' switches to the WPS-like one (which has no laser of its own, so the
  // PC draws the dot). Output goes to out (stdout in the program).
  CTerminalView(boost::asio::io_context& io, CMainController& controller, CPowerPointMgr* mgr,
                std::shared_ptr<CSimulatedPresentationApp> powerPoint,
                std::shared_ptr<CSimulatedPresentationApp> wps, bool interactive,
                std::FILE* out = stdout);
  ~CTerminalView();

  // Raw mode (interactive), key reading, signals, the show poll.
  void Start();
  // Restores the terminal; idempotent.
  void Stop();
  bool Ended() const { return ended_; }

  // One key of the window: c connect button, r retry, x cancel, q close,
  // y/n answer the close question, a about, w website, u update,
  // o open a presentation, s start the show, n/p/e next, previous, end
  // (the presenter's keys in the simulated application), k switch between
  // the PowerPoint-like and the WPS-like application, b the browser remote's
  // QR code in place of the app's (and back).
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
  void ReadInput();
  void WaitSignal();
  void PollShow();
  void Close(bool confirmed);
  void Redraw();
  void ScheduleRedraw();
  void Print(const std::string& line);
  std::string ShowText() const;
  std::string LaserText() const;

  boost::asio::io_context& io_;
  CMainController& controller_;
  CPowerPointMgr* mgr_;
  std::shared_ptr<CSimulatedPresentationApp> powerPoint_;
  std::shared_ptr<CSimulatedPresentationApp> wps_;
  std::shared_ptr<CSimulatedPresentationApp> app_;  // the one the keys act on
  const bool interactive_;
  std::FILE* out_;

  boost::asio::posix::stream_descriptor input_;
  boost::asio::streambuf inputBuffer_;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer showPoll_;
  bool rawMode_ = false;
  bool redrawPending_ = false;
  bool ended_ = false;
  bool askingClose_ = false;
  bool closeConfirmed_ = false;
  std::string notice_;  // about text, update notice, last message

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
  CQRSymbol browserSymbol_;
  bool browserQr_ = false;  // the browser's code is the one drawn
  bool laser_ = false;
  double laserX_ = 0, laserY_ = 0;

  // Last lines printed in the non-interactive mode, to print changes only.
  int printedState_ = -1;
  std::string printedAddress_;
  std::string printedShow_;
};
