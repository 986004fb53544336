// What the end-to-end benches share: latency reports, and the presentation
// application's automation objects wrapped so that the moment View.Next or
// View.Previous is invoked can be waited for and read.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "presentation/automation.h"
#include "tests/support/wrapped_automation.h"

namespace bench {

using Clock = std::chrono::steady_clock;

// Longest wait for any single answer.
constexpr std::chrono::seconds kLimit{5};

inline double Micros(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Median, 99th percentile and slowest of the samples, in microseconds.
inline void Report(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  state.counters["max_us"] = micros.back();
  state.counters["samples"] = static_cast<double>(micros.size());
}

// Records when the show's View.Next or View.Previous is invoked.
struct NavigationClock {
  std::mutex lock;
  std::condition_variable called;
  std::uint64_t calls = 0;
  Clock::time_point last;

  void Mark() {
    {
      std::lock_guard<std::mutex> guard(lock);
      ++calls;
      last = Clock::now();
    }
    called.notify_all();
  }
  // Waits for call number `n`; its time, or nothing after the limit.
  bool WaitCall(std::uint64_t n, Clock::time_point& when) {
    std::unique_lock<std::mutex> guard(lock);
    if (!called.wait_for(guard, kLimit, [&] { return calls >= n; })) return false;
    when = last;
    return true;
  }
  std::uint64_t Calls() {
    std::lock_guard<std::mutex> guard(lock);
    return calls;
  }
};

// The application's objects wrapped so that the clock is marked whenever
// View.Next or View.Previous is invoked.
inline std::shared_ptr<IAutomationFactory> TimedFactory(std::shared_ptr<IAutomationFactory> inner,
                                                        std::shared_ptr<NavigationClock> clock) {
  test_support::AutomationHooks hooks;
  hooks.beforeCall = [clock](const std::u16string& member, InvokeKind kind) {
    if (kind == InvokeKind::Method && (member == u"Next" || member == u"Previous")) clock->Mark();
  };
  return std::make_shared<test_support::WrappedFactory>(std::move(inner), std::move(hooks));
}

}  // namespace bench
