// A phone's "next" in the presenter view, measured from the manager's
// NextSlide to the new current slide's picture in hand: the slide change
// on the worker, the position it reports, and the picture asked for at that
// position, exported by the simulated application (drawn with this
// platform's graphics library) on the exporter's thread and read back.
// Reported per width: the median and 99th percentile of the iterations in
// milliseconds, the median of the slide change alone (to its position), and
// the bytes of one picture.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <benchmark/benchmark.h>

#include "presentation/powerpoint_mgr.h"
#include "presentation/simulated_office.h"

namespace {

using Clock = std::chrono::steady_clock;

class Notify : public IPowerPointMgrNotify {
 public:
  void OnPresentationEvent(PowerPointType, std::int32_t) override {}
  void OnState(bool, bool) override {}
  void OnCommandFailed(bool, bool) override {}
  void OnNotes(const std::u16string&) override {}
  void OnVersion(PowerPointType, const std::u16string&) override {}
  void OnSlidePosition(const SlidePosition& position) override {
    std::lock_guard<std::mutex> lock(m_);
    position_ = position;
    cv_.notify_all();
  }
  void OnSlideImage(const SlideImage& image) override {
    std::lock_guard<std::mutex> lock(m_);
    images_.push_back(image);
    cv_.notify_all();
  }

  // The position once it shows slide `index` (index 0 of a missed wait).
  SlidePosition WaitForSlide(std::int32_t index) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return position_.index == index; });
    return position_;
  }
  SlideImage WaitForImage() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return !images_.empty(); });
    SlideImage image;
    if (!images_.empty()) {
      image = images_.front();
      images_.clear();
    }
    return image;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  SlidePosition position_;
  std::vector<SlideImage> images_;
};

double Percentile(std::vector<double> values, int percent) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, values.size() * percent / 100)];
}

// Argument: the picture's width in pixels.
void BM_NextSlideToCurrentPicture(benchmark::State& state) {
  const auto width = static_cast<std::int32_t>(state.range(0));
  CSimulatedOffice office;
  auto app = office.InstallPowerPoint();
  SimulatedPresentation deck = CSimulatedOffice::WideSamplePresentation();
  deck.slides.resize(100000);
  app->OpenPresentation(deck);
  CPowerPointMgr mgr(office.Ports(nullptr));
  Notify notify;
  mgr.SetNotify(&notify);
  mgr.StartShow();  // queued behind the manager's start-up: its events are seen
  std::int32_t slide = notify.WaitForSlide(1).index;

  std::vector<double> ms, positionMs;
  std::size_t bytes = 0, failed = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    mgr.NextSlide();
    const SlidePosition position = notify.WaitForSlide(++slide);
    positionMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    mgr.RequestSlideImage(position.revision, position.index, width);
    const SlideImage image = notify.WaitForImage();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    ms.push_back(elapsed * 1e3);
    bytes = image.png.size();
    failed += image.png.empty();
  }
  state.counters["median_ms"] = Percentile(ms, 50);
  state.counters["p99_ms"] = Percentile(ms, 99);
  state.counters["position_median_ms"] = Percentile(positionMs, 50);
  state.counters["png_bytes"] = double(bytes);
  state.counters["failed"] = double(failed);
}
BENCHMARK(BM_NextSlideToCurrentPicture)
    ->Arg(1080)
    ->Arg(400)
    ->Iterations(200)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
