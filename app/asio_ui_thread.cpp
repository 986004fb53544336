#include "app/asio_ui_thread.h"

#include <chrono>

#include <boost/asio/post.hpp>

#include "app/controller.h"

CAsioUiThread::CAsioUiThread(boost::asio::io_context& io, CMainController& controller)
    : io_(io), controller_(controller) {}

CAsioUiThread::~CAsioUiThread() = default;

void CAsioUiThread::Wake() {
  CMainController* controller = &controller_;
  boost::asio::post(io_, [controller] { controller->RunPostedCalls(); });
}

void CAsioUiThread::SetTimer(int id, unsigned ms) {
  std::unique_ptr<Timer>& slot = timers_[id];
  if (!slot) slot = std::make_unique<Timer>(io_);
  Timer* t = slot.get();
  unsigned generation = ++t->generation;
  t->armed = true;
  t->timer.expires_after(std::chrono::milliseconds(ms));
  CMainController* controller = &controller_;
  t->timer.async_wait([t, generation, id, controller](const boost::system::error_code& ec) {
    if (ec || t->generation != generation || !t->armed) return;
    controller->OnTimer(id);
  });
}

void CAsioUiThread::KillTimer(int id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  ++it->second->generation;
  it->second->armed = false;
  it->second->timer.cancel();
}

bool CAsioUiThread::TimerArmed(int id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second->armed;
}
