#include <condition_variable>
#include <mutex>

#include "presentation/worker_wake.h"

struct WorkerWake::Impl {
  std::mutex lock;
  std::condition_variable changed;
  bool signalled = false;
};

WorkerWake::WorkerWake() : impl_(std::make_unique<Impl>()) {}
WorkerWake::~WorkerWake() = default;

void WorkerWake::Signal() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->signalled = true;
  impl_->changed.notify_one();
}

bool WorkerWake::Wait() {
  std::unique_lock<std::mutex> guard(impl_->lock);
  impl_->changed.wait(guard, [&] { return impl_->signalled; });
  impl_->signalled = false;
  return true;
}
