// Latency of a command through the presentation worker's queue, and the
// pointer moves that reach the desktop when every automation call of the
// simulated application costs 1 ms.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <benchmark/benchmark.h>

#include "presentation/powerpoint_mgr.h"
#include "presentation/simulated_office.h"

namespace {

using Clock = std::chrono::steady_clock;

// Signals from the worker to the benchmark thread.
class Signal {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(m_);
    ++count_;
    cv_.notify_all();
  }
  void WaitFor(std::uint64_t count) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return count_ >= count; });
  }
  std::uint64_t Count() {
    std::lock_guard<std::mutex> lock(m_);
    return count_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::uint64_t count_ = 0;
};

class Notify : public IPowerPointMgrNotify {
 public:
  void OnPresentationEvent(PowerPointType, std::int32_t id) override {
    if (id == 2013) {
      lastEvent.store(Clock::now().time_since_epoch().count());
      events.Set();
    }
  }
  void OnState(bool, bool) override {
    lastState.store(Clock::now().time_since_epoch().count());
    states.Set();
  }
  void OnCommandFailed(bool, bool) override {}
  void OnNotes(const std::u16string&) override {}
  void OnVersion(PowerPointType, const std::u16string&) override {}

  Signal events, states;
  std::atomic<Clock::rep> lastEvent{0}, lastState{0};
};

double Seconds(Clock::rep from, Clock::rep to) {
  return std::chrono::duration<double>(Clock::duration(to - from)).count();
}

// A bare task: post, run on the worker.
void BM_TaskQueuePostToRun(benchmark::State& state) {
  CTaskQueue queue;
  Signal ran;
  std::atomic<Clock::rep> runAt{0};
  std::uint64_t n = 0;
  for (auto _ : state) {
    const auto postedAt = Clock::now().time_since_epoch().count();
    queue.Post(
        [&] {
          runAt.store(Clock::now().time_since_epoch().count());
          ran.Set();
        },
        2);
    ran.WaitFor(++n);
    state.SetIterationTime(Seconds(postedAt, runAt.load()));
  }
}
BENCHMARK(BM_TaskQueuePostToRun)->UseManualTime()->Unit(benchmark::kMicrosecond);

// QueryState with no application installed: post, run, notify.
void BM_ManagerQueryStateLatency(benchmark::State& state) {
  CSimulatedOffice office;
  CPowerPointMgr mgr(office.Ports(nullptr));
  Notify notify;
  mgr.SetNotify(&notify);
  std::uint64_t n = 0;
  for (auto _ : state) {
    const auto postedAt = Clock::now().time_since_epoch().count();
    mgr.QueryState();
    notify.states.WaitFor(++n);
    state.SetIterationTime(Seconds(postedAt, notify.lastState.load()));
  }
}
BENCHMARK(BM_ManagerQueryStateLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

// NextSlide to the application's slide-change event back at the
// controller, the road of a phone's "next" (automation without delay).
void BM_ManagerNextSlideToEvent(benchmark::State& state) {
  CSimulatedOffice office;
  auto app = office.InstallPowerPoint();
  SimulatedPresentation big;
  big.slides.resize(1000000);
  CPowerPointMgr mgr(office.Ports(nullptr));
  Notify notify;
  mgr.SetNotify(&notify);
  mgr.QueryState();
  notify.states.WaitFor(1);
  app->OpenPresentation(big);
  app->StartShow();
  notify.events.WaitFor(1);
  std::uint64_t n = notify.events.Count();
  for (auto _ : state) {
    const auto postedAt = Clock::now().time_since_epoch().count();
    mgr.NextSlide();
    notify.events.WaitFor(++n);
    state.SetIterationTime(Seconds(postedAt, notify.lastEvent.load()));
  }
}
BENCHMARK(BM_ManagerNextSlideToEvent)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Pen strokes (PointerDown, moves, PointerUp) for one second, every
// automation call taking 1 ms (a move itself makes none; press, release and
// notes do). Arguments: the pause between two moves in microseconds (0
// floods the queue), how many moves pass between two notes requests (0:
// none), and the moves per stroke.
void BM_PointerMoveThroughput(benchmark::State& state) {
  const auto pause = std::chrono::microseconds(state.range(0));
  const std::int64_t notesEvery = state.range(1);
  const std::int64_t kStroke = state.range(2);
  constexpr std::int64_t kMaxMoves = 200000;  // bounds the flood's queue

  CSimulatedOffice office;
  auto app = office.InstallPowerPoint();
  CPowerPointMgr mgr(office.Ports(nullptr));
  Notify notify;
  mgr.SetNotify(&notify);
  mgr.QueryState();
  notify.states.WaitFor(1);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->StartShow();
  notify.events.WaitFor(1);
  app->SetCallLatency(std::chrono::milliseconds(1));

  double offered = 0, delivered = 0, seconds = 0;
  std::uint64_t queries = notify.states.Count();
  for (auto _ : state) {
    office.desktop->ClearSentInput();
    const auto start = Clock::now();
    auto next = start;
    std::int64_t posted = 0;
    while (Clock::now() - start < std::chrono::seconds(1) && posted < kMaxMoves) {
      if (posted % kStroke == 0) {
        if (posted) mgr.PointerUp();
        mgr.PointerDown(PointerPen, 0.5, 0.5);
      }
      mgr.PointerMove(0.1 + 0.8 * double(posted % kStroke) / kStroke, 0.5);
      ++posted;
      if (notesEvery && posted % notesEvery == 0) mgr.RequestNotes();
      if (pause.count()) {
        next += pause;
        std::this_thread::sleep_until(next);
      }
    }
    mgr.PointerUp();
    mgr.QueryState();  // commands run in order: this answers after the last move
    notify.states.WaitFor(++queries);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::int64_t moves = 0;
    for (const InputRecord& r : office.desktop->SentInput())
      if (r.flags == 0xC001) ++moves;
    state.SetIterationTime(elapsed);
    offered += double(posted);
    delivered += double(moves);
    seconds += elapsed;
  }
  state.counters["offered_per_s"] = offered / seconds;
  state.counters["delivered_per_s"] = delivered / seconds;
  state.counters["dropped_pct"] = offered > 0 ? 100.0 * (offered - delivered) / offered : 0;
}
BENCHMARK(BM_PointerMoveThroughput)
    ->Args({8000, 0, 50})  // 125 Hz touch
    ->Args({1000, 0, 50})  // 1 kHz
    ->Args({1000, 25, 50})
    ->Args({1000, 0, 5})     // short strokes: press and release dominate
    ->Args({0, 0, 1000000})  // one stroke, flooded
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
