// A "next" through the presentation manager until the application announces
// the slide change: LibreOffice Impress over UNO beside the simulated
// application. Impress runs on a virtual display of the program's own.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include <benchmark/benchmark.h>

#include "presentation/impress/impress_office.h"
#include "presentation/powerpoint_mgr.h"
#include "presentation/simulated_office.h"
#include "tests/support/impress_session.h"

namespace {

constexpr int kSlides = 40;
constexpr auto kEventLimit = std::chrono::seconds(10);

class ChangeNotify : public IPowerPointMgrNotify {
 public:
  void OnPresentationEvent(PowerPointType, std::int32_t id) override {
    std::lock_guard<std::mutex> lock(m_);
    if (id == EventSlideShowNextSlide) ++changes_;
    if (id == EventSlideShowBegin) ++begins_;
    cv_.notify_all();
  }
  void OnState(bool, bool) override {}
  void OnCommandFailed(bool, bool) override {}
  void OnNotes(const std::u16string&) override {}
  void OnVersion(PowerPointType, const std::u16string&) override {}

  std::uint64_t Changes() {
    std::lock_guard<std::mutex> lock(m_);
    return changes_;
  }
  bool WaitChanges(std::uint64_t n) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, kEventLimit, [&] { return changes_ >= n; });
  }
  bool WaitBegin() {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, kEventLimit, [&] { return begins_ > 0; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::uint64_t changes_ = 0, begins_ = 0;
};

// Next and previous in turn, so that the show never runs out of slides;
// each iteration times one step until its slide-change event.
void StepAndWait(benchmark::State& state, CPowerPointMgr& mgr, ChangeNotify& notify) {
  bool forward = true;
  for (auto _ : state) {
    const std::uint64_t before = notify.Changes();
    if (forward) {
      mgr.NextSlide();
    } else {
      mgr.PreviousSlide();
    }
    forward = !forward;
    if (!notify.WaitChanges(before + 1)) {
      state.SkipWithError("no slide change within 10 s");
      return;
    }
  }
}

void BM_SimulatedNextToSlideChange(benchmark::State& state) {
  CSimulatedOffice office;
  auto app = office.InstallPowerPoint(u"16.0");
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  ChangeNotify notify;
  CPowerPointMgr mgr(office.Ports());
  mgr.SetNotify(&notify);
  mgr.StartShow();
  if (!notify.WaitBegin()) {
    state.SkipWithError("the simulated show did not start");
    return;
  }
  StepAndWait(state, mgr, notify);
  mgr.SetNotify(nullptr);
}
BENCHMARK(BM_SimulatedNextToSlideChange)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ImpressNextToSlideChange(benchmark::State& state) {
  ImpressSession session;
  if (!session.Unavailable().empty()) {
    state.SkipWithError(session.Unavailable().c_str());
    return;
  }
  std::vector<ImpressDeckSlide> slides;
  for (int i = 1; i <= kSlides; ++i)
    slides.push_back({"Slide " + std::to_string(i), "Notes " + std::to_string(i)});
  ImpressLinkOptions options;
  options.pipeName = session.PipeName();
  options.profileUrl = session.ProfileUrl();
  options.startLimit = std::chrono::seconds(120);
  auto office = std::make_unique<CImpressOffice>(options);
  if (!office->Link().Connect(true) ||
      !office->Link().Open(session.WriteDeck("bench.fodp", slides))) {
    session.Adopt(office->Link().StartedProcess());
    state.SkipWithError("LibreOffice did not start or open the deck");
    return;
  }
  session.Adopt(office->Link().StartedProcess());
  ChangeNotify notify;
  {
    CPowerPointMgr mgr(office->Ports());
    mgr.SetNotify(&notify);
    mgr.StartShow();
    if (notify.WaitBegin()) {
      StepAndWait(state, mgr, notify);
    } else {
      state.SkipWithError("the Impress show did not start");
    }
    mgr.SetNotify(nullptr);
  }
  office.reset();
}
BENCHMARK(BM_ImpressNextToSlideChange)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Iterations(200);

}  // namespace

BENCHMARK_MAIN();
