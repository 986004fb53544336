// The controller's hand-over to the UI thread: the queue of calls that
// session and worker threads post for it, and the posted window updates
// (states, timers, the PC-drawn laser dot, whose waiting moves are merged
// so that only the newest is drawn).
#include <memory>
#include <mutex>
#include <utility>

#include "app/controller.h"

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
