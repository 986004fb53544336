// A phone that floods the PC: N pen moves over the direct session's TCP,
// then "next" (or "prev"), timed from the moment the last byte was handed
// to the socket until the show's View.Next/Previous runs. The moves of a
// stroke wait as one and the PC reads only as fast as it works, so the
// figure stays near a single command's however long the flood; the PC's
// resident memory is reported beside it (growth over the whole run). No
// broker: the relay's start fails and the LAN carries the pairing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/app/timed_automation.h"
#include "tests/e2e/support/pc_harness.h"
#include "tests/e2e/support/pen_flood.h"
#include "tests/support/resident_memory.h"
#include "tools/phone/phone_link.h"

namespace {

using bench::Clock;
using bench::kLimit;
using bench::NavigationClock;
using bench::TimedFactory;
using e2e::PenFlood;

void PenFloodThenNext(benchmark::State& state) {
  auto clock = std::make_shared<NavigationClock>();
  e2e::PcOptions options;
  options.brokerUri = "tcp://127.0.0.1:9";  // nothing listens: the relay cannot start
  options.wrapAutomation = [clock](std::shared_ptr<IAutomationFactory> inner) {
    return TimedFactory(std::move(inner), clock);
  };
  e2e::PcHarness pc(options);
  pc.Start(std::chrono::milliseconds(1));
  if (!pc.WaitState(e2e::PcHarness::State::WaitingForPhone, kLimit)) {
    state.SkipWithError("the PC shows no code");
    return;
  }
  std::string why;
  auto link = pc.JoinPhone(phone::Transport::DirectTcp, false, &why);
  phone::PhoneMessage m;
  if (!link || !link->SendHello() || !link->WaitFor("state", m, kLimit)) {
    state.SkipWithError(("no paired phone: " + why).c_str());
    return;
  }
  link->Send(R"({"msg":"start"})");
  e2e::WaitUntil([&] { return pc.App()->Snapshot().showRunning; }, kLimit);
  link->Close();

  PenFlood flood(pc.PhoneOptionsFor(phone::Transport::DirectTcp).directPort);
  const long moves = state.range(0);
  const long before = ResidentKib();
  long peak = before;
  std::vector<double> micros;
  bool forward = true;
  for (auto _ : state) {
    for (long sent = 0; sent < moves; sent += PenFlood::kChunkMoves) flood.Moves();
    peak = std::max(peak, ResidentKib());
    const std::uint64_t target = clock->Calls() + 1;
    flood.Step(forward);
    const auto sent = Clock::now();
    forward = !forward;
    Clock::time_point called;
    if (!clock->WaitCall(target, called)) {
      state.SkipWithError("the step did not run");
      return;
    }
    micros.push_back(bench::Micros(called - sent));
  }
  bench::Report(state, micros);
  state.counters["rss_growth_kib"] = static_cast<double>(std::max(peak, ResidentKib()) - before);
}

BENCHMARK(PenFloodThenNext)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
