// The automation back-end over the simulated application, called directly on
// the test thread (events then arrive synchronously, as within one
// apartment).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "presentation/powerpoint_mgr_impl.h"
#include "presentation/simulated_office.h"
#include "tests/support/wrapped_automation.h"

namespace {

class RecordingHandler : public CPowerPointMgrImpl::CPowerPointEventNotify {
 public:
  void OnPowerPointEvent(CPowerPointMgrImpl* backend, std::int32_t eventId) override {
    events.push_back({backend->Type(), eventId});
    runningAtEvent.push_back(backend->ShowRunning());
    rectAtEvent.push_back(backend->SlideRect());
  }
  void Clear() {
    events.clear();
    runningAtEvent.clear();
    rectAtEvent.clear();
  }
  std::vector<std::pair<PowerPointType, std::int32_t>> events;
  std::vector<bool> runningAtEvent;
  std::vector<ScreenRect> rectAtEvent;
};

std::vector<std::int32_t> Ids(const RecordingHandler& h) {
  std::vector<std::int32_t> ids;
  for (auto& e : h.events) ids.push_back(e.second);
  return ids;
}

class BackendTest : public ::testing::Test {
 protected:
  std::unique_ptr<CPowerPointMgrImpl> Attached(PowerPointType type) {
    auto backend = std::make_unique<CPowerPointMgrImpl>(type, office.Ports(nullptr));
    backend->Attach();
    backend->SetHandler(&handler);
    return backend;
  }

  CSimulatedOffice office;
  RecordingHandler handler;
};

TEST(SlideGeometry, FitsTheSlideIntoTheShowWindow) {
  // 4:3 in a wide window: full height, centred horizontally.
  EXPECT_EQ(FitSlideInWindow({0, 0, 1920, 1080}, 720, 540), (ScreenRect{240, 0, 1680, 1080}));
  // 16:9 in a 5:4 window: full width, centred vertically.
  EXPECT_EQ(FitSlideInWindow({0, 0, 1280, 1024}, 960, 540), (ScreenRect{0, 152, 1280, 872}));
  // Same aspect: the whole window. A window away from the origin keeps its offset.
  EXPECT_EQ(FitSlideInWindow({1920, 100, 3200, 820}, 960, 540), (ScreenRect{1920, 100, 3200, 820}));
  EXPECT_EQ(FitSlideInWindow({1920, 0, 3840, 1080}, 720, 540), (ScreenRect{2160, 0, 3600, 1080}));
}

TEST(SlideGeometry, UnreadableSlideSizeGivesTheWholeWindow) {
  const ScreenRect window{10, 20, 1290, 1044};
  EXPECT_EQ(FitSlideInWindow(window, 0, 540), window);
  EXPECT_EQ(FitSlideInWindow(window, 720, 0), window);
  EXPECT_EQ(FitSlideInWindow(window, -5, 540), window);
}

TEST(SlideGeometry, AbsoluteInputCoversTheVirtualScreen) {
  std::int32_t dx, dy;
  ToAbsoluteInput(960, 540, 1920, 1080, &dx, &dy);
  EXPECT_EQ(dx, 32767);
  EXPECT_EQ(dy, 32767);
  ToAbsoluteInput(1920, 1080, 1920, 1080, &dx, &dy);
  EXPECT_EQ(dx, 65535);
  EXPECT_EQ(dy, 65535);
  // A screen size that could not be read must not divide by zero.
  ToAbsoluteInput(100, 100, 0, 0, &dx, &dy);
  EXPECT_EQ(dx, 0);
  EXPECT_EQ(dy, 0);
}

TEST(SlideGeometry, VersionNumberIsTheLeadingInteger) {
  EXPECT_EQ(ParseVersionNumber(u"16.0"), 16);
  EXPECT_EQ(ParseVersionNumber(u"12.0"), 12);
  EXPECT_EQ(ParseVersionNumber(u"9.1.0.4060"), 9);
  EXPECT_EQ(ParseVersionNumber(u""), 0);
  EXPECT_EQ(ParseVersionNumber(u"abc"), 0);
  EXPECT_EQ(ParseVersionNumber(u"99999999999999"), std::numeric_limits<std::int32_t>::max());
}

// An object that answers puts by a script, to watch the put-ref rule.
class PutRecorder : public IAutomationObject {
 public:
  HResult Invoke(const std::u16string&, InvokeKind kind, const std::vector<AutoValue>& args,
                 AutoValue*) override {
    kinds.push_back(kind);
    EXPECT_EQ(args.size(), 1u);
    return kind == InvokeKind::PropertyPutRef ? putRefResult : kOk;
  }
  HResult Advise(const InterfaceId&, std::shared_ptr<IAutomationEventSink>,
                 std::uint32_t*) override {
    return kNotImplemented;
  }
  HResult Unadvise(const InterfaceId&, std::uint32_t) override { return kNotImplemented; }
  std::vector<InvokeKind> kinds;
  HResult putRefResult = kOk;
};

TEST(AutomationCalls, ObjectValuesArePutByReferenceFirst) {
  PutRecorder target;
  auto object = AutoValue::Object(std::make_shared<PutRecorder>());
  EXPECT_EQ(PutProperty(&target, u"X", object), kOk);
  EXPECT_EQ(target.kinds, std::vector<InvokeKind>{InvokeKind::PropertyPutRef});

  target.kinds.clear();
  target.putRefResult = kMemberNotFound;
  EXPECT_EQ(PutProperty(&target, u"X", object), kOk);
  EXPECT_EQ(target.kinds,
            (std::vector<InvokeKind>{InvokeKind::PropertyPutRef, InvokeKind::PropertyPut}));

  target.kinds.clear();
  EXPECT_EQ(PutProperty(&target, u"X", AutoValue::Int32(2)), kOk);
  EXPECT_EQ(target.kinds, std::vector<InvokeKind>{InvokeKind::PropertyPut});
  EXPECT_EQ(PutProperty(nullptr, u"X", AutoValue::Int32(2)), kPointer);
}

TEST_F(BackendTest, AttachCreatesHidesAdvisesAndReadsTheVersion) {
  auto app = office.InstallPowerPoint(u"15.0");
  auto backend = Attached(PowerPoint);
  EXPECT_TRUE(backend->HasApplication());
  EXPECT_FALSE(app->Visible());
  EXPECT_EQ(app->AdvisedSinks(), 1u);
  EXPECT_EQ(backend->ReadVersion(), u"15.0");
  EXPECT_EQ(backend->VersionNumber(), 15);

  backend->UnadviseSink();
  backend->ReleaseObjects();
  EXPECT_EQ(app->AdvisedSinks(), 0u);
  EXPECT_FALSE(backend->HasApplication());
}

TEST_F(BackendTest, WithoutTheApplicationTheBackendIsInert) {
  auto backend = Attached(PowerPoint);
  EXPECT_FALSE(backend->HasApplication());
  EXPECT_FALSE(backend->IsShowActive());
  EXPECT_EQ(backend->RunShow(), kFail);
  EXPECT_EQ(backend->NextSlide(), kFail);
  EXPECT_EQ(backend->ExitShow(), kFail);
  std::u16string notes = u"x";
  EXPECT_EQ(backend->ReadNotes(&notes), kFail);
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(backend->ReadVersion(), u"");
}

TEST_F(BackendTest, WpsFallsBackToTheSecondClassName) {
  auto app = office.InstallWps(u"WPP.Application", u"9.1");
  auto backend = Attached(Wps);
  EXPECT_TRUE(backend->HasApplication());
  EXPECT_EQ(app->AdvisedSinks(), 1u);
  // The WPS version comes from the registry, once.
  EXPECT_EQ(backend->ReadVersion(), u"9.1");
  office.registry->SetUserString(CPowerPointMgrImpl::kWpsVersionKey, u"Version", u"10.0");
  EXPECT_EQ(backend->ReadVersion(), u"9.1");
}

TEST_F(BackendTest, WpsVersionTooLongForItsBufferIsNotRead) {
  office.InstallWps();
  office.registry->SetUserString(CPowerPointMgrImpl::kWpsVersionKey, u"Version",
                                 u"11.1.0.12345-longer");
  auto backend = Attached(Wps);
  EXPECT_EQ(backend->ReadVersion(), u"");
}

TEST_F(BackendTest, PowerPointEventsAndShowState) {
  auto app = office.InstallPowerPoint();
  auto backend = Attached(PowerPoint);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  // Open passes; the window activation is not PowerPoint's business.
  EXPECT_EQ(Ids(handler), std::vector<std::int32_t>{2006});

  handler.Clear();
  app->StartShow();
  ASSERT_EQ(Ids(handler), (std::vector<std::int32_t>{2011, 2013}));
  // When the begin event is forwarded the flag and the rectangle are ready.
  EXPECT_TRUE(handler.runningAtEvent[0]);
  EXPECT_EQ(handler.rectAtEvent[0], (ScreenRect{240, 0, 1680, 1080}));
  EXPECT_TRUE(backend->IsShowActive());

  handler.Clear();
  app->EndShow();
  EXPECT_EQ(Ids(handler), std::vector<std::int32_t>{2014});
  EXPECT_FALSE(backend->ShowRunning());
  // The cached view of the ended show is not reused.
  EXPECT_FALSE(backend->IsShowActive());
  EXPECT_EQ(backend->NextSlide(), kFail);

  handler.Clear();
  app->ClosePresentation();
  // PresentationBeforeClose (2025) is ignored for PowerPoint.
  EXPECT_EQ(Ids(handler), std::vector<std::int32_t>{2004});
  EXPECT_FALSE(backend->RefreshPresentation());
}

TEST_F(BackendTest, WpsEventMapping) {
  auto app = office.InstallWps();
  auto backend = Attached(Wps);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  // 2006 itself is ignored; the maximised window activation stands for it.
  EXPECT_EQ(Ids(handler), std::vector<std::int32_t>{2006});
  for (const auto& e : handler.events) EXPECT_EQ(e.first, Wps);

  handler.Clear();
  app->ActivateWindow(false);
  EXPECT_TRUE(handler.events.empty());
  app->ActivateWindow(true);
  EXPECT_EQ(Ids(handler), std::vector<std::int32_t>{2006});

  // A WindowState that cannot be read counts as not maximised.
  handler.Clear();
  app->FailMember(u"WindowState", kFail);
  app->ActivateWindow(true);
  EXPECT_TRUE(handler.events.empty());
  app->FailMember(u"WindowState", kOk);

  handler.Clear();
  app->ClosePresentation();
  // BeforeClose becomes Close; WPS's own Close is ignored.
  EXPECT_EQ(Ids(handler), std::vector<std::int32_t>{2004});

  handler.Clear();
  backend->OnEvent(2049, {});
  backend->OnEvent(2025, {});
  backend->OnEvent(2001, {});
  EXPECT_EQ(Ids(handler), (std::vector<std::int32_t>{2004, 2004}));
  // An activation without a window argument is ignored, not a crash.
  backend->OnEvent(2009, {});
  backend->OnEvent(2009, {AutoValue::Int32(3)});
  EXPECT_EQ(handler.events.size(), 2u);
}

TEST_F(BackendTest, PowerPointIgnoresWpsOnlyEvents) {
  office.InstallPowerPoint();
  auto backend = Attached(PowerPoint);
  backend->OnEvent(2025, {});
  backend->OnEvent(2049, {});
  backend->OnEvent(2009, {});
  EXPECT_TRUE(handler.events.empty());
}

TEST_F(BackendTest, WpsSlideRectFollowsTheShowWindowSize) {
  auto app = office.InstallWps();
  app->SetShowWindowRect({0, 0, 1280, 1024});
  auto backend = Attached(Wps);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->StartShow();
  // WPS's size is that of the show window itself.
  EXPECT_EQ(backend->SlideRect(), (ScreenRect{0, 0, 1280, 1024}));
}

TEST_F(BackendTest, UnreadableSlideSizeUsesTheWholeShowWindow) {
  auto app = office.InstallPowerPoint();
  app->SetShowWindowRect({0, 0, 1280, 1024});
  auto backend = Attached(PowerPoint);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->FailMember(u"Height", kFail);
  app->StartShow();
  EXPECT_EQ(backend->SlideRect(), (ScreenRect{0, 0, 1280, 1024}));
}

TEST_F(BackendTest, NavigationAndNotes) {
  auto app = office.InstallPowerPoint();
  auto backend = Attached(PowerPoint);
  auto sample = CSimulatedOffice::SamplePresentation();
  sample.slides[2].hasNotesPlaceholder = false;
  app->OpenPresentation(sample);
  EXPECT_EQ(backend->RunShow(), kOk);
  ASSERT_TRUE(backend->IsShowActive());

  std::u16string notes;
  EXPECT_EQ(backend->ReadNotes(&notes), kOk);
  EXPECT_EQ(notes, u"Welcome everyone.");
  EXPECT_EQ(backend->NextSlide(), kOk);
  EXPECT_EQ(backend->ReadNotes(&notes), kOk);
  EXPECT_EQ(notes, u"Agenda: where we are, where we go.");
  // A notes page without its body placeholder: failure and no text.
  EXPECT_EQ(backend->NextSlide(), kOk);
  EXPECT_TRUE(Failed(backend->ReadNotes(&notes)));
  EXPECT_TRUE(notes.empty());

  EXPECT_EQ(backend->LastSlide(), kOk);
  EXPECT_EQ(app->Snapshot().currentSlide, 5);
  EXPECT_EQ(backend->FirstSlide(), kOk);
  EXPECT_EQ(app->Snapshot().currentSlide, 1);
  EXPECT_EQ(backend->ExitShow(), kOk);
  EXPECT_FALSE(app->Snapshot().showRunning);
}

TEST_F(BackendTest, FailedCommandReportsTheFailure) {
  auto app = office.InstallPowerPoint();
  auto backend = Attached(PowerPoint);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->FailMember(u"Run", kFail);
  EXPECT_EQ(backend->RunShow(), kFail);
  EXPECT_FALSE(app->Snapshot().showRunning);
  app->FailMember(u"Run", kOk);
  EXPECT_EQ(backend->RunShow(), kOk);
  ASSERT_TRUE(backend->IsShowActive());
  app->FailMember(u"Next", kFail);
  EXPECT_EQ(backend->NextSlide(), kFail);
  EXPECT_EQ(app->Snapshot().currentSlide, 1);
}

TEST_F(BackendTest, FindShowWindowByClassTitleAndStyle) {
  IDesktop& desktop = *office.desktop;
  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(desktop, PowerPoint), 0u);
  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(desktop, Wps), 0u);

  auto screen = office.desktop->AddWindow(u"screenClass", u"", 0x94000000, {});
  office.desktop->AddWindow(u"paneClassDC", u"", 0x14CF0000, {});  // has a minimise box
  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(desktop, PowerPoint), screen);
  auto pane = office.desktop->AddWindow(u"paneClassDC", u"", 0x94000000, {});
  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(desktop, PowerPoint), pane);

  office.desktop->AddWindow(u"QWidget", u"Doc - WPS演示", 0, {});
  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(desktop, Wps), 0u);
  auto wps = office.desktop->AddWindow(u"QWidget", u"x WPS演示 幻灯片放映 y", 0, {});
  office.desktop->AddWindow(u"QWidget", u"other", 0, {});
  EXPECT_EQ(CPowerPointMgrImpl::FindShowWindow(desktop, Wps), wps);
}

TEST_F(BackendTest, ActivateShowWindowPutsTheOwnWindowInFrontLast) {
  auto ppt = office.InstallPowerPoint();
  auto wpsApp = office.InstallWps();
  auto pptBackend = Attached(PowerPoint);
  auto wpsBackend = Attached(Wps);
  ppt->OpenPresentation(CSimulatedOffice::SamplePresentation());
  wpsApp->OpenPresentation(CSimulatedOffice::SamplePresentation());
  wpsApp->StartShow();
  ppt->StartShow();
  WindowHandle wpsWindow = CPowerPointMgrImpl::FindShowWindow(*office.desktop, Wps);
  WindowHandle pptWindow = CPowerPointMgrImpl::FindShowWindow(*office.desktop, PowerPoint);
  office.desktop->SetMinimized(wpsWindow, true);

  wpsBackend->ActivateShowWindow();
  EXPECT_EQ(office.desktop->Foreground(), wpsWindow);
  EXPECT_EQ(office.desktop->Windows()[0].handle, wpsWindow);
  EXPECT_EQ(office.desktop->Windows()[1].handle, pptWindow);
  EXPECT_FALSE(office.desktop->IsMinimized(wpsWindow));

  pptBackend->ActivateShowWindow();
  EXPECT_EQ(office.desktop->Foreground(), pptWindow);
}

TEST_F(BackendTest, PenAndLaserInputRecords) {
  auto app = office.InstallPowerPoint();
  auto backend = Attached(PowerPoint);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->StartShow();
  ASSERT_TRUE(backend->IsShowActive());
  ASSERT_EQ(backend->SlideRect(), (ScreenRect{240, 0, 1680, 1080}));

  std::int32_t px, py;
  backend->MapToScreen(0.5, 0.5, &px, &py);
  EXPECT_EQ(px, 960);
  EXPECT_EQ(py, 540);
  backend->MapToScreen(0.0, 0.0, &px, &py);
  EXPECT_EQ(px, 241);  // never the left edge itself
  EXPECT_EQ(py, 0);
  // Input from a confused phone stays defined.
  backend->MapToScreen(std::nan(""), 1e300, &px, &py);
  EXPECT_EQ(px, 241);
  EXPECT_EQ(py, std::numeric_limits<std::int32_t>::max());

  ASSERT_EQ(backend->SetPointerType(PointerLaser), kOk);
  EXPECT_EQ(app->Snapshot().pointerType, 0);  // the application's pointer stays plain
  backend->Press(0.5, 0.5);
  backend->Move(0.25, 0.5);
  backend->Release();
  auto input = office.desktop->SentInput();
  ASSERT_EQ(input.size(), 5u);
  EXPECT_EQ(input[0].kind, InputRecord::Kind::Key);
  EXPECT_EQ(input[0].virtualKey, 0x11);
  EXPECT_EQ(input[0].flags, 0u);
  EXPECT_EQ(input[1].kind, InputRecord::Kind::Mouse);
  EXPECT_EQ(input[1].flags, 0xC003u);
  EXPECT_EQ(input[1].dx, 32767);
  EXPECT_EQ(input[1].dy, 32767);
  EXPECT_EQ(input[2].flags, 0xC001u);
  EXPECT_EQ(input[2].dx, 600 * 65535 / 1920);
  EXPECT_EQ(input[3].flags, 0x4004u);
  EXPECT_EQ(input[3].dx, 0);
  EXPECT_EQ(input[3].dy, 0);
  EXPECT_EQ(input[4].virtualKey, 0x11);
  EXPECT_EQ(input[4].flags, 0x0002u);
  EXPECT_FALSE(office.desktop->IsKeyHeld(0x11));

  office.desktop->ClearSentInput();
  ASSERT_EQ(backend->SetPointerType(PointerPen), kOk);
  EXPECT_EQ(app->Snapshot().pointerType, 2);
  backend->Press(0.5, 0.5);
  backend->Release();
  input = office.desktop->SentInput();
  ASSERT_EQ(input.size(), 2u);  // no Ctrl for the pen
  EXPECT_EQ(input[0].flags, 0xC003u);
  EXPECT_EQ(input[1].flags, 0x4004u);
}

TEST_F(BackendTest, FailedPointerTypeKeepsThePreviousMode) {
  auto app = office.InstallPowerPoint();
  auto backend = Attached(PowerPoint);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());
  app->StartShow();
  ASSERT_TRUE(backend->IsShowActive());
  ASSERT_EQ(backend->SetPointerType(PointerLaser), kOk);
  app->FailMember(u"PointerType", kFail);
  EXPECT_EQ(backend->SetPointerType(PointerNone), kFail);
  EXPECT_EQ(backend->CurrentPointerType(), PointerLaser);
}

}  // namespace

// Every object the application hands out is wrapped so that an object freed
// while one of its own calls is still running is counted. A real COM server
// raises events inside a call, and their handling re-reads (and so drops)
// the cached objects; the call in progress must keep its object alive.
TEST_F(BackendTest, CallsKeepTheirObjectAliveThroughEventsRaisedInside) {
  auto freedInsideCall = std::make_shared<std::atomic<int>>(0);
  auto app = office.InstallPowerPoint();
  PresentationPorts ports = office.Ports(nullptr);
  test_support::AutomationHooks hooks;
  hooks.freedInsideCall = [freedInsideCall] { ++*freedInsideCall; };
  ports.automation =
      std::make_shared<test_support::WrappedFactory>(ports.automation, std::move(hooks));
  CPowerPointMgrImpl backend(PowerPoint, ports);
  backend.Attach();
  backend.SetHandler(&handler);
  app->OpenPresentation(CSimulatedOffice::SamplePresentation());

  // Run, Next and Exit each raise events from inside the call, and each
  // event re-reads the chain of cached objects the call started from.
  EXPECT_EQ(backend.RunShow(), kOk);
  EXPECT_EQ(backend.NextSlide(), kOk);
  EXPECT_EQ(backend.ExitShow(), kOk);
  EXPECT_FALSE(app->Snapshot().showRunning);
  std::vector<std::int32_t> ids = Ids(handler);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), EventSlideShowBegin), 1);
  ASSERT_FALSE(ids.empty());
  EXPECT_EQ(ids.back(), EventSlideShowEnd);
  EXPECT_EQ(freedInsideCall->load(), 0);
}
