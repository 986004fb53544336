// The Impress back-end against a real LibreOffice on a virtual display:
// the presentation manager drives a generated deck with notes through the
// show, the laser and the pen, and an office killed mid-show or started
// after us is handled.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/presentation/impress/impress_fixture.h"

namespace {

using namespace impress_test;

TEST_F(ImpressTest, DrivesAShowWithNotesLaserAndPen) {
  // The office we started listens on a pipe of its own: a random name
  // nobody else can take first, its socket the user's alone.
  const std::string pipe = office_->Link().PipeName();
  EXPECT_NE(pipe, session_.PipeName());
  EXPECT_EQ(pipe.size(), std::string("pivaro-").size() + 32) << pipe;
  EXPECT_EQ(pipe.find_first_not_of("0123456789abcdef", 7), std::string::npos) << pipe;
  struct stat socketStat {};
  ASSERT_EQ(lstat(ImpressPipeSocketPath(pipe).c_str(), &socketStat), 0);
  EXPECT_TRUE(S_ISSOCK(socketStat.st_mode));
  EXPECT_EQ(socketStat.st_mode & 077, 0u) << std::oct << socketStat.st_mode;

  ASSERT_TRUE(office_->Link().Open(session_.WriteDeck("deck.fodp", kDeck)));
  StartManager();
  EXPECT_EQ(State(), std::make_pair(true, false));

  manager_->StartShow();
  ASSERT_TRUE(Eventually([&] { return EventCount(EventSlideShowBegin) == 1; }));
  EXPECT_TRUE(manager_->IsShowRunning());
  EXPECT_TRUE(manager_->HasNativeLaser());
  EXPECT_EQ(State(), std::make_pair(true, true));
  EXPECT_EQ(Notes(), U16(kDeck[0].notes));

  // Each step is announced as a slide change and lands where it should.
  struct StepCase {
    void (CPowerPointMgr::*step)();
    std::int32_t slide;
  };
  const StepCase steps[] = {{&CPowerPointMgr::NextSlide, 1},
                            {&CPowerPointMgr::PreviousSlide, 0},
                            {&CPowerPointMgr::LastSlide, 2},
                            {&CPowerPointMgr::FirstSlide, 0},
                            {&CPowerPointMgr::NextSlide, 1}};
  for (const StepCase& c : steps) {
    std::size_t changes = EventCount(EventSlideShowNextSlide);
    (manager_.get()->*c.step)();
    EXPECT_TRUE(Eventually([&] { return EventCount(EventSlideShowNextSlide) > changes; }))
        << "no slide change towards " << c.slide;
    EXPECT_TRUE(Eventually([&] { return SlideIndex() == c.slide; })) << "at " << SlideIndex();
  }
  EXPECT_EQ(Notes(), U16(kDeck[1].notes));

  // The laser: Impress's own pointer follows the phone and hides on release.
  struct LaserCase {
    const char* what;
    double x, y;
  };
  manager_->PointerDown(PointerLaser, 0.25, 0.5);
  EXPECT_TRUE(Eventually([&] { return office_->Pointer().visible; })) << "laser not shown";
  for (const LaserCase& c : {LaserCase{"move", 0.75, 0.4}, LaserCase{"corner", 1.0, 0.0}}) {
    manager_->PointerMove(c.x, c.y);
    EXPECT_TRUE(Eventually([&] {
      ImpressPointer p = office_->Pointer();
      return std::fabs(p.x - c.x) < 0.01 && std::fabs(p.y - c.y) < 0.01;
    })) << c.what;
  }
  manager_->PointerUp();
  EXPECT_TRUE(Eventually([&] { return !office_->Pointer().visible; })) << "laser stays";

  // The pen is switched on for a stroke and off after it.
  manager_->PointerDown(PointerPen, 0.5, 0.5);
  EXPECT_TRUE(Eventually([&] { return office_->Pointer().pen; }));
  manager_->PointerUp();
  EXPECT_TRUE(Eventually([&] { return !office_->Pointer().pen; }));
  manager_->EraseInk();

  manager_->ExitShow();
  EXPECT_TRUE(Eventually([&] { return EventCount(EventSlideShowEnd) >= 1; }));
  EXPECT_FALSE(manager_->IsShowRunning());
  EXPECT_EQ(State(), std::make_pair(true, false));
  // Stepping without a show is refused, not carried out somewhere.
  manager_->NextSlide();
  EXPECT_TRUE(
      Eventually([&] { return notify_.Locked([&] { return !notify_.failures.empty(); }); }));
}

// A PowerPoint deck, made from ours by the office's own converter, is
// opened and run like our own, its notes and all.
TEST_F(ImpressTest, RunsAPowerPointDeckWithItsNotes) {
  const std::string pptx = session_.ConvertDeck(session_.WriteDeck("ppt.fodp", kDeck), "pptx");
  ASSERT_FALSE(pptx.empty()) << "soffice --convert-to pptx failed";
  ASSERT_TRUE(office_->Link().Open(pptx));
  std::u16string title;
  ASSERT_TRUE(office_->Link().FindPresentation(&title));
  EXPECT_EQ(title, u"ppt.pptx");
  StartManager();
  manager_->StartShow();
  ASSERT_TRUE(Eventually([&] { return EventCount(EventSlideShowBegin) == 1; }));
  EXPECT_EQ(Notes(), U16(kDeck[0].notes));
  std::size_t changes = EventCount(EventSlideShowNextSlide);
  manager_->NextSlide();
  EXPECT_TRUE(Eventually([&] { return EventCount(EventSlideShowNextSlide) > changes; }));
  EXPECT_EQ(Notes(), U16(kDeck[1].notes));
  manager_->ExitShow();
  EXPECT_TRUE(Eventually([&] { return EventCount(EventSlideShowEnd) >= 1; }));
}

TEST_F(ImpressTest, OfficeKilledMidShowIsNoPresentationAndARestartedOneIsFound) {
  ASSERT_TRUE(office_->Link().Open(session_.WriteDeck("killed.fodp", kDeck)));
  StartManager();
  office_->WatchForOffice(std::chrono::milliseconds(500));
  manager_->StartShow();
  ASSERT_TRUE(Eventually([&] { return EventCount(EventSlideShowBegin) == 1; }));

  ASSERT_GT(office_->Link().StartedProcess(), 0);
  ImpressSession::KillGroup(office_->Link().StartedProcess());
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_TRUE(Eventually([&] { return EventCount(EventSlideShowEnd) >= 1; }));
  EXPECT_TRUE(Eventually([&] { return EventCount(EventPresentationClose) >= 1; }));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(5));
  EXPECT_FALSE(manager_->IsShowRunning());
  EXPECT_EQ(State(), std::make_pair(false, false));
  manager_->NextSlide();
  EXPECT_TRUE(
      Eventually([&] { return notify_.Locked([&] { return !notify_.failures.empty(); }); }));

  // The presenter's own office on Pivaro's pipe, with a presentation opened
  // there after Pivaro started, is found without the phone asking.
  std::size_t opened = EventCount(EventPresentationOpen);
  EndOffice endOther{session_.StartOffice(session_.PipeName())};
  ASSERT_GT(endOther.leader, 0);
  CImpressLink other(Options());
  ASSERT_TRUE(Eventually([&] { return other.Connect(false); }, kOfficeStart));
  ASSERT_TRUE(other.Open(session_.WriteDeck("later.fodp", kDeck)));
  EXPECT_TRUE(Eventually([&] { return EventCount(EventPresentationOpen) > opened; }));
  EXPECT_EQ(State(), std::make_pair(true, false));
  manager_->StartShow();
  EXPECT_TRUE(Eventually([&] { return EventCount(EventSlideShowBegin) >= 2; }));
  EXPECT_TRUE(Eventually([&] { return manager_->IsShowRunning(); }));
  EXPECT_EQ(Notes(), U16(kDeck[0].notes));
}

}  // namespace

namespace {

// A stopped office answers nothing: the manager's calls give up at the call
// limit, the phone's side learns there is no presentation, and the worker
// stays free for the next command.
TEST_F(ImpressTest, HungOfficeIsGivenUpWithinTheCallLimit) {
  // The deck is opened and shown under the normal limit (loading may take
  // longer than the short one); the manager then drives that office through
  // a link with a short limit.
  ASSERT_TRUE(office_->Link().Open(session_.WriteDeck("hung.fodp", kDeck)));
  ASSERT_TRUE(office_->Link().StartShow());
  const pid_t office = office_->Link().StartedProcess();
  ASSERT_GT(office, 0);
  EndOffice endOffice{office};
  ImpressLinkOptions options = Options();
  options.pipeName = office_->Link().PipeName();
  options.callLimit = std::chrono::milliseconds(1000);
  office_ = std::make_unique<CImpressOffice>(options);
  ASSERT_TRUE(office_->Link().Connect(false));
  StartManager();
  ASSERT_EQ(State(), std::make_pair(true, true));

  ASSERT_EQ(kill(-office, SIGSTOP), 0);
  const auto stopped = std::chrono::steady_clock::now();
  manager_->NextSlide();
  EXPECT_TRUE(Eventually([&] { return EventCount(EventSlideShowEnd) >= 1; }));
  EXPECT_FALSE(manager_->IsShowRunning());
  EXPECT_EQ(State(), std::make_pair(false, false));
  // One overrun, then answers at once: the call limit plus slack.
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(4));
}

}  // namespace
