// The main window as the user meets it: each state rendered by the real
// window and read back from the screen, the controls driven by mouse
// messages, the window dragged by its body.
#include <windows.h>

#include <commctrl.h>
#include <windowsx.h>

#include <gtest/gtest.h>

#include "app/qr_code.h"
#include "tests/ui/window_harness.h"

namespace {

// Where the layout puts things (client pixels).
constexpr RECT kLogo{50, 35, 82, 67};
constexpr RECT kTitleBand{63, 35, 212, 67};
constexpr RECT kImage{108, 121, 176, 189};
constexpr RECT kQrCode{49, 107, 234, 292};
constexpr RECT kSpinner{108, 165, 176, 233};
constexpr RECT kConnectButton{102, 320, 182, 346};
constexpr int kWidth = 284;

RECT Band(int centreY, int halfHeight) {
  return RECT{0, centreY - halfHeight, kWidth, centreY + halfHeight};
}

struct Visibility {
  bool loading, retry, connect, cancel, qrCode;
};

Visibility Visible(const CMainDlg::ControlWindows& c) {
  return {IsWindowVisible(c.loading) != FALSE, IsWindowVisible(c.retry) != FALSE,
          IsWindowVisible(c.connect) != FALSE, IsWindowVisible(c.cancel) != FALSE,
          IsWindowVisible(c.qrCode) != FALSE};
}

std::wstring Text(HWND window) {
  wchar_t buffer[64] = {};
  GetWindowTextW(window, buffer, 64);
  return buffer;
}

// The common frame: white body, the logo, the title beside it, and the
// separator between the two links at the bottom.
void ExpectFrame(const Capture& c, int titleX) {
  EXPECT_TRUE(IsWhite(c.At(20, 100)));
  EXPECT_GT(c.Count(kLogo, IsBlueish), 500) << "logo";
  RECT title = c.Bounds(kTitleBand, [](std::uint32_t p) { return IsInk(p) && !IsBlueish(p); });
  // The text starts a few pixels in: GDI+ pads the layout box.
  EXPECT_GE(title.left, titleX) << "title";
  EXPECT_LE(title.left, titleX + 8) << "title";
  EXPECT_GE(title.top, 35);
  EXPECT_LE(title.bottom, 67);
  RECT separator = c.Bounds(RECT{130, 368, 154, 388}, IsInk);
  EXPECT_NEAR((separator.left + separator.right) / 2, 142, 2) << "separator";
}

// A line of text centred across the window on y.
void ExpectCentredLine(const Capture& c, int y, int halfHeight) {
  RECT line = c.Bounds(Band(y, halfHeight + 4), IsInk);
  ASSERT_GT(line.right, line.left) << "no text at y " << y;
  // Ink, not layout: a trailing full-width "！" inks only its left half.
  EXPECT_NEAR((line.left + line.right) / 2, kWidth / 2, 6) << "y " << y;
  EXPECT_NEAR((line.top + line.bottom) / 2, y, 3) << "y " << y;
}

}  // namespace

TEST(MainWindow, TitleSizeRegionAndStartState) {
  WindowHarness h;
  h.Open();
  EXPECT_EQ(Text(h.Hwnd()), L"Pivaro");
  RECT r;
  GetWindowRect(h.Hwnd(), &r);
  EXPECT_EQ(r.right - r.left, 284);
  EXPECT_EQ(r.bottom - r.top, 396);
  // Centred on the work area.
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  EXPECT_NEAR((r.left + r.right) / 2, (work.left + work.right) / 2, 1);
  HRGN region = CreateRectRgn(0, 0, 0, 0);
  EXPECT_EQ(GetWindowRgn(h.Hwnd(), region), COMPLEXREGION);
  EXPECT_FALSE(PtInRegion(region, 0, 0)) << "rounded corner";
  EXPECT_TRUE(PtInRegion(region, 142, 200));
  DeleteObject(region);
  EXPECT_TRUE(SendMessageW(h.Hwnd(), WM_GETICON, ICON_BIG, 0));
  EXPECT_TRUE(SendMessageW(h.Hwnd(), WM_GETICON, ICON_SMALL, 0));
  EXPECT_EQ(h.State(), CMainController::Connecting);
  // No update offered: nothing in the lower-right corner.
  EXPECT_EQ(h.Controls().update, nullptr);
}

TEST(MainWindow, EachStateIsDrawnAsLaidOut) {
  WindowHarness h;
  h.Open();

  // Connecting: the spinner turns; the two lines under it.
  Capture connecting = Settle(h);
  SaveArtifact(connecting, L"connecting");
  ExpectFrame(connecting, 95);
  EXPECT_GT(connecting.Count(kSpinner, IsBlueish), 200) << "spinner";
  ExpectCentredLine(connecting, 326, 6);
  ExpectCentredLine(connecting, 342, 6);
  Visibility v = Visible(h.Controls());
  EXPECT_TRUE(v.loading);
  EXPECT_FALSE(v.retry || v.connect || v.cancel || v.qrCode);
  int frame = h.Dialog().LoadingFrame();
  EXPECT_TRUE(WaitFor([&] { return h.Dialog().LoadingFrame() != frame; }));
  Capture later = Settle(h);
  int differing = 0;
  for (int y = kSpinner.top; y < kSpinner.bottom; ++y) {
    for (int x = kSpinner.left; x < kSpinner.right; ++x) {
      differing += connecting.At(x, y) != later.At(x, y);
    }
  }
  EXPECT_GT(differing, 50) << "the spinner's picture changes as it turns";

  // WaitingForPhone: the QR view in its square; the same two lines.
  ASSERT_NO_FATAL_FAILURE(h.ReachWaiting());
  Capture waiting = Settle(h);
  SaveArtifact(waiting, L"waiting_for_phone");
  ExpectFrame(waiting, 95);
  v = Visible(h.Controls());
  EXPECT_TRUE(v.qrCode);
  EXPECT_FALSE(v.loading || v.retry || v.connect || v.cancel);
  RECT view;
  GetWindowRect(h.Controls().qrCode, &view);
  MapWindowPoints(nullptr, h.Hwnd(), reinterpret_cast<POINT*>(&view), 2);
  EXPECT_EQ(view.left, kQrCode.left);
  EXPECT_EQ(view.top, kQrCode.top);
  EXPECT_EQ(view.right, kQrCode.right);
  EXPECT_EQ(view.bottom, kQrCode.bottom);
  EXPECT_GT(waiting.Count(kQrCode, IsInk), 100) << "the pairing address is shown";
  EXPECT_EQ(waiting.Count(kSpinner, IsBlueish), 0);
  ExpectCentredLine(waiting, 326, 6);
  ExpectCentredLine(waiting, 342, 6);

  // Connected: the check mark at (108, 121), two 14-pixel lines, the
  // disconnect button.
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  Capture connected = Settle(h);
  SaveArtifact(connected, L"connected");
  ExpectFrame(connected, 95);
  EXPECT_GT(connected.Count(kImage, IsGreen), 2000) << "check mark";
  EXPECT_TRUE(IsWhite(connected.At(107, 155))) << "nothing left of the image";
  EXPECT_TRUE(IsWhite(connected.At(142, 121))) << "the circle's top edge is at 121 + 2";
  EXPECT_TRUE(IsGreen(connected.At(142, 126)));
  ExpectCentredLine(connected, 214, 7);
  ExpectCentredLine(connected, 234, 7);
  v = Visible(h.Controls());
  EXPECT_TRUE(v.connect);
  EXPECT_FALSE(v.loading || v.retry || v.cancel || v.qrCode);
  EXPECT_EQ(Text(h.Controls().connect), L"断开连接");
  EXPECT_GT(connected.Count(kConnectButton, IsInk), 30) << "button caption";

  // NetworkError: the warning sign, the reconnect button and the cancel link.
  ASSERT_NO_FATAL_FAILURE(h.ReachNetworkError());
  Capture error = Settle(h);
  SaveArtifact(error, L"network_error");
  ExpectFrame(error, 95);
  EXPECT_GT(error.Count(kImage, IsOrange), 2000) << "warning sign";
  ExpectCentredLine(error, 214, 7);
  ExpectCentredLine(error, 234, 7);
  v = Visible(h.Controls());
  EXPECT_TRUE(v.connect && v.cancel);
  EXPECT_FALSE(v.loading || v.retry || v.qrCode);
  EXPECT_EQ(Text(h.Controls().connect), L"重新连接");
  EXPECT_GT(error.Count(RECT{195, 322, 221, 342}, IsBlueish), 10) << "cancel link";
}

TEST(MainWindow, ConnectFailedShowsTheRetryLink) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnectFailed());
  Capture failed = Settle(h);
  SaveArtifact(failed, L"connect_failed");
  ExpectFrame(failed, 95);
  Visibility v = Visible(h.Controls());
  EXPECT_TRUE(v.retry);
  EXPECT_FALSE(v.loading || v.connect || v.cancel || v.qrCode);
  RECT link = failed.Bounds(RECT{51, 189, 233, 209}, IsBlueish);
  EXPECT_NEAR((link.left + link.right) / 2, 142, 3) << "retry link";
  ExpectCentredLine(failed, 326, 6);
}

namespace {

// Real pointer input: the cursor moves, the system delivers the messages.
void MouseTo(int x, int y) {
  SetCursorPos(x, y);
  Sleep(60);
}

void MouseButton(bool down) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
  SendInput(1, &input, sizeof input);
  Sleep(60);
}

POINT ScreenPoint(HWND window, int x, int y) {
  POINT p{x, y};
  ClientToScreen(window, &p);
  return p;
}

bool Called(FakeSession* s, const std::string& call) { return s && s->Count(call) > 0; }

}  // namespace

TEST(MainWindow, ButtonsAndLinksDriveTheController) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  FakeSession* relay = h.Latest(Relay);

  // A command with a notification code other than 0 is not a click.
  PostMessageW(h.Hwnd(), WM_COMMAND, MAKEWPARAM(CMainController::kCmdConnect, 1), 0);
  h.OnUi([] {});
  EXPECT_EQ(h.State(), CMainController::Connected);

  // Pressed, dragged out and released outside: no command.
  HWND connect = h.Controls().connect;
  PostMessageW(connect, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  PostMessageW(connect, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(200, 5));
  PostMessageW(connect, WM_LBUTTONUP, 0, MAKELPARAM(200, 5));
  h.OnUi([] {});
  EXPECT_EQ(h.State(), CMainController::Connected);
  EXPECT_FALSE(Called(relay, R"(Send({"msg":"bye"},1))"));

  // "断开连接": the phone is told goodbye and the window goes back to connecting.
  ClickControl(connect);
  EXPECT_TRUE(h.WaitForState(CMainController::Connecting));
  EXPECT_TRUE(WaitFor([&] { return Called(relay, R"(Send({"msg":"bye"},1))"); }));

  // The website link opens the product page.
  ClickControl(h.Controls().website);
  EXPECT_TRUE(WaitFor([&] { return !h.OpenedUrls().empty(); }));
  ASSERT_EQ(h.OpenedUrls().size(), 1u);
  EXPECT_EQ(h.OpenedUrls()[0], L"https://www.pivaro.invalid/");
}

TEST(MainWindow, ReconnectCancelAndRetry) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachNetworkError());
  FakeSession* relay = h.Latest(Relay);
  relay->ClearCalls();

  // "重新连接" starts the same sessions again.
  ClickControl(h.Controls().connect);
  EXPECT_TRUE(h.WaitForState(CMainController::Connecting));
  EXPECT_TRUE(WaitFor([&] { return Called(relay, "Start(0)"); }));
  // Both fail again (the LAN session is offered again too).
  relay->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  h.Latest(Direct)->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  ASSERT_TRUE(h.WaitForState(CMainController::NetworkError));

  // "取消" stops the primary to re-create both sessions.
  ClickControl(h.Controls().cancel);
  EXPECT_TRUE(h.WaitForState(CMainController::Connecting));
  EXPECT_TRUE(WaitFor([&] { return Called(relay, "Stop(1)"); }));

  // Its stop fails: the first attempt failed, the retry link shows, and
  // clicking it makes new sessions.
  relay->Notify([](INetSessionNotify* n) { n->OnStopped(true, 0); });
  ASSERT_TRUE(h.WaitForState(CMainController::ConnectFailed));
  ClickControl(h.Controls().retry);
  EXPECT_TRUE(h.WaitForState(CMainController::Connecting));
  EXPECT_TRUE(WaitFor([&] { return h.Latest(Relay) != relay; })) << "new sessions";
  EXPECT_TRUE(IsWindowVisible(h.Controls().loading));
}

TEST(MainWindow, CloseButtonSaysQuitAndEndsTheWindow) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachWaiting());
  FakeSession* relay = h.Latest(Relay);
  ClickControl(h.Controls().close);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(h.Hwnd()); }));
  EXPECT_TRUE(WaitFor([&] { return Called(relay, R"(SendSync({"msg":"quit"}))"); }));
  EXPECT_TRUE(Called(relay, "Close"));
}

TEST(MainWindow, HoverChangesTheButtonFrameAndTheLinkColour) {
  WindowHarness h;
  h.Open();
  const RECT close{243, 0, 284, 30};
  Capture idle = Settle(h);
  EXPECT_EQ(idle.Count(close, IsReddish), 0);

  POINT over = ScreenPoint(h.Hwnd(), 263, 15);
  MouseTo(over.x, over.y);
  MouseTo(over.x + 1, over.y);
  Capture hovered = Settle(h);
  SaveArtifact(hovered, L"close_hover");
  EXPECT_GT(hovered.Count(close, IsReddish), 600) << "hover frame";

  POINT link = ScreenPoint(h.Hwnd(), 122, 378);
  MouseTo(link.x, link.y);
  MouseTo(link.x + 1, link.y);
  Capture linkHovered = Settle(h);
  EXPECT_EQ(linkHovered.Count(close, IsReddish), 0) << "the close button was left";
  EXPECT_GT(linkHovered.Count(RECT{104, 368, 140, 388}, IsBlueish), 10) << "link hover colour";
  EXPECT_EQ(idle.Count(RECT{104, 368, 140, 388}, IsBlueish), 0);
  MouseTo(0, 0);
}

TEST(MainWindow, PressOnTheBodyDragsTheWindow) {
  WindowHarness h;
  h.Open();
  RECT before;
  GetWindowRect(h.Hwnd(), &before);
  POINT start = ScreenPoint(h.Hwnd(), 20, 100);
  MouseTo(start.x, start.y);
  MouseButton(true);
  for (int step = 1; step <= 4; ++step) MouseTo(start.x + 10 * step, start.y + 8 * step);
  MouseButton(false);
  RECT after;
  EXPECT_TRUE(WaitFor([&] {
    GetWindowRect(h.Hwnd(), &after);
    return after.left != before.left;
  }));
  EXPECT_EQ(after.left - before.left, 40);
  EXPECT_EQ(after.top - before.top, 32);
  MouseTo(0, 0);
}

TEST(MainWindow, UpdateCornerOnlyWhenOfferedAndOnlyItsLowerHalf) {
  WindowHarness::Options options;
  options.updateState = CMainController::kUpdateOptional;
  WindowHarness h(options);
  h.Open();
  HWND corner = h.Controls().update;
  ASSERT_NE(corner, nullptr);
  EXPECT_TRUE(IsWindowVisible(corner));
  Capture c = Settle(h);
  SaveArtifact(c, L"update_offered");
  EXPECT_GT(c.Count(RECT{262, 374, 284, 396}, IsBlueish), 300) << "the ribbon's lower half";
  EXPECT_EQ(c.Count(RECT{238, 350, 250, 362}, IsBlueish), 0) << "its upper-left half is window";
  POINT lower = ScreenPoint(h.Hwnd(), 238 + 40, 350 + 40);
  POINT upper = ScreenPoint(h.Hwnd(), 238 + 5, 350 + 5);
  EXPECT_EQ(WindowFromPoint(lower), corner);
  EXPECT_EQ(WindowFromPoint(upper), h.Hwnd());
  // A click hides it for the rest of the run.
  ClickControl(corner, 40, 40);
  EXPECT_TRUE(WaitFor([&] { return !IsWindowVisible(corner); }));
}

TEST(MainWindow, RequiredUpdateEndsTheDialogWithoutSessions) {
  WindowHarness::Options options;
  options.updateState = CMainController::kUpdateRequired;
  INT_PTR result = 0;
  WindowHarness h(options);
  // The update notice runs first; the dialog ends once it is answered.
  std::thread answer([&] {
    HWND notice = nullptr;
    if (WaitFor([&] { return h.Hwnd() && (notice = FindDialogOver(h.Hwnd())) != nullptr; })) {
      PostMessageW(notice, WM_COMMAND, MAKEWPARAM(8, 0), 0);
    }
  });
  // Hiding and destroying each window waits for a window manager under
  // Wine; the notice, its shadow and cover and the window add up.
  bool ended = h.RunUntilEnd(std::chrono::seconds(20), &result);
  answer.join();
  ASSERT_TRUE(ended);
  EXPECT_EQ(result, 2);
  EXPECT_EQ(h.SessionsMade(), 0u);
}

// A session that reports its start from inside Start posts while the window
// is still initialising: the window must already be there to be woken.
TEST(MainWindow, StartReportedDuringInitialisationReachesTheWindow) {
  WindowHarness::Options options;
  options.startInline = true;
  WindowHarness h(options);
  h.Open();
  EXPECT_TRUE(h.WaitForState(CMainController::WaitingForPhone));
  EXPECT_TRUE(IsWindowVisible(h.Controls().qrCode));
}

// Session threads hammer the controller while the window runs: every change
// reaches the window through its queue, and the window stays whole.
TEST(MainWindow, NotificationsFromManyThreadsAreSerialisedOnTheWindow) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachWaiting());
  FakeSession* relay = h.Latest(Relay);
  relay->connected = true;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([relay, t] {
      for (int i = 0; i < 100; ++i) {
        if ((i + t) % 2 == 0) {
          relay->Message(R"({"msg":"hello"})");
        } else {
          relay->Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  // The last word: a phone greets.
  relay->Message(R"({"msg":"hello"})");
  EXPECT_TRUE(h.WaitForState(CMainController::Connected));
  h.OnUi([] {});  // everything queued has run
  Visibility v = Visible(h.Controls());
  EXPECT_TRUE(v.connect);
  EXPECT_FALSE(v.qrCode || v.loading || v.retry || v.cancel);
  Capture c = Settle(h);
  EXPECT_GT(c.Count(kImage, IsGreen), 2000);
}

TEST(CloseDialog, AsksWhileConnectedAndOnlyConfirmCloses) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  FakeSession* relay = h.Latest(Relay);
  const std::string quit = R"(SendSync({"msg":"quit"}))";

  PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
  HWND question = WaitForDialogOver(h.Hwnd());
  ASSERT_NE(question, nullptr);
  RECT main, r;
  GetWindowRect(h.Hwnd(), &main);
  GetWindowRect(question, &r);
  EXPECT_EQ(r.right - r.left, 375);
  EXPECT_EQ(r.bottom - r.top, 202);
  EXPECT_NEAR((r.left + r.right) / 2, (main.left + main.right) / 2, 1) << "centred on the window";
  EXPECT_NEAR((r.top + r.bottom) / 2, (main.top + main.bottom) / 2, 1);
  Sleep(150);
  Capture c = CaptureWindow(question);
  SaveArtifact(c, L"close_dialog");
  RECT title = c.Bounds(RECT{10, 10, 120, 35}, IsInk);
  EXPECT_NEAR(title.left, 15, 4) << "title";
  RECT text = c.Bounds(RECT{30, 75, 375, 105}, IsInk);
  EXPECT_NEAR(text.left, 35, 4) << "question";
  EXPECT_GT(c.Count(RECT{252, 152, 345, 178}, IsInk), 30) << "confirm caption";
  EXPECT_GT(c.Count(RECT{164, 152, 244, 178}, IsInk), 20) << "cancel caption";

  // "取消" and the close button keep the client running.
  for (POINT keep : {POINT{200, 165}, POINT{354, 15}}) {
    if (!FindDialogOver(h.Hwnd())) {
      PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
      question = WaitForDialogOver(h.Hwnd());
      ASSERT_NE(question, nullptr);
    }
    ClickControl(ChildWindowFromPoint(question, keep));
    EXPECT_TRUE(WaitFor([&] { return !IsWindow(question); }, std::chrono::seconds(20)));
    h.OnUi([] {});
    EXPECT_EQ(h.State(), CMainController::Connected);
    EXPECT_FALSE(Called(relay, quit));
  }

  // "关闭并断开" closes: the phone is told, the window ends.
  PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
  question = WaitForDialogOver(h.Hwnd());
  ASSERT_NE(question, nullptr);
  ClickControl(ChildWindowFromPoint(question, POINT{300, 165}));
  // The question, its shadow and cover, and the window go one after the
  // other; under Wine each waits for a window manager that is not there.
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(h.Hwnd()); }, std::chrono::seconds(20)));
  EXPECT_TRUE(WaitFor([&] { return Called(relay, quit); }));
}

TEST(MainWindow, RightClickOnTheCodeRedrawsItWithTheOtherAddress) {
  WindowHarness::Options options;
  options.browserAddress = "http://192.168.1.20:50505/r/0123456789abcdef0123456789abcdef";
  WindowHarness h(options);
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachWaiting());
  ASSERT_TRUE(WaitFor([&] { return !h.Dialog().BrowserAddress().empty(); }));
  const std::string appAddress = h.Dialog().PairingAddress();
  const std::string browserAddress = h.Dialog().BrowserAddress();
  // A build without the QR encoder (its configure could not get libqrencode)
  // shows each address as text instead: then the view must change to the
  // other text and settle there.
  const bool encoder = CQRSymbol().Encode(appAddress);
  auto view = [](const Capture& c) {
    std::vector<std::uint32_t> pixels;
    for (int y = kQrCode.top; y < kQrCode.bottom; ++y) {
      for (int x = kQrCode.left; x < kQrCode.right; ++x) pixels.push_back(c.At(x, y));
    }
    return pixels;
  };
  // Each look waits for the address's code whole on the screen, not merely
  // for a change: a capture shows whatever part of a repaint has arrived.
  auto shows = [&](const std::string& address, Capture* c) {
    std::vector<std::uint32_t> previous;
    return WaitFor([&] {
      *c = Settle(h);
      if (encoder) return ShowsQrCodeOf(*c, kQrCode, address);
      std::vector<std::uint32_t> now = view(*c);
      bool settled = now == previous && c->Count(kQrCode, IsInk) > 100;
      previous = std::move(now);
      return settled;
    });
  };
  Capture app;
  ASSERT_TRUE(shows(appAddress, &app)) << "the app's code";
  // Nothing but the click invalidates the view: Settle only paints what
  // is already invalid.
  HWND code = h.Controls().qrCode;
  auto rightClick = [code] {
    PostMessageW(code, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(90, 90));
    PostMessageW(code, WM_RBUTTONUP, 0, MAKELPARAM(90, 90));
  };
  rightClick();
  Capture browser;
  if (encoder) {
    EXPECT_TRUE(shows(browserAddress, &browser)) << "the browser remote's code is drawn";
  } else {
    EXPECT_TRUE(WaitFor([&] { return view(Settle(h)) != view(app); }));
    EXPECT_TRUE(shows(browserAddress, &browser)) << "the browser remote's address is drawn";
    EXPECT_NE(view(browser), view(app));
  }
  SaveArtifact(browser, L"qr_browser_address");
  rightClick();
  EXPECT_TRUE(WaitFor([&] { return view(Settle(h)) == view(app); })) << "and the app's again";
}

namespace {

int LiveToolTips() {
  int n = 0;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND w, LPARAM p) -> BOOL {
        wchar_t name[64] = {};
        GetClassNameW(w, name, 64);
        if (lstrcmpiW(name, TOOLTIPS_CLASSW) == 0) ++*reinterpret_cast<int*>(p);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&n));
  return n;
}

HWND MakeParent() {
  return CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

}  // namespace

// A button's tooltip belongs to the button's parent: whichever of the two
// goes first, the tooltip is destroyed once and no handle of it is kept.
TEST(Buttons, TooltipGoesOnceWithItsButtonOrItsParent) {
  const int before = LiveToolTips();
  enum Ending { kParentDestroyed, kButtonObjectDeleted, kButtonWindowDestroyed };
  for (Ending ending : {kParentDestroyed, kButtonObjectDeleted, kButtonWindowDestroyed}) {
    SCOPED_TRACE(ending);
    HWND parent = MakeParent();
    ASSERT_NE(parent, nullptr);
    {
      CColorBitmapButton button;
      ASSERT_TRUE(button.Create(parent, RECT{0, 0, 20, 20}, 1));
      button.SetToolTipText(L"关闭");
      ASSERT_NE(button.ToolTipHwnd(), nullptr);
      EXPECT_EQ(LiveToolTips(), before + 1);
      if (ending == kParentDestroyed) {
        DestroyWindow(parent);
        parent = nullptr;
      } else if (ending == kButtonWindowDestroyed) {
        DestroyWindow(button.Hwnd());
      }
      if (ending != kButtonObjectDeleted) {
        EXPECT_EQ(LiveToolTips(), before);
        EXPECT_EQ(button.ToolTipHwnd(), nullptr) << "no stale handle to destroy again";
        EXPECT_EQ(button.Hwnd(), nullptr);
      }
    }
    EXPECT_EQ(LiveToolTips(), before);
    if (parent) {
      EXPECT_TRUE(IsWindow(parent)) << "the parent outlives its button";
      DestroyWindow(parent);
    }
  }
}

TEST(MainWindow, TransportNoteIsOneGreyLineUnderTheCodeWhileWaiting) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachWaiting());
  constexpr RECT kNoteBand{0, 294, kWidth, 316};
  Capture plain = Settle(h);
  EXPECT_EQ(plain.Count(kNoteBand, IsInk), 0) << "nothing there without a note";
  h.OnUi([&] { h.Dialog().SetTransportNote(u"云端中转不可用，仅可在同一局域网内连接"); });
  Capture noted = Settle(h);
  SaveArtifact(noted, L"waiting_with_transport_note");
  RECT note = noted.Bounds(kNoteBand, IsInk);
  ASSERT_GT(note.right, note.left) << "the note is drawn";
  EXPECT_GE(note.top, 295);
  EXPECT_LE(note.bottom, 315);
  EXPECT_LE(note.bottom - note.top, 14) << "one small line";
  EXPECT_NEAR((note.left + note.right) / 2, kWidth / 2, 6);
  // Grey, not the text colour: no channel far from the others.
  int coloured = noted.Count(kNoteBand, [](std::uint32_t c) {
    return IsInk(c) && (std::abs(Red(c) - Blue(c)) > 40 || Red(c) + Green(c) + Blue(c) < 200);
  });
  EXPECT_EQ(coloured, 0);
  // Everything else stays where it was.
  for (int y = 0; y < 396; ++y) {
    if (y >= kNoteBand.top && y < kNoteBand.bottom) continue;
    for (int x = 0; x < kWidth; ++x) {
      ASSERT_EQ(plain.At(x, y), noted.At(x, y)) << x << "," << y;
    }
  }
  // Only the waiting view carries it; an empty note hides it.
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  EXPECT_EQ(Settle(h).Count(kNoteBand, IsInk), 0);
  h.Latest(Relay)->Message(R"({"msg":"bye"})");
  ASSERT_TRUE(h.WaitForState(CMainController::WaitingForPhone));
  EXPECT_TRUE(WaitFor([&] { return Settle(h).Count(kNoteBand, IsInk) > 0; }));
  h.OnUi([&] { h.Dialog().SetTransportNote(u""); });
  EXPECT_EQ(Settle(h).Count(kNoteBand, IsInk), 0);
}

namespace {

struct TipState {
  std::wstring text;
  RECT rect{};
  int tools = 0;
};

TipState ReadTip(HWND tip, HWND window) {
  TipState s;
  s.tools = static_cast<int>(SendMessageW(tip, TTM_GETTOOLCOUNT, 0, 0));
  wchar_t text[128] = {};
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = window;
  tool.uId = 1;
  tool.lpszText = text;
  SendMessageW(tip, TTM_GETTEXTW, 128, reinterpret_cast<LPARAM>(&tool));
  s.text = text;
  TTTOOLINFOW info{};
  info.cbSize = sizeof info;
  info.hwnd = window;
  info.uId = 1;
  if (SendMessageW(tip, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&info))) s.rect = info.rect;
  return s;
}

}  // namespace

TEST(MainWindow, PhoneDescriptionIsATooltipOverTheConnectedView) {
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  HWND tip = h.Dialog().PhoneTipHwnd();
  ASSERT_NE(tip, nullptr);
  EXPECT_EQ(GetWindow(tip, GW_OWNER), h.Hwnd());
  h.OnUi([&] { h.Dialog().SetPhoneDescription(u"192.168.1.20"); });
  TipState s;
  h.OnUi([&] { s = ReadTip(tip, h.Hwnd()); });
  EXPECT_EQ(s.tools, 1);
  EXPECT_EQ(s.text, L"192.168.1.20");
  // Over the check mark and its two lines.
  EXPECT_EQ(s.rect.left, 20);
  EXPECT_EQ(s.rect.top, 121);
  EXPECT_EQ(s.rect.right, 264);
  EXPECT_EQ(s.rect.bottom, 245);
  EXPECT_EQ(Text(h.Hwnd()), L"Pivaro") << "the title stays the program's";
  h.OnUi([&] { h.Dialog().SetPhoneDescription(u""); });
  h.OnUi([&] { s = ReadTip(tip, h.Hwnd()); });
  EXPECT_EQ(s.text, L"");
}
