// The relay's publish window: its counting, its queue and the hand-over of
// waiting publishes, apart from the session that drives the broker client,
// so that the rules on order and room can be checked with a fake sender.
#include "net/mqtt_publish_window.h"

#include <utility>

PublishWindow::PublishWindow(int limit, SendFunction send, FailFunction fail)
    : limit_(limit), send_(std::move(send)), fail_(std::move(fail)) {}

bool PublishWindow::Submit(std::string payload, Item item) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (!handing_ && waiting_.empty() && inFlight_ < limit_) {
    ++inFlight_;
    handing_ = true;
    const unsigned long generation = generation_;
    hold.unlock();
    const bool sent = send_(payload, item, generation);
    hold.lock();
    if (!sent && generation == generation_) --inFlight_;
    HandOnWaiting(hold);
    return sent;
  }
  waiting_.push_back(Waiting{std::move(payload), item});
  if (!handing_) {
    handing_ = true;
    HandOnWaiting(hold);
  }
  return true;
}

void PublishWindow::HandOnWaiting(std::unique_lock<std::mutex>& hold) {
  while (inFlight_ < limit_ && !waiting_.empty()) {
    Waiting next = std::move(waiting_.front());
    waiting_.pop_front();
    ++inFlight_;
    const unsigned long generation = generation_;
    hold.unlock();
    const bool sent = send_(next.payload, next.item, generation);
    if (!sent) fail_(next.item);
    hold.lock();
    if (!sent && generation == generation_) --inFlight_;
  }
  handing_ = false;
}

void PublishWindow::Completed(unsigned long generation) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (generation == generation_ && inFlight_ > 0) --inFlight_;
  if (!handing_) {
    handing_ = true;
    HandOnWaiting(hold);
  }
}

void PublishWindow::NewConnection() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++generation_;
  inFlight_ = 0;
}

std::deque<PublishWindow::Waiting> PublishWindow::Abandon() {
  std::deque<Waiting> waiting;
  std::lock_guard<std::mutex> hold(mutex_);
  waiting.swap(waiting_);
  ++generation_;
  inFlight_ = 0;
  return waiting;
}

int PublishWindow::InFlight() {
  std::lock_guard<std::mutex> hold(mutex_);
  return inFlight_;
}

std::size_t PublishWindow::WaitingCount() {
  std::lock_guard<std::mutex> hold(mutex_);
  return waiting_.size();
}
