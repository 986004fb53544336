// What the presenter view costs in Impress: one slide exported as a PNG of
// 1080 pixels' width (the time, and the bytes per picture), for a 16:9 and
// a 4:3 deck that ship with LibreOffice, and Impress's own slide change (the
// show controller's jump to a slide until the show announces the change),
// beside which the export time is to be read.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "presentation/impress/impress_office.h"
#include "tests/support/impress_session.h"

namespace {

constexpr char kTemplates[] = "/usr/lib/libreoffice/share/template/common/presnt/";
constexpr std::int32_t kWidth = 1080;
constexpr auto kEventLimit = std::chrono::seconds(10);

// One office with one deck open, for the whole run of a benchmark.
class Deck {
 public:
  // A template that ships with LibreOffice saved as a presentation, or,
  // without one, a plain deck of eight title slides.
  explicit Deck(const char* templateName) {
    if (!session_.Unavailable().empty()) {
      error_ = session_.Unavailable();
      return;
    }
    std::vector<ImpressDeckSlide> plain;
    for (int i = 1; i <= 8; ++i) plain.push_back({"Slide " + std::to_string(i), ""});
    const std::string path =
        templateName ? session_.ConvertDeck(std::string(kTemplates) + templateName, "odp")
                     : session_.WriteDeck("plain.fodp", plain);
    ImpressLinkOptions options;
    options.pipeName = session_.PipeName();
    options.profileUrl = session_.ProfileUrl();
    options.startLimit = std::chrono::seconds(120);
    link_ = std::make_unique<CImpressLink>(options);
    const bool ok = !path.empty() && link_->Connect(true) && link_->Open(path);
    session_.Adopt(link_->StartedProcess());
    if (!ok) error_ = "LibreOffice did not start or open the deck";
  }
  ~Deck() { link_.reset(); }
  const std::string& Error() const { return error_; }
  CImpressLink& Link() { return *link_; }
  std::string File(const std::string& name) {
    return "/tmp/pivaro-bench-" + std::to_string(getpid()) + "-" + name;
  }

 private:
  ImpressSession session_;
  std::unique_ptr<CImpressLink> link_;
  std::string error_;
};

void ExportEachSlide(benchmark::State& state, const char* templateName) {
  Deck deck(templateName);
  std::int32_t count = 0, w = 0, h = 0;
  if (deck.Error().empty() &&
      (!deck.Link().SlideCount(&count) || !deck.Link().SlideSize(&w, &h) || count < 1))
    state.SkipWithError("the deck has no slides");
  if (!deck.Error().empty()) state.SkipWithError(deck.Error().c_str());
  if (count < 1 || w <= 0) return;
  const std::int32_t rows = static_cast<std::int32_t>(std::lround(double(kWidth) * h / w));
  const std::string file = deck.File("slide.png");
  std::int32_t index = 0;
  double bytes = 0;
  for (auto _ : state) {
    if (!deck.Link().ExportSlide(index, file, kWidth, rows)) {
      state.SkipWithError("an export failed");
      break;
    }
    struct stat info {};
    if (stat(file.c_str(), &info) == 0) bytes += double(info.st_size);
    index = (index + 1) % count;
  }
  unlink(file.c_str());
  state.counters["bytes_per_image"] = benchmark::Counter(bytes, benchmark::Counter::kAvgIterations);
  state.counters["slides"] = count;
}

void BM_ImpressExport1080_16x9(benchmark::State& state) { ExportEachSlide(state, "Progress.otp"); }
BENCHMARK(BM_ImpressExport1080_16x9)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(40);

void BM_ImpressExport1080_4x3(benchmark::State& state) { ExportEachSlide(state, "Vintage.otp"); }
BENCHMARK(BM_ImpressExport1080_4x3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(40);

// Impress's own slide change: the controller's jump until the show's
// listener hears the transition start.
void GotoSlideToChange(benchmark::State& state, const char* templateName) {
  Deck deck(templateName);
  if (!deck.Error().empty()) {
    state.SkipWithError(deck.Error().c_str());
    return;
  }
  std::mutex lock;
  std::condition_variable changed;
  std::uint64_t changes = 0;
  deck.Link().SetEventHandler([&](ImpressEvent event) {
    if (event != ImpressEvent::SlideChanged) return;
    std::lock_guard<std::mutex> guard(lock);
    ++changes;
    changed.notify_all();
  });
  std::int32_t count = 0;
  if (!deck.Link().StartShow() || !deck.Link().SlideCount(&count) || count < 2) {
    state.SkipWithError("the show did not start");
  } else {
    std::int32_t target = 1;
    for (auto _ : state) {
      std::unique_lock<std::mutex> guard(lock);
      const std::uint64_t before = changes;
      guard.unlock();
      if (!deck.Link().GotoSlide(target)) {
        state.SkipWithError("the jump failed");
        break;
      }
      guard.lock();
      if (!changed.wait_for(guard, kEventLimit, [&] { return changes > before; })) {
        state.SkipWithError("no slide change within 10 s");
        break;
      }
      target = (target + 1) % count;
    }
    deck.Link().EndShow();
  }
  deck.Link().SetEventHandler(nullptr);
}
void BM_ImpressGotoSlideToChange_16x9(benchmark::State& state) {
  GotoSlideToChange(state, "Progress.otp");
}
BENCHMARK(BM_ImpressGotoSlideToChange_16x9)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(40);

void BM_ImpressGotoSlideToChange_Plain(benchmark::State& state) {
  GotoSlideToChange(state, nullptr);
}
BENCHMARK(BM_ImpressGotoSlideToChange_Plain)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(100);

}  // namespace

BENCHMARK_MAIN();
