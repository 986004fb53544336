#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "presentation/task_queue.h"

namespace {

// Holds the worker inside a task until opened.
class Gate {
 public:
  void Block() {
    std::unique_lock<std::mutex> lock(m_);
    entered_ = true;
    cv_.notify_all();
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return open_; });
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return entered_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(m_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool entered_ = false;
  bool open_ = false;
};

class Log {
 public:
  void Add(std::string item) {
    std::lock_guard<std::mutex> lock(m_);
    items_.push_back(std::move(item));
    cv_.notify_all();
  }
  bool WaitSize(std::size_t n) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return items_.size() >= n; });
  }
  std::vector<std::string> Items() {
    std::lock_guard<std::mutex> lock(m_);
    return items_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> items_;
};

TEST(TaskQueue, HigherPrioritiesFirstAndFifoWithinOne) {
  Gate gate;
  Log log;
  CTaskQueue queue;
  queue.Post([&] { gate.Block(); }, 2);
  ASSERT_TRUE(gate.WaitEntered());
  queue.Post([&] { log.Add("p0"); }, 0);
  queue.Post([&] { log.Add("p1a"); }, 1);
  queue.Post([&] { log.Add("p3"); }, 3);
  queue.Post([&] { log.Add("p1b"); }, 1);
  queue.Post([&] { log.Add("p2"); }, 2);
  gate.Open();
  ASSERT_TRUE(log.WaitSize(5));
  EXPECT_EQ(log.Items(), (std::vector<std::string>{"p3", "p2", "p1a", "p1b", "p0"}));
}

TEST(TaskQueue, RefusesPrioritiesOutOfRange) {
  CTaskQueue queue;
  EXPECT_FALSE(queue.Post([] {}, -1));
  EXPECT_FALSE(queue.Post([] {}, 4));
  EXPECT_FALSE(queue.Post(nullptr, 2));
  EXPECT_TRUE(queue.Post([] {}, 0));
}

TEST(TaskQueue, DeliveriesRunOnTheWorkerBetweenTasks) {
  Gate gate;
  Log log;
  CTaskQueue queue;
  std::atomic<bool> onWorker{false};
  std::shared_ptr<IApartment> seenApartment;
  queue.Post(
      [&] {
        seenApartment = CurrentApartment();
        gate.Block();
      },
      2);
  ASSERT_TRUE(gate.WaitEntered());
  auto apartment = queue.Apartment();
  apartment->Deliver([&] {
    onWorker = queue.IsWorkerThread();
    log.Add("event");
  });
  queue.Post([&] { log.Add("task"); }, 1);
  gate.Open();
  ASSERT_TRUE(log.WaitSize(2));
  // Tasks waiting are served before the deliveries.
  EXPECT_EQ(log.Items(), (std::vector<std::string>{"task", "event"}));
  EXPECT_TRUE(onWorker);
  EXPECT_EQ(seenApartment, apartment);
  EXPECT_EQ(CurrentApartment(), nullptr);  // the test thread is no apartment
}

TEST(TaskQueue, DestructionRunsEveryQueuedTask) {
  Gate gate;
  std::atomic<int> ran{0};
  std::shared_ptr<IApartment> apartment;
  {
    CTaskQueue queue;
    apartment = queue.Apartment();
    queue.Post([&] { gate.Block(); }, 2);
    ASSERT_TRUE(gate.WaitEntered());
    for (int i = 0; i < 50; ++i) queue.Post([&] { ++ran; }, i % 4);
    gate.Open();
  }
  EXPECT_EQ(ran.load(), 50);
  // An event source that outlives the worker is told so.
  EXPECT_FALSE(apartment->Deliver([] {}));
}

TEST(TaskQueue, AThrowingTaskDoesNotEndTheWorker) {
  Log log;
  testing::internal::CaptureStderr();
  CTaskQueue queue;
  queue.Post([] { throw std::runtime_error("boom"); }, 2);
  queue.Post([&] { log.Add("after"); }, 2);
  ASSERT_TRUE(log.WaitSize(1));
  EXPECT_TRUE(queue.IsRunning());
  EXPECT_NE(testing::internal::GetCapturedStderr().find("boom"), std::string::npos);
}

TEST(TaskQueue, FailedWaitEndsTheWorkerAndRefusesPosts) {
  testing::internal::CaptureStderr();
  CTaskQueue queue([] { return false; });
  queue.Post([] {}, 2);
  for (int i = 0; i < 500 && queue.IsRunning(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(queue.IsRunning());
  EXPECT_FALSE(queue.Post([] {}, 2));
  EXPECT_FALSE(queue.Apartment()->Deliver([] {}));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("waiting for tasks failed"),
            std::string::npos);
}

}  // namespace
