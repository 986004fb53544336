// The bounded worker on its own, with calls that hang until the test lets
// them go: a caller never waits past its limit, a stuck worker refuses new
// calls until the stuck one returns, and stopping does not wait for it.
#include "presentation/impress/bounded_worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Outcome = CBoundedWorker::Outcome;

// Holds the calls that wait on it until Open(); shared with the worker's
// thread, which may outlive the test's worker.
struct Gate {
  std::mutex lock;
  std::condition_variable opened;
  bool open = false;
  std::atomic<int> waiting{0};

  // Waits at most `bound` (a test that fails leaves no thread behind for
  // ever): true when opened.
  bool Pass(std::chrono::milliseconds bound = 20s) {
    ++waiting;
    std::unique_lock<std::mutex> guard(lock);
    return opened.wait_for(guard, bound, [this] { return open; });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> guard(lock);
      open = true;
    }
    opened.notify_all();
  }
};

template <typename Pred>
bool Eventually(Pred done, std::chrono::milliseconds limit = 5s) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

TEST(BoundedWorker, CallsThatComeBackGiveTheirAnswer) {
  struct Case {
    const char* what;
    std::function<bool()> call;
    bool result;
  };
  const Case cases[] = {
      {"true", [] { return true; }, true},
      {"false", [] { return false; }, false},
      {"a thrown exception is a failure", []() -> bool { throw std::runtime_error("x"); }, false},
  };
  CBoundedWorker worker;
  for (const Case& c : cases) {
    bool result = !c.result;
    EXPECT_EQ(worker.Run(c.call, 1s, &result), Outcome::Finished) << c.what;
    EXPECT_EQ(result, c.result) << c.what;
  }
  EXPECT_FALSE(worker.Stuck());
}

TEST(BoundedWorker, CallsAndPostedJobsRunInOrderOnOneThreadOfItsOwn) {
  CBoundedWorker worker;
  std::mutex lock;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  auto note = [&](int step) {
    std::lock_guard<std::mutex> guard(lock);
    order.push_back(step);
    threads.push_back(std::this_thread::get_id());
  };
  worker.Post([&] { note(1); });
  worker.Post([&] { note(2); });
  bool result = false;
  EXPECT_EQ(worker.Run(
                [&] {
                  note(3);
                  return true;
                },
                1s, &result),
            Outcome::Finished);
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_NE(threads[0], std::this_thread::get_id());
  EXPECT_EQ(threads[0], threads[1]);
  EXPECT_EQ(threads[1], threads[2]);
}

TEST(BoundedWorker, AHangingCallIsGivenUpAtItsLimitAndBlocksOthersUntilItReturns) {
  CBoundedWorker worker;
  auto gate = std::make_shared<Gate>();
  bool result = true;
  const auto start = Clock::now();
  EXPECT_EQ(worker.Run([gate] { return gate->Pass(); }, 150ms, &result), Outcome::Overran);
  const auto waited = Clock::now() - start;
  EXPECT_FALSE(result);
  EXPECT_GE(waited, 150ms);
  EXPECT_LT(waited, 2s) << "the caller waited past its limit";
  EXPECT_TRUE(worker.Stuck());

  // Nothing queues behind the stuck call: refused at once.
  const auto refusedAt = Clock::now();
  bool ran = false;
  EXPECT_EQ(worker.Run(
                [&ran] {
                  ran = true;
                  return true;
                },
                5s, &result),
            Outcome::Refused);
  EXPECT_LT(Clock::now() - refusedAt, 100ms);
  EXPECT_FALSE(ran);

  // Back from the hang, the worker takes calls again.
  gate->Open();
  ASSERT_TRUE(Eventually([&] { return !worker.Stuck(); }));
  EXPECT_EQ(worker.Run([] { return true; }, 1s, &result), Outcome::Finished);
  EXPECT_TRUE(result);
}

TEST(BoundedWorker, StoppingDoesNotWaitForAStuckCallAndItsEndStillRuns) {
  auto gate = std::make_shared<Gate>();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  {
    CBoundedWorker worker([ended] { *ended = true; });
    bool result = false;
    ASSERT_EQ(worker.Run([gate] { return gate->Pass(); }, 50ms, &result), Outcome::Overran);
    const auto stopAt = Clock::now();
    worker.Stop();
    EXPECT_LT(Clock::now() - stopAt, 500ms) << "Stop waited for the stuck call";
    // Stopped: nothing more is taken.
    EXPECT_EQ(worker.Run([] { return true; }, 1s, &result), Outcome::Refused);
  }
  EXPECT_FALSE(*ended);
  // The left thread ends once its call returns, and says so.
  gate->Open();
  EXPECT_TRUE(Eventually([&] { return ended->load(); }));
}

TEST(BoundedWorker, StoppingRunsTheQueuedJobsFirst) {
  std::atomic<int> done{0};
  auto ended = std::make_shared<std::atomic<int>>(-1);
  {
    CBoundedWorker worker([&done, ended] { *ended = done.load(); });
    for (int i = 0; i < 5; ++i) worker.Post([&done] { ++done; });
  }
  EXPECT_EQ(done.load(), 5);
  EXPECT_EQ(ended->load(), 5);
}

}  // namespace
