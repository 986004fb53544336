#include "presentation/task_queue.h"

#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "presentation/worker_wake.h"

// The lock, the four queues, the manual-reset wake flag and the apartment's
// message queue, shared with the event sources that hold the apartment.
// `wake` rouses the worker after any change.
class CTaskQueue::Channel : public IApartment {
 public:
  bool Deliver(std::function<void()> call) override {
    std::lock_guard<std::mutex> guard(lock);
    if (closed) return false;
    messages.push_back(std::move(call));
    wake.Signal();
    return true;
  }

  std::mutex lock;
  WorkerWake wake;
  std::deque<Task> queues[kPriorities];
  bool wakeEvent = false;
  std::deque<std::function<void()>> messages;
  bool quit = false;
  bool closed = false;
};

namespace {

template <typename Call>
void RunGuarded(Call& call, const char* what) {
  try {
    call();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "presentation worker: %s ended by an exception: %s\n", what, e.what());
  } catch (...) {
    std::fprintf(stderr, "presentation worker: %s ended by an exception\n", what);
  }
}

}  // namespace

CTaskQueue::CTaskQueue(WaitCheck waitCheck)
    : channel_(std::make_shared<Channel>()), waitCheck_(std::move(waitCheck)) {
  apartment_ = channel_;
  thread_ = std::thread([this] { Run(); });
  workerId_ = thread_.get_id();
}

CTaskQueue::~CTaskQueue() {
  {
    std::lock_guard<std::mutex> guard(channel_->lock);
    channel_->quit = true;
    channel_->wake.Signal();
  }
  if (thread_.joinable()) {
    if (IsWorkerThread()) {
      thread_.detach();  // destroyed from one of its own tasks: cannot join itself
    } else {
      thread_.join();
    }
  }
  std::deque<Task> dropped[kPriorities];
  std::deque<std::function<void()>> droppedMessages;
  {
    std::lock_guard<std::mutex> guard(channel_->lock);
    channel_->closed = true;
    for (int i = 0; i < kPriorities; ++i) dropped[i].swap(channel_->queues[i]);
    droppedMessages.swap(channel_->messages);
  }
}

bool CTaskQueue::Post(Task task, int priority) {
  if (priority < 0 || priority >= kPriorities || !task) return false;
  std::lock_guard<std::mutex> guard(channel_->lock);
  if (channel_->closed) return false;
  channel_->queues[priority].push_back(std::move(task));
  channel_->wakeEvent = true;
  channel_->wake.Signal();
  return true;
}

void CTaskQueue::Run() {
  Channel& ch = *channel_;
  SetCurrentApartment(channel_);
  for (;;) {
    bool ready;
    {
      std::lock_guard<std::mutex> guard(ch.lock);
      ready = ch.wakeEvent || !ch.messages.empty() || ch.quit;
    }
    bool waited = ready || ch.wake.Wait();
    if (waited && waitCheck_) waited = waitCheck_();
    std::unique_lock<std::mutex> lock(ch.lock);
    if (!waited) {
      std::fprintf(stderr,
                   "presentation worker: waiting for tasks failed; the worker ends and "
                   "presentation commands are ignored from now on\n");
      ch.closed = true;
      std::deque<Task> dropped[kPriorities];
      for (int i = 0; i < kPriorities; ++i) dropped[i].swap(ch.queues[i]);
      ch.messages.clear();
      running_.store(false);
      lock.unlock();
      break;
    }
    if (ch.wakeEvent) {
      // Tasks before messages: the highest non-empty queue gives its oldest
      // task. The flag stays set while anything may be left.
      Task task;
      int from = -1;
      for (int i = kPriorities - 1; i >= 0; --i) {
        if (!ch.queues[i].empty()) {
          task = std::move(ch.queues[i].front());
          ch.queues[i].pop_front();
          from = i;
          break;
        }
      }
      if (from < 0 || (from == 0 && ch.queues[0].empty())) ch.wakeEvent = false;
      if (from >= 0) {
        lock.unlock();
        RunGuarded(task, "a task");
        task = nullptr;
        continue;
      }
    }
    std::deque<std::function<void()>> messages;
    messages.swap(ch.messages);
    bool quit = ch.quit;
    lock.unlock();
    for (auto& message : messages) RunGuarded(message, "an event delivery");
    if (quit && messages.empty()) break;
  }
  running_.store(false);
  SetCurrentApartment(nullptr);
}
