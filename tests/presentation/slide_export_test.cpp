// The presenter view's side of the manager over the simulated application:
// the show's position after each change, the deck's revision, slide pictures
// by revision, index and width, and the exporter's bounds (waiting requests,
// a hung export, destruction during one).
#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "presentation/simulated_office.h"
#include "presentation/slide_deck.h"
#include "recording_notify.h"
#include "slide_files.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kWide = 720.0 / 405.0;
constexpr double kStandard = 720.0 / 540.0;

class PresenterTest : public ::testing::Test {
 protected:
  void Start(SimulatedAppKind kind, SimulatedPresentation deck,
             CSlideExporter::Limits limits = {}) {
    app =
        kind == SimulatedAppKind::PowerPointLike ? office.InstallPowerPoint() : office.InstallWps();
    app->OpenPresentation(std::move(deck));
    manager = std::make_unique<CPowerPointMgr>(office.Ports(), CTaskQueue::WaitCheck(), limits);
    manager->SetNotify(&notify);
    Settle();
  }

  // Every command before it has run once its state answer is in.
  void Settle() {
    const std::size_t before = notify.Locked([&] { return notify.states.size(); });
    manager->QueryState();
    ASSERT_TRUE(notify.WaitFor([&] { return notify.states.size() > before; }));
  }

  // Runs `act` and waits for the `count` events it raises: the application's
  // events reach the worker after the commands queued meanwhile, so a state
  // answer alone does not show them.
  void AwaitEvents(std::size_t count, const std::function<void()>& act) {
    const std::size_t before = notify.Locked([&] { return notify.events.size(); });
    act();
    ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() >= before + count; }));
  }

  SlidePosition Position() {
    return notify.Locked([&] { return notify.positions.back().position; });
  }

  // Asks for pictures and waits for as many answers; returns the new ones.
  std::vector<SlideImage> Pictures(const std::vector<std::tuple<std::string, int, int>>& asks) {
    const std::size_t before = notify.Locked([&] { return notify.images.size(); });
    for (const auto& [revision, index, width] : asks)
      manager->RequestSlideImage(revision, index, width);
    EXPECT_TRUE(notify.WaitFor([&] { return notify.images.size() >= before + asks.size(); }));
    return notify.Locked([&] {
      return std::vector<SlideImage>(notify.images.begin() + before, notify.images.end());
    });
  }

  void TearDown() override {
    manager.reset();
    if (app) app->HoldExports(false);
  }

  CSimulatedOffice office;
  std::shared_ptr<CSimulatedPresentationApp> app;
  RecordingNotify notify;
  std::unique_ptr<CPowerPointMgr> manager;
};

struct ShowCase {
  SimulatedAppKind kind;
  bool wide;  // the 16:9 sample, else the 4:3 one
};

void PrintTo(const ShowCase& c, std::ostream* out) {
  *out << (c.kind == SimulatedAppKind::WpsLike ? "WPS-like" : "PowerPoint-like")
       << (c.wide ? ", 16:9" : ", 4:3");
}

class PresenterStepsTest : public PresenterTest, public ::testing::WithParamInterface<ShowCase> {};

// Each step of the show and where it leaves the position; the position
// arrives before the event that announces the step.
TEST_P(PresenterStepsTest, PositionFollowsEveryStepOfTheShow) {
  struct Step {
    const char* what;
    std::function<void(CPowerPointMgr&)> act;
    std::int32_t index;
  };
  const std::vector<Step> steps = {
      {"start", [](CPowerPointMgr& m) { m.StartShow(); }, 1},
      {"next", [](CPowerPointMgr& m) { m.NextSlide(); }, 2},
      {"goto 4", [](CPowerPointMgr& m) { m.GotoSlide(4); }, 4},
      {"previous", [](CPowerPointMgr& m) { m.PreviousSlide(); }, 3},
      {"last", [](CPowerPointMgr& m) { m.LastSlide(); }, 5},
      {"goto 1", [](CPowerPointMgr& m) { m.GotoSlide(1); }, 1},
      {"end", [](CPowerPointMgr& m) { m.ExitShow(); }, 0},
  };
  const ShowCase c = GetParam();
  Start(c.kind, c.wide ? CSimulatedOffice::WideSamplePresentation()
                       : CSimulatedOffice::SamplePresentation());
  const double aspect = c.wide ? kWide : kStandard;
  const SlidePosition idle = Position();  // with the state answer: no show yet
  EXPECT_EQ(idle.index, 0);
  EXPECT_EQ(idle.count, 5);
  EXPECT_DOUBLE_EQ(idle.aspect, aspect);
  EXPECT_TRUE(idle.images);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const std::size_t events = notify.Locked([&] { return notify.events.size(); });
    step.act(*manager);
    ASSERT_TRUE(notify.WaitFor(
        [&] { return notify.events.size() > events && notify.events.back().id != 2011; }));
    const auto last = notify.Locked([&] { return notify.positions.back(); });
    EXPECT_EQ(last.position.index, step.index);
    EXPECT_EQ(last.position.count, 5);
    EXPECT_DOUBLE_EQ(last.position.aspect, aspect);
    EXPECT_EQ(last.position.revision, idle.revision);  // a saved deck keeps it
    EXPECT_EQ(last.eventsBefore, notify.Locked([&] { return notify.events.size(); }) - 1);
  }
  // Out of range: nothing moves, and the next state answer says so.
  manager->StartShow();
  manager->GotoSlide(9);
  manager->GotoSlide(0);
  Settle();
  EXPECT_EQ(Position().index, 1);
  EXPECT_EQ(app->Snapshot().currentSlide, 1);
}

INSTANTIATE_TEST_SUITE_P(Applications, PresenterStepsTest,
                         ::testing::Values(ShowCase{SimulatedAppKind::PowerPointLike, true},
                                           ShowCase{SimulatedAppKind::WpsLike, false}),
                         [](const auto& info) {
                           return std::string(info.param.kind == SimulatedAppKind::WpsLike
                                                  ? "Wps"
                                                  : "PowerPoint") +
                                  (info.param.wide ? "Wide" : "Standard");
                         });

TEST_F(PresenterTest, RevisionIsStableForASavedDeckAndNewAfterAnEdit) {
  Start(SimulatedAppKind::PowerPointLike, CSimulatedOffice::WideSamplePresentation());
  AwaitEvents(2, [&] { manager->StartShow(); });
  const std::string saved = Position().revision;
  ASSERT_EQ(saved.size(), 10u);
  const auto before = Pictures({{saved, 2, 320}, {saved, 2, 320}});
  ASSERT_FALSE(before[0].png.empty());
  EXPECT_EQ(before[0].png, before[1].png);  // the same slide draws the same
  AwaitEvents(2, [&] {
    manager->NextSlide();
    manager->PreviousSlide();
  });
  EXPECT_EQ(Position().revision, saved);

  // An edit (no event) shows at the next position; each slide change of the
  // unsaved deck names it anew.
  ASSERT_TRUE(app->EditSlide(2, u"Agenda, revised"));
  Settle();
  const std::string edited = Position().revision;
  EXPECT_NE(edited, saved);
  AwaitEvents(1, [&] { manager->NextSlide(); });
  const std::string moved = Position().revision;
  EXPECT_NE(moved, edited);
  const auto after = Pictures({{saved, 2, 320}, {edited, 2, 320}, {moved, 2, 320}});
  EXPECT_TRUE(after[0].png.empty()) << "stale revision";
  EXPECT_TRUE(after[1].png.empty()) << "stale revision";
  ASSERT_FALSE(after[2].png.empty());
  EXPECT_NE(after[2].png, before[0].png);
  app->SetSaved(true);
  Settle();
  EXPECT_EQ(Position().revision, saved);
}

TEST_F(PresenterTest, PicturesHaveTheAskedWidthAndTheDecksAspectOrAreRefused) {
  struct Ask {
    const char* what;
    bool currentRevision;
    std::int32_t index, width;
    std::int32_t answeredWidth, height;  // height 0: refused
  };
  const Ask asks[] = {
      {"phone width", true, 1, 1080, 1080, 608},
      {"odd width rounds the height", true, 5, 17, 17, 10},
      {"zero width is the smallest", true, 3, 0, 16, 9},
      {"negative width is the smallest", true, 3, -5, 16, 9},
      {"huge width is the largest", true, 2, 100000, 2048, 1152},
      {"index 0", true, 0, 320, 320, 0},
      {"past the last slide", true, 6, 320, 320, 0},
      {"stale revision", false, 1, 320, 320, 0},
  };
  Start(SimulatedAppKind::PowerPointLike, CSimulatedOffice::WideSamplePresentation());
  const std::string revision = Position().revision;
  std::vector<std::tuple<std::string, int, int>> requests;
  for (const Ask& a : asks)
    requests.emplace_back(a.currentRevision ? revision : "0000000000", a.index, a.width);
  const auto images = Pictures(requests);
  ASSERT_EQ(images.size(), std::size(asks));
  for (std::size_t i = 0; i < images.size(); ++i) {
    const Ask& a = asks[i];
    SCOPED_TRACE(a.what);
    EXPECT_EQ(images[i].index, a.index);
    EXPECT_EQ(images[i].revision, std::get<0>(requests[i]));
    EXPECT_EQ(images[i].width, a.answeredWidth);
    const PngSize size = ReadPngSize(images[i].png);
    EXPECT_EQ(size.width, a.height ? a.answeredWidth : 0);
    EXPECT_EQ(size.height, a.height);
  }
  // Nothing is left in the export folder.
  EXPECT_TRUE(std::filesystem::is_empty(SlideExportFolder()));
}

TEST_F(PresenterTest, FailingExportIsAnsweredFailedOncePerRequest) {
  Start(SimulatedAppKind::WpsLike, CSimulatedOffice::SamplePresentation());
  const std::string revision = Position().revision;
  app->FailMember(u"Export", kFail);
  const auto images = Pictures({{revision, 1, 320}, {revision, 2, 640}});
  ASSERT_EQ(images.size(), 2u);
  for (const SlideImage& image : images) EXPECT_TRUE(image.png.empty());
  std::this_thread::sleep_for(50ms);  // a window in which no second answer may come
  EXPECT_EQ(notify.Locked([&] { return notify.images.size(); }), 2u);
  // Without a deck there is nothing to export.
  app->ClosePresentation();
  app->FailMember(u"Export", kOk);
  EXPECT_TRUE(Pictures({{revision, 1, 320}})[0].png.empty());
}

// An export that hangs holds up neither the show nor the phone's other
// pictures for longer than the hang limit, nor the manager's destruction.
TEST_F(PresenterTest, HungExportKeepsTheShowGoingAndFailsPicturesUntilItReturns) {
  CSlideExporter::Limits limits;
  limits.hangAfter = 1s;
  Start(SimulatedAppKind::PowerPointLike, CSimulatedOffice::WideSamplePresentation(), limits);
  AwaitEvents(2, [&] { manager->StartShow(); });
  const std::string revision = Position().revision;
  app->HoldExports(true);
  manager->RequestSlideImage(revision, 1, 1080);
  ASSERT_TRUE(app->WaitForHeldExport(5s));

  const std::size_t events = notify.Locked([&] { return notify.events.size(); });
  const auto sent = Clock::now();
  manager->NextSlide();
  ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() > events; }));
  EXPECT_LT(Clock::now() - sent, 100ms);
  EXPECT_EQ(app->Snapshot().currentSlide, 2);

  // Waiting behind the held export until it counts as hung, then failed;
  // after that, failed at once.
  manager->RequestSlideImage(revision, 2, 1080);
  manager->RequestSlideImage(revision, 3, 1080);
  EXPECT_EQ(notify.Locked([&] { return notify.images.size(); }), 0u);
  ASSERT_TRUE(notify.WaitFor([&] { return notify.images.size() == 2; }));
  const auto hungAt = Clock::now();
  manager->RequestSlideImage(revision, 4, 1080);
  ASSERT_TRUE(notify.WaitFor([&] { return notify.images.size() == 3; }));
  EXPECT_LT(Clock::now() - hungAt, 100ms);
  for (const SlideImage& image : notify.Locked([&] { return notify.images; }))
    EXPECT_TRUE(image.png.empty());

  // Destroyed while the export still hangs: it returns, and the held
  // request is answered too.
  const auto destroying = Clock::now();
  manager.reset();
  EXPECT_LT(Clock::now() - destroying, 1s);
  const auto images = notify.Locked([&] { return notify.images; });
  ASSERT_EQ(images.size(), 4u);
  EXPECT_EQ(images.back().index, 1);
  EXPECT_TRUE(images.back().png.empty());
  app->HoldExports(false);
}

// The exporter alone: what waits is bounded, the oldest ask is the one
// pushed out, and the running export is not counted.
TEST(SlideExporterTest, WaitingRequestsAreBoundedAndTheNewestKept) {
  CSimulatedOffice office;
  auto app = office.InstallPowerPoint();
  app->OpenPresentation(CSimulatedOffice::WideSamplePresentation());
  AutomationPtr presentation;
  GetObjectProperty(app->CreateApplicationObject().get(), u"ActivePresentation", &presentation);
  DeckFacts facts;
  ASSERT_TRUE(ReadDeckFacts(presentation.get(), &facts));
  const std::string revision = DeckRevision(facts, 7);

  RecordingNotify notify;
  {
    CSlideExporter exporter(office.factory, [&](const SlideImage& i) { notify.OnSlideImage(i); });
    exporter.SetTarget(u"PowerPoint.Application", 7);
    app->HoldExports(true);
    exporter.Request(revision, 1, 64);
    ASSERT_TRUE(app->WaitForHeldExport(5s));
    for (int width = 100; width < 110; ++width) exporter.Request(revision, 2, width);
    // Ten behind a running one: the two oldest go at once.
    ASSERT_TRUE(notify.WaitFor([&] { return notify.images.size() == 2; }));
    app->HoldExports(false);
    ASSERT_TRUE(notify.WaitFor([&] { return notify.images.size() == 11; }));
  }
  const auto images = notify.Locked([&] { return notify.images; });
  std::vector<std::int32_t> failed, drawn;
  for (const SlideImage& image : images)
    (image.png.empty() ? failed : drawn).push_back(image.width);
  EXPECT_EQ(failed, (std::vector<std::int32_t>{100, 101}));
  EXPECT_EQ(drawn, (std::vector<std::int32_t>{64, 102, 103, 104, 105, 106, 107, 108, 109}));
}

// Asks from several threads at once, good and bad mixed, some made from
// inside an answer as a cache's prefetch would: each is answered exactly
// once, and only the good ones with a picture.
TEST(SlideExporterTest, EveryRequestIsAnsweredOnceUnderAFlood) {
  CSimulatedOffice office;
  auto app = office.InstallWps();
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  AutomationPtr presentation;
  GetObjectProperty(app->CreateApplicationObject().get(), u"ActivePresentation", &presentation);
  DeckFacts facts;
  ASSERT_TRUE(ReadDeckFacts(presentation.get(), &facts));
  const std::string revision = DeckRevision(facts, 0);

  constexpr int kThreads = 4, kEach = 40;
  std::mutex lock;
  std::multiset<std::tuple<std::string, int, int>> asked, answered;
  int drawn = 0;
  std::function<void(const SlideImage&)> deliver;
  CSlideExporter exporter(office.factory, [&](const SlideImage& image) { deliver(image); });
  auto ask = [&](const std::string& r, int index, int width) {
    {
      std::lock_guard<std::mutex> guard(lock);
      asked.emplace(r, index, ClampSlideImageWidth(width));
    }
    exporter.Request(r, index, width);
  };
  deliver = [&](const SlideImage& image) {
    bool again;
    {
      std::lock_guard<std::mutex> guard(lock);
      answered.emplace(image.revision, image.index, image.width);
      drawn += !image.png.empty();
      again = image.index == 2 && image.width == 16;
    }
    if (again) ask(revision, 3, 17);
  };
  exporter.SetTarget(u"KWPP.Application", 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      for (int i = 0; i < kEach; ++i) {
        const int index = int(random() % 7);  // 0 and 6 are outside the deck
        const int width = int(random() % 3000) - 100;
        ask(random() % 4 ? revision : "stale00000", index, width);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto deadline = Clock::now() + 20s;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (answered.size() == asked.size() || Clock::now() > deadline) break;
    }
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(50ms);  // a window in which no extra answer may come
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_GE(asked.size(), std::size_t(kThreads * kEach));
  EXPECT_EQ(answered, asked);
  EXPECT_GT(drawn, 0);
}

TEST(SlideDeckTest, RevisionNamesEveryPartOfTheDeck) {
  DeckFacts base;
  base.fullName = u"C:\\Decks\\Quarter.pptx";
  base.saved = true;
  base.count = 12;
  base.width = 720;
  base.height = 405;
  auto with = [&](auto change) {
    DeckFacts facts = base;
    change(facts);
    return facts;
  };
  const std::string revision = DeckRevision(base, 0);
  EXPECT_EQ(revision.size(), 10u);
  EXPECT_EQ(revision.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyz"), std::string::npos);
  EXPECT_EQ(DeckRevision(base, 41), revision) << "a saved deck ignores slide changes";
  const DeckFacts unsaved = with([](DeckFacts& f) { f.saved = false; });
  const std::set<std::string> all = {
      revision,
      DeckRevision(with([](DeckFacts& f) { f.fullName = u"C:\\Decks\\Quarter2.pptx"; }), 0),
      DeckRevision(with([](DeckFacts& f) { f.count = 13; }), 0),
      DeckRevision(with([](DeckFacts& f) { f.width = 960; }), 0),
      DeckRevision(with([](DeckFacts& f) { f.height = 540; }), 0),
      DeckRevision(unsaved, 0),
      DeckRevision(unsaved, 1),
      DeckRevision(unsaved, 2),
  };
  EXPECT_EQ(all.size(), 8u);
  // A Float and a Double of one size are one deck.
  EXPECT_EQ(DeckRevision(with([](DeckFacts& f) { f.width = 720.0000001; }), 0), revision);

  EXPECT_EQ(SlideImageHeight(1080, 16.0 / 9.0), 608);
  EXPECT_EQ(SlideImageHeight(16, 1e9), 1);
  EXPECT_EQ(SlideImageHeight(2048, 0.01), 0);
  EXPECT_EQ(SlideImageHeight(320, 0.0), 0);
}

}  // namespace
