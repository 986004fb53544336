// The presentation worker: one thread that runs posted tasks by priority and,
// between tasks, the deliveries of its apartment (the application's events).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "presentation/automation.h"

class CTaskQueue {
 public:
  using Task = std::function<void()>;
  // Called by the worker after each wake-up; answering false stands for a
  // failed wait (the worker then ends). Null means every wait succeeds.
  using WaitCheck = std::function<bool()>;

  static constexpr int kPriorities = 4;

  explicit CTaskQueue(WaitCheck waitCheck = {});
  // Asks the worker to quit and joins it. Tasks posted before run first;
  // deliveries still waiting are dropped.
  ~CTaskQueue();

  CTaskQueue(const CTaskQueue&) = delete;
  CTaskQueue& operator=(const CTaskQueue&) = delete;

  // Queues `task` at `priority` (0 to 3, higher runs first; FIFO within a
  // priority). False, and the task is dropped, when the priority is out of
  // range or the worker has ended.
  bool Post(Task task, int priority);

  // The worker's apartment, through which event sources reach the worker.
  std::shared_ptr<IApartment> Apartment() const { return apartment_; }

  bool IsRunning() const { return running_.load(); }
  bool IsWorkerThread() const { return std::this_thread::get_id() == workerId_; }

 private:
  class Channel;

  void Run();

  std::thread thread_;
  std::thread::id workerId_;
  std::shared_ptr<Channel> channel_;
  std::shared_ptr<IApartment> apartment_;
  WaitCheck waitCheck_;
  std::atomic<bool> running_{true};
};
