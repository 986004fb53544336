// The manager with its worker over the simulated application: commands,
// events, notes, pointer input, staleness, shutdown.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "presentation/simulated_office.h"
#include "recording_notify.h"

namespace {

using Failure = std::pair<bool, bool>;

constexpr std::uint32_t PowerPointMgrReattachMs() { return CPowerPointMgrImpl::kReattachMs; }

class ManagerTest : public ::testing::Test {
 protected:
  void Start(std::shared_ptr<IProcessList> processes = nullptr) {
    PresentationPorts ports = office.Ports(processes);
    ports.tickCount = [this] { return tick.load(); };
    manager = std::make_unique<CPowerPointMgr>(ports);
    notify.manager = manager.get();
    manager->SetNotify(&notify);
    Settle();  // attached and advised
  }

  // Waits until the worker has run every command posted so far (commands
  // run in the order posted).
  void Settle() {
    Query();
    ASSERT_TRUE(notify.WaitFor([&] { return notify.states.size() >= queries; }));
  }

  // Keeps the worker busy inside a state answer until notify.Release().
  void HoldWorker() {
    notify.HoldNextState();
    Query();
    ASSERT_TRUE(notify.WaitUntilHeld());
  }

  // Every state query is answered once, so counting them tells when all
  // have been served.
  void Query() {
    ++queries;
    manager->QueryState();
  }

  // The presenter opens the sample and presses F5 while the manager runs.
  void PresenterStartsShow(CSimulatedPresentationApp& app) {
    std::size_t before = notify.Locked([&] { return notify.events.size(); });
    app.OpenPresentation(CSimulatedOffice::SamplePresentation());
    app.StartShow();
    ASSERT_TRUE(notify.WaitFor(
        [&] { return notify.events.size() > before && notify.events.back().id == 2013; }));
  }

  std::vector<std::int32_t> EventIds(PowerPointType type) {
    return notify.Locked([&] {
      std::vector<std::int32_t> ids;
      for (auto& e : notify.events)
        if (e.type == type) ids.push_back(e.id);
      return ids;
    });
  }

  void TearDown() override { manager.reset(); }

  std::size_t queries = 0;
  std::atomic<std::uint32_t> tick{1000};
  CSimulatedOffice office;
  RecordingNotify notify;
  std::unique_ptr<CPowerPointMgr> manager;
};

TEST_F(ManagerTest, WithoutApplicationsCommandsFailOnce) {
  Start();
  manager->NextSlide();
  ASSERT_TRUE(notify.WaitFor([&] { return !notify.failures.empty(); }));
  Settle();
  EXPECT_EQ(notify.Locked([&] { return notify.failures; }),
            std::vector<Failure>{Failure(false, false)});
  EXPECT_EQ(notify.Locked([&] { return notify.states.back(); }), Failure(false, false));
  manager->PointerDown(PointerPen, 0.5, 0.5);
  manager->PointerMove(0.6, 0.5);
  manager->PointerUp();
  manager->EraseInk();
  Settle();
  EXPECT_TRUE(office.desktop->SentInput().empty());
  EXPECT_FALSE(manager->IsShowRunning());
  EXPECT_EQ(manager->GetShowRect(), ScreenRect());
}

TEST_F(ManagerTest, PresenterStartsTheShowFromTheKeyboard) {
  auto app = office.InstallPowerPoint(u"16.0");
  Start();
  PresenterStartsShow(*app);
  auto events = notify.Locked([&] { return notify.events; });
  EXPECT_EQ(events[0].id, 2006);
  EXPECT_EQ(events[1].id, 2011);
  // The controller already sees the running show and its rectangle.
  EXPECT_TRUE(events[1].showRunning);
  EXPECT_EQ(events[1].showRect, (ScreenRect{240, 0, 1680, 1080}));
  EXPECT_EQ(events[2].id, 2013);
  EXPECT_TRUE(manager->HasNativeLaser());

  manager->NextSlide();
  ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() >= 4; }));
  EXPECT_EQ(app->Snapshot().currentSlide, 2);
  manager->RequestNotes();
  ASSERT_TRUE(notify.WaitFor([&] { return !notify.notes.empty(); }));
  EXPECT_EQ(notify.Locked([&] { return notify.notes[0]; }), u"Agenda: where we are, where we go.");

  Settle();
  EXPECT_EQ(notify.Locked([&] { return notify.states.back(); }), Failure(true, true));

  manager->ExitShow();
  ASSERT_TRUE(notify.WaitFor([&] { return notify.events.back().id == 2014; }));
  EXPECT_FALSE(manager->IsShowRunning());
  EXPECT_FALSE(manager->HasNativeLaser());
  Settle();
  EXPECT_EQ(notify.Locked([&] { return notify.states.back(); }), Failure(true, false));

  // With an open presentation but no show, navigation fails and says so.
  manager->NextSlide();
  ASSERT_TRUE(notify.WaitFor([&] { return !notify.failures.empty(); }));
  EXPECT_EQ(notify.Locked([&] { return notify.failures[0]; }), Failure(true, false));

  manager->StartShow();
  ASSERT_TRUE(notify.WaitFor([&] { return notify.events.back().id == 2013; }));
  EXPECT_TRUE(app->Snapshot().showRunning);
  EXPECT_TRUE(manager->IsShowRunning());
}

TEST_F(ManagerTest, NotesRequestsCollapseToTheNewest) {
  auto app = office.InstallPowerPoint();
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->StartShow();
  Start();
  HoldWorker();
  manager->RequestNotes();
  manager->NextSlide();  // runs before the notes: commands come first
  manager->RequestNotes();
  notify.Release();
  ASSERT_TRUE(notify.WaitFor([&] { return !notify.notes.empty(); }));
  Settle();
  EXPECT_EQ(notify.Locked([&] { return notify.notes; }),
            std::vector<std::u16string>{u"Agenda: where we are, where we go."});
}

TEST_F(ManagerTest, NotesAreEmptyWhenTheyCannotBeRead) {
  auto app = office.InstallPowerPoint();
  auto sample = CSimulatedOffice::SamplePresentation();
  sample.slides[0].hasNotesPlaceholder = false;
  app->OpenPresentation(sample);
  Start();
  manager->RequestNotes();  // no show: empty
  ASSERT_TRUE(notify.WaitFor([&] { return notify.notes.size() == 1; }));
  app->StartShow();
  manager->RequestNotes();  // no body placeholder: empty
  ASSERT_TRUE(notify.WaitFor([&] { return notify.notes.size() == 2; }));
  EXPECT_EQ(notify.Locked([&] { return notify.notes; }), (std::vector<std::u16string>{u"", u""}));
}

TEST_F(ManagerTest, StaleMovesAreDroppedWhileTheWorkerIsBusy) {
  auto app = office.InstallPowerPoint();
  Start();
  PresenterStartsShow(*app);
  ASSERT_TRUE(manager->IsShowRunning());

  HoldWorker();
  manager->PointerMove(0.5, 0.5);
  tick += 150;  // the worker stays busy for 150 ms
  notify.Release();
  Settle();
  EXPECT_TRUE(office.desktop->SentInput().empty());

  HoldWorker();
  manager->PointerMove(0.5, 0.5);
  tick += 100;  // exactly at the limit: still served
  notify.Release();
  Settle();
  auto input = office.desktop->SentInput();
  ASSERT_EQ(input.size(), 1u);
  EXPECT_EQ(input[0].flags, 0xC001u);
  EXPECT_EQ(input[0].dx, 32767);
}

TEST_F(ManagerTest, MovesSurviveTheTickCounterWrap) {
  auto app = office.InstallPowerPoint();
  tick = 0xFFFFFFF0u;
  Start();
  PresenterStartsShow(*app);
  HoldWorker();
  manager->PointerMove(0.5, 0.5);
  tick += 0x20;  // wraps to 0x10: 32 ms later
  notify.Release();
  Settle();
  EXPECT_EQ(office.desktop->SentInput().size(), 1u);
}

TEST_F(ManagerTest, LaserStrokeWithTheApplicationsLaser) {
  auto app = office.InstallPowerPoint(u"14.0");
  Start();
  PresenterStartsShow(*app);
  ASSERT_TRUE(manager->HasNativeLaser());
  manager->PointerDown(PointerLaser, 0.5, 0.5);
  manager->PointerMove(0.25, 0.25);
  manager->PointerUp();
  manager->EraseInk();
  Settle();
  auto input = office.desktop->SentInput();
  ASSERT_EQ(input.size(), 6u);
  EXPECT_EQ(input[0].virtualKey, 0x11);
  EXPECT_EQ(input[1].flags, 0xC003u);
  EXPECT_EQ(input[2].flags, 0xC001u);
  EXPECT_EQ(input[3].flags, 0x4004u);
  EXPECT_EQ(input[4].virtualKey, 0x11);
  EXPECT_EQ(input[4].flags, 0x0002u);
  EXPECT_EQ(input[5].virtualKey, 0x45);
  EXPECT_EQ(input[5].flags, 0u);
  EXPECT_FALSE(office.desktop->IsKeyHeld(0x11));
  EXPECT_EQ(app->Snapshot().pointerType, 0);
}

TEST_F(ManagerTest, NativeLaserDependsOnTheVersion) {
  for (auto [version, expected] : std::vector<std::pair<std::u16string, bool>>{
           {u"12.0", false}, {u"13.0", false}, {u"14.0", true}, {u"16.0", true}}) {
    CSimulatedOffice machine;
    auto app = machine.InstallPowerPoint(version);
    app->OpenPresentation(CSimulatedOffice::SamplePresentation());
    app->StartShow();
    CPowerPointMgr mgr(machine.Ports(nullptr));
    RecordingNotify n;
    mgr.SetNotify(&n);
    mgr.QueryState();
    ASSERT_TRUE(n.WaitFor([&] { return !n.states.empty(); }));
    // The flag comes from the begin event; this show began before us.
    EXPECT_FALSE(mgr.HasNativeLaser());
    app->EndShow();
    app->StartShow();
    ASSERT_TRUE(n.WaitFor([&] { return n.events.size() >= 3; }));
    EXPECT_EQ(mgr.HasNativeLaser(), expected) << std::string(version.begin(), version.end());
  }
}

TEST_F(ManagerTest, WpsShowHasNoNativeLaserAndAnnouncesPreviousSlide) {
  auto wps = office.InstallWps();
  Start();
  PresenterStartsShow(*wps);
  EXPECT_EQ(EventIds(Wps), (std::vector<std::int32_t>{2006, 2011, 2013}));
  EXPECT_TRUE(manager->IsShowRunning());
  EXPECT_FALSE(manager->HasNativeLaser());
  EXPECT_EQ(manager->GetShowRect(), (ScreenRect{0, 0, 1920, 1080}));

  wps->GoToSlide(3);
  ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() >= 4; }));
  manager->PreviousSlide();
  ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() >= 5; }));
  EXPECT_EQ(wps->Snapshot().currentSlide, 2);
  // An event the application raised for the step would arrive before this
  // later one.
  wps->GoToSlide(5);
  ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() >= 6; }));
  EXPECT_EQ(EventIds(Wps), (std::vector<std::int32_t>{2006, 2011, 2013, 2013, 2013, 2013}));

  // Pen input is PowerPoint's only.
  manager->PointerDown(PointerPen, 0.5, 0.5);
  manager->EraseInk();
  Settle();
  EXPECT_TRUE(office.desktop->SentInput().empty());

  manager->RequestVersion(Wps);
  ASSERT_TRUE(notify.WaitFor([&] { return !notify.versions.empty(); }));
  EXPECT_EQ(notify.Locked([&] { return notify.versions[0]; }),
            std::make_pair(Wps, std::u16string(u"9.1.0.4060")));
}

TEST_F(ManagerTest, PowerPointShowIsPreferredOverWps) {
  auto ppt = office.InstallPowerPoint();
  auto wps = office.InstallWps();
  ppt->OpenPresentation(CSimulatedOffice::SamplePresentation());
  wps->OpenPresentation(CSimulatedOffice::SamplePresentation());
  Start();
  manager->StartShow();
  ASSERT_TRUE(notify.WaitFor([&] { return notify.events.size() >= 2; }));
  Settle();
  EXPECT_TRUE(ppt->Snapshot().showRunning);
  EXPECT_FALSE(wps->Snapshot().showRunning);
  wps->StartShow();
  manager->NextSlide();
  Settle();
  EXPECT_EQ(ppt->Snapshot().currentSlide, 2);
  EXPECT_EQ(wps->Snapshot().currentSlide, 1);
}

// The application's process ends during a show: no slide-show-end ever
// comes, so the answers that say so must end the show on our side. An
// application that is merely busy keeps its show.
TEST_F(ManagerTest, ApplicationGoneMidShowEndsTheShow) {
  struct Case {
    HResult answer;
    bool gone;
  };
  const Case cases[] = {
      {static_cast<HResult>(0x80010108), true},   // RPC_E_DISCONNECTED
      {static_cast<HResult>(0x800706BA), true},   // RPC_S_SERVER_UNAVAILABLE
      {static_cast<HResult>(0x80010007), true},   // RPC_E_SERVER_DIED
      {static_cast<HResult>(0x800401FD), true},   // CO_E_OBJNOTCONNECTED
      {static_cast<HResult>(0x80010001), false},  // RPC_E_CALL_REJECTED: busy
      {kFail, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << static_cast<std::uint32_t>(c.answer));
    CSimulatedOffice machine;
    auto app = machine.InstallPowerPoint(u"16.0");
    app->OpenPresentation(CSimulatedOffice::SamplePresentation());
    RecordingNotify seen;
    auto mgr = std::make_unique<CPowerPointMgr>(machine.Ports());
    mgr->SetNotify(&seen);
    mgr->StartShow();
    ASSERT_TRUE(seen.WaitFor([&] { return seen.events.size() >= 2; }));
    ASSERT_TRUE(mgr->IsShowRunning());

    app->FailMember(u"ActivePresentation", c.answer);
    mgr->NextSlide();
    ASSERT_TRUE(seen.WaitFor([&] { return !seen.failures.empty(); }));
    EXPECT_EQ(seen.Locked([&] { return seen.failures[0]; }), Failure(false, false));
    EXPECT_EQ(mgr->IsShowRunning(), !c.gone);
    EXPECT_EQ(mgr->HasNativeLaser(), !c.gone);
    EXPECT_EQ(mgr->GetShowRect() == ScreenRect(), c.gone);

    // A gone application is not called again, even if it would answer.
    app->FailMember(u"ActivePresentation", kOk);
    const std::uint64_t calls = app->InvocationCount();
    mgr->NextSlide();
    mgr->QueryState();
    ASSERT_TRUE(seen.WaitFor([&] { return !seen.states.empty(); }));
    EXPECT_EQ(seen.Locked([&] { return seen.states[0]; }), Failure(!c.gone, !c.gone));
    EXPECT_EQ(app->InvocationCount() == calls, c.gone);
    EXPECT_EQ(app->Snapshot().currentSlide, c.gone ? 1 : 2);
    mgr.reset();
    // Shutting down does not unadvise through the dead application.
    EXPECT_EQ(app->AdvisedSinks(), c.gone ? 1u : 0u);
  }
}

// PowerPoint started again after its process died is found without
// restarting us: at the next state query or command, at most once every 2 s
// (the test's clock), as at start-up; the phone's next "start" runs a show.
TEST_F(ManagerTest, DroppedApplicationIsCreatedAgainAtMostEveryTwoSeconds) {
  const HResult kDisconnected = static_cast<HResult>(0x80010108);
  auto app = office.InstallPowerPoint(u"16.0");
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  Start();
  auto lastState = [&] { return notify.Locked([&] { return notify.states.back(); }); };
  auto drop = [&] {
    app->FailMember(u"ActivePresentation", kDisconnected);
    Query();
    ASSERT_TRUE(notify.WaitFor([&] { return notify.states.size() >= queries; }));
    ASSERT_EQ(lastState(), Failure(false, false)) << "dropped";
    app->FailMember(u"ActivePresentation", kOk);  // running again
  };
  ASSERT_NO_FATAL_FAILURE(drop());
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    // Within 2 s of the drop nothing is asked of the application.
    const std::uint64_t calls = app->InvocationCount();
    tick += PowerPointMgrReattachMs() - 1;
    Settle();
    manager->NextSlide();
    Settle();
    EXPECT_EQ(app->InvocationCount(), calls);
    EXPECT_EQ(lastState(), Failure(false, false));
    // Then a state query finds it again.
    tick += 1;
    Settle();
    EXPECT_EQ(lastState(), Failure(true, false));
    EXPECT_GT(app->InvocationCount(), calls);
    if (round == 0) ASSERT_NO_FATAL_FAILURE(drop());
  }
  // A command finds it too, and runs the show.
  ASSERT_NO_FATAL_FAILURE(drop());
  tick += PowerPointMgrReattachMs();
  manager->StartShow();
  ASSERT_TRUE(notify.WaitFor([&] {
    for (const auto& e : notify.events)
      if (e.id == 2013) return true;  // the show began
    return false;
  }));
  EXPECT_TRUE(app->Snapshot().showRunning);
  Settle();
  EXPECT_EQ(lastState(), Failure(true, true));
}

TEST_F(ManagerTest, DestructionRunsQueuedTasksThenShutsDown) {
  auto app = office.InstallPowerPoint();
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->StartShow();
  Start();
  HoldWorker();
  manager->NextSlide();
  manager->NextSlide();
  manager->LastSlide();
  manager->PreviousSlide();
  EXPECT_EQ(app->AdvisedSinks(), 1u);

  std::thread destroyer([&] { manager.reset(); });
  // Room for the destruction to begin while the worker is held; not a wait
  // for a condition: had it not begun, the checks below would still hold.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  notify.Release();
  destroyer.join();
  EXPECT_EQ(app->Snapshot().currentSlide, 4);
  EXPECT_EQ(app->AdvisedSinks(), 0u);
  // Events raised after the shut-down reach nobody.
  app->NextSlide();
  EXPECT_TRUE(app->Snapshot().showRunning);
}

TEST_F(ManagerTest, FailedWaitEndsTheWorkerAndCommandsDoNothing) {
  auto app = office.InstallPowerPoint();
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->StartShow();
  std::atomic<int> waits{0};
  PresentationPorts ports = office.Ports(nullptr);
  testing::internal::CaptureStderr();
  {
    // The start-up task runs, then the next wait fails.
    CPowerPointMgr mgr(ports, [&] { return ++waits <= 1; });
    mgr.SetNotify(&notify);
    mgr.QueryState();
    for (int i = 0; i < 500 && mgr.IsWorkerRunning(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(mgr.IsWorkerRunning());
    mgr.NextSlide();
    mgr.RequestNotes();
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("presentation worker"), std::string::npos);
  EXPECT_EQ(app->Snapshot().currentSlide, 1);
  EXPECT_TRUE(notify.Locked([&] { return notify.states.empty() && notify.notes.empty(); }));
  // A later event from the application must not reach the dead worker.
  app->NextSlide();
}

}  // namespace

namespace {

// A flood from the phone waits in bounded form: a stroke's moves become one
// move to the newest point, and beyond kMaxWaitingCommands further commands
// are dropped (the session stops reading before that).
TEST_F(ManagerTest, WaitingCommandsAreBoundedAndAStrokesMovesCoalesce) {
  auto app = office.InstallPowerPoint();
  Start();
  PresenterStartsShow(*app);
  HoldWorker();
  manager->PointerDown(PointerPen, 0.1, 0.1);
  for (int i = 1; i <= 1000; ++i) manager->PointerMove(i / 1000.0, 0.5);
  manager->PointerUp();
  int erases = 0;
  while (!manager->IsBacklogged() && erases < 100) {
    manager->EraseInk();
    ++erases;
  }
  EXPECT_EQ(erases, CPowerPointMgr::kMaxWaitingCommands - 2);  // down and up count too
  manager->EraseInk();                                         // over the bound: dropped
  notify.Release();
  for (int i = 0; i < 500 && manager->IsBacklogged(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_FALSE(manager->IsBacklogged());
  Settle();
  auto movesAndErases = [&] {
    std::vector<std::pair<int, int>> moves;
    int erased = 0;
    for (const auto& input : office.desktop->SentInput()) {
      if (input.flags == 0xC001u) moves.emplace_back(input.dx, input.dy);
      if (input.virtualKey == 0x45) ++erased;
    }
    return std::make_pair(moves, erased);
  };
  auto flood = movesAndErases();
  EXPECT_EQ(flood.second, erases);
  ASSERT_EQ(flood.first.size(), 1u);
  // The one move went to the newest point: where a single move there goes.
  manager->PointerDown(PointerPen, 0.1, 0.1);
  manager->PointerMove(1.0, 0.5);
  manager->PointerUp();
  Settle();
  auto single = movesAndErases();
  ASSERT_EQ(single.first.size(), 2u);
  EXPECT_EQ(single.first[1], flood.first[0]);
}

}  // namespace
