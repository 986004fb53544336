#include "presentation/impress/bounded_worker.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace {

// Finishes one call for the thread waiting on it.
struct Completion {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;
  bool result = false;

  void Finish(bool value) {
    {
      std::lock_guard<std::mutex> guard(lock);
      finished = true;
      result = value;
    }
    done.notify_all();
  }
  bool Wait(std::chrono::milliseconds limit, bool* value) {
    std::unique_lock<std::mutex> guard(lock);
    if (!done.wait_for(guard, limit, [this] { return finished; })) return false;
    *value = result;
    return true;
  }
};

}  // namespace

// Shared with the thread, which may outlive the worker when a call is stuck.
struct CBoundedWorker::State {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<std::function<void()>> jobs;
  bool stopping = false;
  bool stuck = false;
  std::function<void()> atEnd;
  std::thread thread;

  void Loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> guard(lock);
        wake.wait(guard, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty()) break;
        job = std::move(jobs.front());
        jobs.pop_front();
      }
      job();
    }
    std::function<void()> last;
    {
      std::lock_guard<std::mutex> guard(lock);
      last = std::move(atEnd);
    }
    if (last) last();
  }
};

CBoundedWorker::CBoundedWorker(std::function<void()> atEnd) : state_(std::make_shared<State>()) {
  state_->atEnd = std::move(atEnd);
  state_->thread = std::thread([state = state_] { state->Loop(); });
}

CBoundedWorker::~CBoundedWorker() { Stop(); }

CBoundedWorker::Outcome CBoundedWorker::Run(std::function<bool()> call,
                                            std::chrono::milliseconds limit, bool* result) {
  *result = false;
  auto completion = std::make_shared<Completion>();
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->stopping || state_->stuck) return Outcome::Refused;
    state_->jobs.push_back([state = state_.get(), call = std::move(call), completion] {
      bool value = false;
      try {
        value = call();
      } catch (const std::exception&) {
        value = false;
      }
      // Finished before the flag is cleared: a waiter that gave up either
      // saw the call finished or set the flag that is cleared here.
      completion->Finish(value);
      std::lock_guard<std::mutex> guard(state->lock);
      state->stuck = false;
    });
  }
  state_->wake.notify_one();
  if (completion->Wait(limit, result)) return Outcome::Finished;

  // No later call may queue behind this one until it comes back.
  std::lock_guard<std::mutex> guard(state_->lock);
  std::lock_guard<std::mutex> done(completion->lock);
  // One that came back between the wait's end and here is late all the same.
  if (!completion->finished) state_->stuck = true;
  return Outcome::Overran;
}

void CBoundedWorker::Post(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->stopping) return;
    state_->jobs.push_back(std::move(job));
  }
  state_->wake.notify_one();
}

bool CBoundedWorker::Stuck() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->stuck;
}

void CBoundedWorker::Stop() {
  bool stuck;
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (!state_->thread.joinable()) return;
    state_->stopping = true;
    stuck = state_->stuck;
  }
  state_->wake.notify_all();
  if (stuck) {
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
}
