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

#include "presentation/impress/impress_office.h"
#include "presentation/powerpoint_mgr.h"
#include "tests/presentation/recording_notify.h"
#include "tests/support/impress_session.h"

namespace {

constexpr auto kEventWait = std::chrono::seconds(20);
constexpr auto kOfficeStart = std::chrono::seconds(60);

const std::vector<ImpressDeckSlide> kDeck = {
    {"First slide", "Notes of slide one"},
    {"Second slide", "Notes of slide two: <b> & \"quoted\""},
    {"Third slide", "Notes of slide three"},
};

template <typename Pred>
bool Eventually(Pred done, std::chrono::milliseconds limit = kEventWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Ends an office this test started, stopped or not, when the test ends.
struct EndOffice {
  pid_t leader;
  ~EndOffice() {
    if (leader <= 0) return;
    kill(-leader, SIGCONT);
    ImpressSession::KillGroup(leader);
  }
};

class ImpressTest : public ::testing::Test {
 protected:
  // One display and profile for the program; each test starts its own
  // office on them and ends it.
  static void SetUpTestSuite() { shared_ = new ImpressSession; }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }

  void SetUp() override {
    if (!session_.Unavailable().empty()) GTEST_SKIP() << session_.Unavailable();
    office_ = std::make_unique<CImpressOffice>(Options());
    // An office that could not open the display (now and then it cannot,
    // with other X servers starting beside ours) gets one more try on a
    // display of another number.
    bool connected = false;
    for (int attempt = 0; attempt < 2 && !connected; ++attempt) {
      connected = office_->Link().Connect(true);
      if (connected) break;
      ImpressSession::KillGroup(office_->Link().StartedProcess());
      ASSERT_TRUE(session_.ReplaceDisplay()) << "no virtual display";
    }
    ASSERT_TRUE(connected) << "soffice did not answer on its pipe";
  }
  void TearDown() override {
    manager_.reset();
    if (office_) {
      ImpressSession::KillGroup(office_->Link().StartedProcess());
      // A killed office leaves its socket behind.
      unlink(ImpressPipeSocketPath(office_->Link().PipeName()).c_str());
    }
    office_.reset();
  }

  ImpressLinkOptions Options() const {
    ImpressLinkOptions options;
    options.pipeName = session_.PipeName();
    options.profileUrl = session_.ProfileUrl();
    options.startLimit = kOfficeStart;
    return options;
  }

  void StartManager() {
    manager_ = std::make_unique<CPowerPointMgr>(office_->Ports());
    notify_.manager = manager_.get();
    manager_->SetNotify(&notify_);
  }

  std::size_t EventCount(std::int32_t id) {
    return notify_.Locked([&] {
      std::size_t n = 0;
      for (auto& e : notify_.events) n += e.id == id;
      return n;
    });
  }
  std::int32_t SlideIndex() {
    std::int32_t index = -1, count = 0;
    office_->Link().Position(&index, &count);
    return index;
  }
  // The notes the manager reports after a request.
  std::u16string Notes() {
    std::size_t before = notify_.Locked([&] { return notify_.notes.size(); });
    manager_->RequestNotes();
    if (!Eventually([&] { return notify_.Locked([&] { return notify_.notes.size() > before; }); }))
      return u"<no answer>";
    return notify_.Locked([&] { return notify_.notes.back(); });
  }
  std::pair<bool, bool> State() {
    std::size_t before = notify_.Locked([&] { return notify_.states.size(); });
    manager_->QueryState();
    if (!Eventually([&] { return notify_.Locked([&] { return notify_.states.size() > before; }); }))
      return {true, true};
    return notify_.Locked([&] { return notify_.states.back(); });
  }

  static ImpressSession* shared_;
  ImpressSession& session_ = *shared_;
  std::unique_ptr<CImpressOffice> office_;
  RecordingNotify notify_;
  std::unique_ptr<CPowerPointMgr> manager_;
};

ImpressSession* ImpressTest::shared_ = nullptr;

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
