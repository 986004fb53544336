// The dialogs over the real main window: each one rendered and read back
// from the screen, its buttons and links, the update flows with their usage
// records caught by a real HTTP server on loopback, the cover that shakes a
// dialog, the shadows, and dialogs that outlive a closing main window.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <set>

#include "app/single_instance.h"
#include "services/report_mgr.h"
#include "tests/services/test_http_server.h"
#include "tests/ui/window_harness.h"
#include "ui/win32/shadow_dlg.h"

namespace {

// Under Wine without a window manager, hiding or destroying a dialog-styled
// window waits up to 2 s for the manager's answer; a closing that takes
// down a dialog, its shadow, its cover and the window adds those up.
constexpr auto kClosing = std::chrono::seconds(20);

constexpr int kDialogWidth = 375;
constexpr int kDialogHeight = 202;

RECT WindowRect(HWND w) {
  RECT r{};
  GetWindowRect(w, &r);
  return r;
}

// The dialog is 375 x 202 and centred on the main window (or on the cover
// that lies exactly over it).
void ExpectSizeAndPlace(HWND dialog, HWND main) {
  RECT d = WindowRect(dialog), m = WindowRect(main);
  EXPECT_EQ(d.right - d.left, kDialogWidth);
  EXPECT_EQ(d.bottom - d.top, kDialogHeight);
  EXPECT_NEAR((d.left + d.right) / 2, (m.left + m.right) / 2, 1);
  EXPECT_NEAR((d.top + d.bottom) / 2, (m.top + m.bottom) / 2, 1);
}

// Ink that starts near (x, y): the first line of a text drawn there.
void ExpectTextAt(const Capture& c, int x, int y, const char* what) {
  RECT ink = c.Bounds(RECT{x - 4, y - 2, x + 200, y + 17}, IsInk);
  EXPECT_GT(ink.right, ink.left) << what;
  EXPECT_NEAR(ink.left, x + 1, 3) << what;
  EXPECT_GE(ink.top, y) << what;
  EXPECT_LE(ink.bottom, y + 17) << what;
}

HWND ControlAt(HWND dialog, int x, int y) { return ChildWindowFromPoint(dialog, POINT{x, y}); }

Capture SettleDialog(HWND dialog) {
  RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(150);
  return CaptureWindow(dialog);
}

// The dialog with its shadow around it, as the user sees it.
void SaveWithShadow(HWND dialog, const std::wstring& name) {
  RECT r = WindowRect(dialog);
  InflateRect(&r, 20, 20);
  SaveArtifact(CaptureScreen(r), name);
}

// The layered window a dialog owns: its shadow.
HWND ShadowOf(HWND owner) {
  struct Search {
    HWND owner;
    HWND found;
  } search{owner, nullptr};
  EnumThreadWindows(
      GetWindowThreadProcessId(owner, nullptr),
      [](HWND w, LPARAM p) -> BOOL {
        auto* s = reinterpret_cast<Search*>(p);
        if (GetWindow(w, GW_OWNER) == s->owner &&
            (GetWindowLongW(w, GWL_EXSTYLE) & WS_EX_LAYERED)) {
          s->found = w;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool Called(FakeSession* s, const std::string& call) { return s && s->Count(call) > 0; }

// A report service on loopback and the manager that sends to it.
struct ReportService {
  test::TestHttpServer server{[](const std::string&) { return test::Answer(200, ""); }};
  std::unique_ptr<Report::CReportMgr> mgr;
  ReportService() {
    Report::ReportSettings settings;
    settings.url = server.Url("/report");
    settings.machineGuid = [] { return std::u16string(u"0123456789abcdef0123456789abcdef"); };
    mgr = std::make_unique<Report::CReportMgr>(settings);
  }
  // The record with command 1881, if one came.
  std::string UpdateRecord() {
    auto all = server.WaitUntil([](const std::vector<std::string>& r) {
      for (const auto& q : r) {
        if (q.find("\"cmdid\":1881") != std::string::npos) return true;
      }
      return false;
    });
    for (const auto& q : all) {
      if (q.find("\"cmdid\":1881") != std::string::npos) return q;
    }
    return std::string();
  }
};

}  // namespace

TEST(AboutDialog, LaidOutLinksKeepItOpenAndButtonsEndIt) {
  WindowHarness h;
  h.Open();
  ClickControl(h.Controls().about);
  HWND about = WaitForDialogOver(h.Hwnd());
  ASSERT_NE(about, nullptr);
  ExpectSizeAndPlace(about, h.Hwnd());
  Capture c = SettleDialog(about);
  SaveArtifact(c, L"about_dialog");
  SaveWithShadow(about, L"about_dialog_with_shadow");
  ExpectTextAt(c, 15, 15, "title");
  for (int y : {53, 72, 91, 110}) ExpectTextAt(c, 35, y, "info line");
  EXPECT_GT(c.Count(RECT{93, 109, 221, 129}, IsBlueish), 30) << "website address";
  EXPECT_GT(c.Count(RECT{35, 155, 113, 175}, IsInk), 20) << "agreement link";
  EXPECT_GT(c.Count(RECT{265, 152, 345, 178}, IsInk), 10) << "OK caption";

  // The links open their pages and leave the dialog open.
  ClickControl(ControlAt(about, 150, 119));
  ClickControl(ControlAt(about, 70, 165));
  EXPECT_TRUE(WaitFor([&] { return h.OpenedUrls().size() == 2; }));
  std::vector<std::wstring> urls = h.OpenedUrls();
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_EQ(urls[0], L"https://www.pivaro.invalid/");
  EXPECT_EQ(urls[1], L"https://www.pivaro.invalid/xieyi.html");
  EXPECT_TRUE(IsWindow(about));

  // "确定" and the close button both end it; the window carries on.
  for (POINT button : {POINT{300, 165}, POINT{354, 15}}) {
    if (!FindDialogOver(h.Hwnd())) ClickControl(h.Controls().about);
    about = WaitForDialogOver(h.Hwnd());
    ASSERT_NE(about, nullptr);
    HWND shadow = ShadowOf(about);
    ASSERT_NE(shadow, nullptr);
    RECT expected = CShadowDlg::PlaceFor(WindowRect(about)), actual = WindowRect(shadow);
    EXPECT_TRUE(EqualRect(&expected, &actual));
    ClickControl(ControlAt(about, button.x, button.y));
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }, kClosing));
    EXPECT_FALSE(IsWindow(shadow)) << "the shadow goes with its dialog";
    EXPECT_EQ(FindDialogOver(h.Hwnd()), nullptr);
    EXPECT_TRUE(IsWindowEnabled(h.Hwnd())) << "the window takes input again";
  }
}

// The download button and the close button of the update notice, offered
// as optional (the corner) and as required (the program then ends).
TEST(UpdateDialog, EachAnswerIsReportedAndFollowedUp) {
  struct Case {
    int updateState;
    POINT button;
    const char* record;  // the data of the 1881 record
    bool opensWebsite;
  };
  const Case cases[] = {
      {CMainController::kUpdateOptional, {300, 165}, R"("data":{"2":1,"99":1,"100":)", true},
      {CMainController::kUpdateOptional, {354, 15}, R"("data":{"3":1,"99":1,"100":)", false},
      {CMainController::kUpdateRequired, {300, 165}, R"("data":{"2":1,"99":1,"100":)", true},
      {CMainController::kUpdateRequired, {354, 15}, R"("data":{"3":1,"99":1,"100":)", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "update state " << k.updateState << ", button at "
                                    << k.button.x << "," << k.button.y);
    ReportService reports;
    INT_PTR result = 0;  // outlives the window's thread
    WindowHarness::Options options;
    options.updateState = k.updateState;
    options.reports = reports.mgr.get();
    WindowHarness h(options);
    if (k.updateState == CMainController::kUpdateOptional) {
      h.Open();
      HWND corner = h.Controls().update;
      ASSERT_NE(corner, nullptr);
      ClickControl(corner, 40, 40);
    } else {
      ASSERT_FALSE(h.RunUntilEnd(std::chrono::milliseconds(0), &result));
    }
    HWND notice = nullptr;
    ASSERT_TRUE(
        WaitFor([&] { return h.Hwnd() && (notice = FindDialogOver(h.Hwnd())) != nullptr; }));
    ExpectSizeAndPlace(notice, h.Hwnd());
    Capture c = SettleDialog(notice);
    if (k.button.x == 300) {
      SaveArtifact(c, k.updateState == CMainController::kUpdateRequired ? L"update_required"
                                                                        : L"update_dialog");
      SaveWithShadow(notice, L"update_dialog_with_shadow");
    }
    ExpectTextAt(c, 15, 15, "title");
    EXPECT_GT(c.Count(RECT{35, 77, 83, 125}, IsBlueish), 800) << "update icon";
    RECT message = c.Bounds(RECT{95, 70, 375, 135}, IsInk);
    EXPECT_NEAR(message.left, 102, 3);
    EXPECT_NEAR((message.top + message.bottom) / 2, 77 + 24, 4) << "two lines centred on 48";
    EXPECT_GT(message.bottom - message.top, 24) << "two lines";
    EXPECT_GT(c.Count(RECT{252, 152, 345, 178}, IsInk), 20) << "download caption";
    if (k.updateState == CMainController::kUpdateRequired) {
      EXPECT_FALSE(IsWindowVisible(h.Hwnd())) << "the main window never shows";
    }

    ClickControl(ControlAt(notice, k.button.x, k.button.y));
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(notice); }, kClosing));
    std::string record = reports.UpdateRecord();
    EXPECT_NE(record.find(k.record), std::string::npos) << record;
    EXPECT_EQ(record.rfind("POST /report HTTP/1.1", 0), 0u) << record;
    if (k.updateState == CMainController::kUpdateRequired) {
      // The program ends with 2 whatever the answer, without a session.
      EXPECT_TRUE(WaitFor([&] { return !IsWindow(h.Hwnd()); }, kClosing));
      EXPECT_EQ(h.SessionsMade(), 0u);
    } else {
      h.OnUi([] {});
      EXPECT_FALSE(IsWindowVisible(h.Controls().update)) << "the corner stays hidden";
      EXPECT_TRUE(IsWindow(h.Hwnd()));
    }
    std::vector<std::wstring> urls = h.OpenedUrls();
    if (k.opensWebsite) {
      ASSERT_EQ(urls.size(), 1u);
      EXPECT_EQ(urls[0], L"https://www.pivaro.invalid/");
    } else {
      EXPECT_TRUE(urls.empty());
    }
    if (k.updateState == CMainController::kUpdateRequired) h.Close();
  }
}

TEST(UpdateDialog, RequiredUpdateEndsTheProgramWithTwo) {
  ReportService reports;
  INT_PTR result = 0;
  WindowHarness::Options options;
  options.updateState = CMainController::kUpdateRequired;
  options.reports = reports.mgr.get();
  WindowHarness h(options);
  std::thread answer([&] {
    HWND notice = nullptr;
    if (WaitFor([&] { return h.Hwnd() && (notice = FindDialogOver(h.Hwnd())) != nullptr; })) {
      ClickControl(ControlAt(notice, 354, 15));
    }
  });
  EXPECT_TRUE(h.RunUntilEnd(kClosing, &result));
  answer.join();
  EXPECT_EQ(result, 2);
}

// A second start of the program during a required update brings the
// hidden window forward: it must then paint like any window, not take the
// program down.
TEST(UpdateDialog, SecondStartDuringARequiredUpdateShowsThePaintedWindow) {
  ReportService reports;
  INT_PTR result = 0;
  WindowHarness::Options options;
  options.updateState = CMainController::kUpdateRequired;
  options.reports = reports.mgr.get();
  WindowHarness h(options);
  ASSERT_FALSE(h.RunUntilEnd(std::chrono::milliseconds(0), &result));
  HWND notice = nullptr;
  ASSERT_TRUE(WaitFor([&] { return h.Hwnd() && (notice = FindDialogOver(h.Hwnd())) != nullptr; }));
  ASSERT_FALSE(IsWindowVisible(h.Hwnd()));
  CSingleInstance::BringOtherToFront();
  ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(h.Hwnd()) != FALSE; }));
  // The window reaches the screen a little after it is shown: each look
  // paints it anew and reads it back.
  Capture c;
  WaitFor([&] {
    h.OnUi([&] { RedrawWindow(h.Hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW); });
    c = CaptureWindow(h.Hwnd());
    return IsWhite(c.At(20, 80)) && IsWhite(c.At(270, 80));
  });
  SaveArtifact(c, L"update_required_second_start");
  // Above the notice: the white body with the logo and the title, not the
  // black of a window whose painting failed.
  EXPECT_TRUE(IsWhite(c.At(20, 80)));
  EXPECT_TRUE(IsWhite(c.At(270, 80)));
  EXPECT_GT(c.Count(RECT{50, 35, 82, 67}, IsBlueish), 500) << "logo";
  EXPECT_GT(
      c.Count(RECT{95, 35, 212, 67}, [](std::uint32_t p) { return IsInk(p) && !IsBlueish(p); }), 50)
      << "title";
  EXPECT_GT(c.Count(RECT{95, 35, 212, 67}, IsWhite), 2000) << "title on white";
  EXPECT_TRUE(IsWindow(notice)) << "the notice still waits for its answer";
  ClickControl(ControlAt(notice, 354, 15));
  EXPECT_TRUE(WaitFor([&] { return h.Ended(); }, kClosing));
  EXPECT_EQ(result, 2);
}

TEST(Shadow, FollowsTheMainWindowThroughADragAndCarriesAlpha) {
  WindowHarness h;
  h.Open();
  HWND shadow = h.Dialog().ShadowHwnd();
  ASSERT_NE(shadow, nullptr);
  EXPECT_EQ(GetWindow(shadow, GW_OWNER), h.Hwnd());
  LONG ex = GetWindowLongW(shadow, GWL_EXSTYLE);
  EXPECT_TRUE(ex & WS_EX_LAYERED);
  EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(ex & WS_EX_APPWINDOW);
  auto expectAround = [&] {
    RECT m = WindowRect(h.Hwnd()), s = WindowRect(shadow);
    EXPECT_EQ(s.left, m.left - 7);
    EXPECT_EQ(s.top, m.top - 3);
    EXPECT_EQ(s.right, m.right + 7);
    EXPECT_EQ(s.bottom, m.bottom + 11);
  };
  expectAround();

  // A real drag by the body.
  RECT before = WindowRect(h.Hwnd());
  POINT start{before.left + 20, before.top + 100};
  SetCursorPos(start.x, start.y);
  Sleep(60);
  INPUT press{};
  press.type = INPUT_MOUSE;
  press.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  SendInput(1, &press, sizeof press);
  Sleep(60);
  for (int step = 1; step <= 4; ++step) {
    SetCursorPos(start.x - 15 * step, start.y + 10 * step);
    Sleep(60);
  }
  press.mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(1, &press, sizeof press);
  EXPECT_TRUE(WaitFor([&] { return WindowRect(h.Hwnd()).left == before.left - 60; }));
  h.OnUi([] {});
  expectAround();
  SetCursorPos(0, 0);
}

TEST(Shadow, PictureIsTransparentInTheMiddleAndSoftAtTheEdges) {
  // The same nine-part picture the window shows, for a 284 x 396 owner.
  RECT owner{100, 100, 384, 496};
  RECT place = CShadowDlg::PlaceFor(owner);
  std::unique_ptr<Gdiplus::Bitmap> picture = CShadowDlg::Render(
      place.right - place.left, place.bottom - place.top, CShadowDlg::kDefaultSize);
  ASSERT_NE(picture, nullptr);
  auto alpha = [&](int x, int y) {
    Gdiplus::Color c;
    picture->GetPixel(x, y, &c);
    return static_cast<int>(c.GetA());
  };
  // Where the owner lies, nothing.
  for (POINT p : {POINT{7, 3}, POINT{150, 200}, POINT{290, 398}, POINT{7, 398}, POINT{290, 3}}) {
    EXPECT_EQ(alpha(p.x, p.y), 0) << p.x << "," << p.y;
  }
  // Around it a shadow that is neither absent nor opaque, darkest next to
  // the owner and fading outwards, deepest below it.
  for (int y : {20, 200, 380}) {
    EXPECT_GT(alpha(6, y), alpha(0, y)) << "left edge at " << y;
    EXPECT_GT(alpha(0, y), 0);
    EXPECT_LT(alpha(6, y), 255);
    EXPECT_GT(alpha(291, y), alpha(297, y)) << "right edge at " << y;
  }
  EXPECT_GT(alpha(150, 399), alpha(150, 409)) << "bottom";
  EXPECT_GT(alpha(150, 409), 0);
  EXPECT_GT(alpha(150, 2), 0) << "top";
  // Edges are the same all along: the stretched rows are uniform.
  EXPECT_EQ(alpha(3, 100), alpha(3, 300));
  EXPECT_EQ(alpha(150, 402), alpha(250, 402));
}

TEST(ShakingCover, AClickBesideTheDialogShakesItAndPutsItBack) {
  WindowHarness h;
  h.Open();
  ASSERT_TRUE(h.Dialog().UsesCovers()) << "Wine reports a Windows newer than major version 5";
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
  HWND question = WaitForDialogOver(h.Hwnd());
  ASSERT_NE(question, nullptr);
  HWND cover = GetWindow(question, GW_OWNER);
  ASSERT_NE(cover, nullptr);
  ASSERT_NE(cover, h.Hwnd());
  EXPECT_EQ(GetWindow(cover, GW_OWNER), h.Hwnd());
  RECT m = WindowRect(h.Hwnd()), c = WindowRect(cover);
  EXPECT_TRUE(EqualRect(&m, &c)) << "the cover lies exactly over the window";
  EXPECT_TRUE(IsWindowEnabled(cover)) << "re-enabled to receive clicks";
  Sleep(200);
  SaveArtifact(CaptureScreen(RECT{m.left - 60, m.top - 20, m.right + 60, m.bottom + 20}),
               L"close_dialog_over_window");

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    RECT start = WindowRect(question);
    // A real click on the window's area above the dialog: it lands on the
    // cover. A second click during the shake changes nothing.
    SetCursorPos(m.left + 142, m.top + 40);
    Sleep(60);
    INPUT click[2] = {};
    click[0].type = click[1].type = INPUT_MOUSE;
    click[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    click[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, click, sizeof(INPUT));
    std::set<std::pair<int, int>> offsets;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(900);
    bool second = false;
    while (std::chrono::steady_clock::now() < end) {
      RECT r = WindowRect(question);
      offsets.insert({r.left - start.left, r.top - start.top});
      if (!second && offsets.size() > 1) {
        SendInput(2, click, sizeof(INPUT));
        second = true;
      }
      Sleep(2);
    }
    offsets.erase({0, 0});
    const std::set<std::pair<int, int>> diagonals = {{-2, -2}, {-2, 2}, {2, 2}, {2, -2}};
    EXPECT_GE(offsets.size(), 3u) << "the dialog was seen at several offsets";
    for (auto o : offsets) EXPECT_EQ(diagonals.count(o), 1u) << o.first << "," << o.second;
    RECT after = WindowRect(question);
    EXPECT_TRUE(EqualRect(&start, &after)) << "back where it was";
    RECT expected = CShadowDlg::PlaceFor(after), shadow = WindowRect(ShadowOf(question));
    EXPECT_TRUE(EqualRect(&expected, &shadow)) << "the shadow came back with it";
  }
  SetCursorPos(0, 0);
  ClickControl(ControlAt(question, 200, 165));  // "取消"
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(question) && !IsWindow(cover); }, kClosing));
  EXPECT_TRUE(IsWindowEnabled(h.Hwnd()));
  EXPECT_EQ(h.State(), CMainController::Connected);
}

// The cover pictures the window under the dialog; when the window changes
// meanwhile (the phone leaves while the close question is open), the
// picture follows: what shows around the dialog is what the window shows
// once the dialog is gone.
TEST(ShakingCover, ShowsTheWindowsNewStateAfterAChangeUnderTheDialog) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  RECT m = WindowRect(h.Hwnd());
  // Above and below the dialog and its shadow: the window's buttons, logo
  // and title; the disconnect button or the two lines of the waiting view,
  // and the links.
  auto around = [m] {
    Capture top = CaptureScreen(RECT{m.left, m.top, m.right, m.top + 90});
    Capture bottom = CaptureScreen(RECT{m.left, m.top + 316, m.right, m.bottom});
    top.pixels.insert(top.pixels.end(), bottom.pixels.begin(), bottom.pixels.end());
    return top;
  };
  PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
  HWND question = WaitForDialogOver(h.Hwnd());
  ASSERT_NE(question, nullptr);
  Sleep(200);
  Capture connected = around();
  h.Latest(Relay)->Message(R"({"msg":"bye"})");
  ASSERT_TRUE(h.WaitForState(CMainController::WaitingForPhone));
  auto differing = [](const Capture& a, const Capture& b) {
    int n = 0;
    for (std::size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i) {
      n += a.pixels[i] != b.pixels[i];
    }
    return n;
  };
  Capture covered;
  EXPECT_TRUE(WaitFor([&] {
    covered = around();
    return differing(connected, covered) > 100;
  })) << "the cover still shows the connected view";
  SaveArtifact(CaptureScreen(RECT{m.left - 60, m.top - 20, m.right + 60, m.bottom + 20}),
               L"close_dialog_after_phone_left");
  ClickControl(ControlAt(question, 200, 165));  // "取消"
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(question); }, kClosing));
  Capture uncovered;
  EXPECT_TRUE(WaitFor([&] {
    uncovered = around();
    return differing(covered, uncovered) == 0;
  })) << differing(covered, uncovered)
      << " pixels differ from the window itself";
}

// The window is asked to close (the program's shutdown, a second close)
// while a dialog waits: the dialog is put away, nothing is left behind and
// no modal loop is stuck.
TEST(DialogLifetimes, ClosingTheWindowPutsAnOpenDialogAway) {
  {
    WindowHarness h;
    h.Open();
    FakeSession* relay = h.Latest(Relay);
    ClickControl(h.Controls().about);
    HWND about = WaitForDialogOver(h.Hwnd());
    ASSERT_NE(about, nullptr);
    PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }, kClosing));
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(h.Hwnd()); }, kClosing)) << "the window then closes";
    EXPECT_TRUE(Called(relay, "Close"));
  }
  {
    // While the close question is open, a second close is that question.
    WindowHarness h;
    h.Open();
    ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
    PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
    HWND question = WaitForDialogOver(h.Hwnd());
    ASSERT_NE(question, nullptr);
    PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
    h.OnUi([] {});
    Sleep(100);
    EXPECT_EQ(FindDialogOver(h.Hwnd()), question) << "one question, still open";
    // Closed from the phone's side meanwhile: the answer still decides.
    h.Latest(Relay)->Message(R"({"msg":"bye"})");
    EXPECT_TRUE(h.WaitForState(CMainController::WaitingForPhone));
    ClickControl(ControlAt(question, 300, 165));
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(h.Hwnd()); }, kClosing));
  }
  {
    // The window destroyed under an open dialog: the dialog and its shadow
    // go with it and the modal runs end.
    WindowHarness h;
    h.Open();
    ClickControl(h.Controls().about);
    HWND about = WaitForDialogOver(h.Hwnd());
    ASSERT_NE(about, nullptr);
    HWND shadow = ShadowOf(about);
    HWND main = h.Hwnd();
    h.Dialog().PostToUi([main] { DestroyWindow(main); });
    EXPECT_TRUE(WaitFor([&] { return h.Ended(); }, kClosing)) << "no modal loop is left running";
    EXPECT_FALSE(IsWindow(about));
    EXPECT_FALSE(IsWindow(shadow));
  }
}
