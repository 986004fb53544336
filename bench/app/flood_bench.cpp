// A phone that floods the PC: N pen moves over the direct session's TCP,
// then "next" (or "prev"), timed from the moment the last byte was handed
// to the socket until the show's View.Next/Previous runs. The moves of a
// stroke wait as one and the PC reads only as fast as it works, so the
// figure stays near a single command's however long the flood; the PC's
// resident memory is reported beside it (growth over the whole run). No
// broker: the relay's start fails and the LAN carries the pairing.
#include <benchmark/benchmark.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/app/timed_automation.h"
#include "net/direct_frame.h"
#include "tests/e2e/support/pc_harness.h"
#include "tools/phone/phone_link.h"

namespace {

using bench::Clock;
using bench::kLimit;
using bench::NavigationClock;
using bench::TimedFactory;

long ResidentKib() {
  long kib = 0;
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      if (std::sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
    }
    std::fclose(f);
  }
  return kib;
}

void PenFloodThenNext(benchmark::State& state) {
  auto clock = std::make_shared<NavigationClock>();
  e2e::PcOptions options;
  options.brokerUri = "tcp://127.0.0.1:9";  // nothing listens: the relay cannot start
  options.wrapAutomation = [clock](std::shared_ptr<IAutomationFactory> inner) {
    return std::make_shared<TimedFactory>(std::move(inner), clock);
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

  // The same phone on a raw connection from its address takes its place.
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket flood(io);
  flood.connect({boost::asio::ip::make_address("127.0.0.1"),
                 pc.PhoneOptionsFor(phone::Transport::DirectTcp).directPort});
  boost::asio::write(flood,
                     boost::asio::buffer(EncodeFrame(R"({"msg":"pen_down","x":0.1,"y":0.1})")));
  std::string chunk;
  for (int i = 0; i < 1000; ++i) {
    chunk +=
        EncodeFrame(R"({"msg":"pen_move","x":0.)" + std::to_string(100 + i % 800) + R"(,"y":0.5})");
  }
  const long moves = state.range(0);
  const long before = ResidentKib();
  long peak = before;
  std::vector<double> micros;
  bool forward = true;
  for (auto _ : state) {
    for (long sent = 0; sent < moves; sent += 1000) {
      boost::asio::write(flood, boost::asio::buffer(chunk));
    }
    peak = std::max(peak, ResidentKib());
    const std::uint64_t target = clock->Calls() + 1;
    boost::asio::write(flood, boost::asio::buffer(EncodeFrame(forward ? R"({"msg":"next"})"
                                                                      : R"({"msg":"prev"})")));
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
