// The UI thread of the controller on an io_context: whoever runs the
// io_context (the main thread of the terminal front end, a test loop) is
// the UI thread. Posted calls and timer expiries become io_context handlers.
#pragma once

#include <map>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "app/ui_thread.h"

class CMainController;

class CAsioUiThread : public IUiThread {
 public:
  CAsioUiThread(boost::asio::io_context& io, CMainController& controller);
  ~CAsioUiThread();

  void Wake() override;
  void SetTimer(int id, unsigned ms) override;
  void KillTimer(int id) override;

  // For tests: whether timer id is armed.
  bool TimerArmed(int id) const;

 private:
  struct Timer {
    explicit Timer(boost::asio::io_context& io) : timer(io) {}
    boost::asio::steady_timer timer;
    // Bumped by every SetTimer and KillTimer, so that an expiry already
    // queued when the timer was re-armed or killed is recognised as stale.
    unsigned generation = 0;
    bool armed = false;
  };

  boost::asio::io_context& io_;
  CMainController& controller_;
  std::map<int, std::unique_ptr<Timer>> timers_;
};
