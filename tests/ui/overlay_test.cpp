// The PC-drawn laser dot over a stand-in slide show (a real top-level
// window on a thread of its own, as the show's window is in its own
// program), driven by the phone's laser messages through the real window;
// and the desktop port's simulated input checked by its effect.
#include <windows.h>

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "presentation/win32/system_ports.h"
#include "tests/ui/window_harness.h"

namespace {

RECT WindowRect(HWND w) {
  RECT r{};
  GetWindowRect(w, &r);
  return r;
}

POINT Cursor() {
  POINT p{};
  GetCursorPos(&p);
  return p;
}

std::string Laser(const char* name, double x, double y) {
  return std::string(R"({"msg":")") + name + R"(","x":)" + std::to_string(x) + R"(,"y":)" +
         std::to_string(y) + "}";
}

}  // namespace

TEST(LaserOverlay, ShownMovedAndHiddenOverTheShow) {
  // The slide rectangle of a 1920 x 1080 show of a 4:3 slide.
  const RECT slide{240, 0, 1680, 1080};
  StandInShow show(slide);
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  h.RunShowIn(show, slide, Wps);
  FakeSession* relay = h.Latest(Relay);

  relay->Message(Laser("laser_down", 0.5, 0.5));
  ASSERT_TRUE(WaitFor([&] { return h.Dialog().LaserHwnd() != nullptr; }));
  h.OnUi([] {});
  HWND dot = h.Dialog().LaserHwnd();
  RECT r = WindowRect(dot);
  EXPECT_EQ(r.left, 934);
  EXPECT_EQ(r.top, 514);
  EXPECT_EQ(r.right - r.left, 52);
  EXPECT_EQ(r.bottom - r.top, 52);
  EXPECT_EQ(GetWindow(dot, GW_OWNER), show.Hwnd()) << "owned by the show, so it stays above it";
  EXPECT_TRUE(GetWindowLongW(dot, GWL_EXSTYLE) & WS_EX_LAYERED);
  EXPECT_TRUE(IsWindowVisible(dot));
  EXPECT_EQ(GetWindowThreadProcessId(dot, nullptr), GetWindowThreadProcessId(h.Hwnd(), nullptr))
      << "made on the window's thread";
  // The cursor goes to the slide's bottom-right corner, as far as this
  // screen reaches.
  int screenW = GetSystemMetrics(SM_CXVIRTUALSCREEN),
      screenH = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  POINT c = Cursor();
  EXPECT_EQ(c.x, std::min<int>(1680, screenW - 1));
  EXPECT_EQ(c.y, std::min<int>(1080, screenH - 1));

  // On the screen: red in the middle, the slide all around the dot.
  Sleep(200);
  Capture around = CaptureScreen(RECT{934 - 20, 514 - 20, 934 + 72, 514 + 72});
  CreateDirectoryW(L"screenshots", nullptr);
  around.SavePng(L"screenshots\\laser_dot.png");
  CaptureScreen(RECT{700, 300, 1180, 740}).SavePng(L"screenshots\\laser_over_show.png");
  EXPECT_TRUE(IsDot(around.At(49, 49))) << std::hex << around.At(49, 49);
  EXPECT_GT(around.Count(RECT{36, 36, 56, 56}, IsDot), 200) << "a solid dot at the point";
  for (POINT corner : {POINT{20, 20}, POINT{71, 20}, POINT{20, 71}, POINT{71, 71}}) {
    EXPECT_TRUE(IsSlide(around.At(corner.x, corner.y)))
        << "the window's corner " << corner.x << "," << corner.y << " shows the slide " << std::hex
        << around.At(corner.x, corner.y);
  }
  EXPECT_EQ(around.Count(RECT{0, 0, 92, 16}, [](std::uint32_t x) { return !IsSlide(x); }), 0)
      << "nothing above the window";

  // Moves follow the point; a second press only moves.
  struct Step {
    const char* message;
    double x, y;
    POINT at;
  } steps[] = {{"laser_move", 0.25, 0.75, {574, 784}},
               {"laser_move", 0.0, 0.0, {214, -26}},
               {"laser_down", 1.0, 1.0, {1654, 1054}}};
  for (const Step& s : steps) {
    relay->Message(Laser(s.message, s.x, s.y));
    h.OnUi([] {});
    EXPECT_EQ(h.Dialog().LaserHwnd(), dot) << s.message;
    RECT m = WindowRect(dot);
    EXPECT_EQ(m.left, s.at.x) << s.x;
    EXPECT_EQ(m.top, s.at.y) << s.y;
    EXPECT_EQ(m.right - m.left, 52);
  }

  relay->Message(R"({"msg":"laser_up"})");
  h.OnUi([] {});
  EXPECT_FALSE(IsWindow(dot));
  EXPECT_EQ(h.Dialog().LaserHwnd(), nullptr);
  // Without the window, moves and releases change nothing.
  relay->Message(Laser("laser_move", 0.5, 0.5));
  relay->Message(R"({"msg":"laser_up"})");
  h.OnUi([] {});
  EXPECT_EQ(h.Dialog().LaserHwnd(), nullptr);
}

TEST(LaserOverlay, PowerPointFirstAndNothingWithoutAShowWindow) {
  const RECT slide{100, 50, 900, 650};
  StandInShow show(slide);
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  FakePresentation& p = h.Presentation();
  p.showRect = ScreenRect{slide.left, slide.top, slide.right, slide.bottom};
  p.showRunning = true;
  FakeSession* relay = h.Latest(Relay);

  // The show runs but its window cannot be found: no dot, the cursor still
  // leaves the slide.
  p.runningType = PowerPoint;
  p.showWindow = 0;
  relay->Message(Laser("laser_down", 0.5, 0.5));
  h.OnUi([] {});
  EXPECT_EQ(h.Dialog().LaserHwnd(), nullptr);
  POINT c = Cursor();
  EXPECT_EQ(c.x, 900);
  EXPECT_EQ(c.y, 650);
  ASSERT_FALSE(p.windowLookups.empty());
  EXPECT_EQ(p.windowLookups.back(), PowerPoint);

  // With the window: the dot, at the point.
  p.showWindow = reinterpret_cast<WindowHandle>(show.Hwnd());
  relay->Message(Laser("laser_down", 0.1, 0.9));
  h.OnUi([] {});
  HWND dot = h.Dialog().LaserHwnd();
  ASSERT_NE(dot, nullptr);
  RECT r = WindowRect(dot);
  EXPECT_EQ(r.left, 100 + 80 - 26);
  EXPECT_EQ(r.top, 50 + 540 - 26);
  relay->Message(R"({"msg":"laser_up"})");
  h.OnUi([] {});

  // No show at all: the dot stays away and the phone's laser is ignored.
  p.runningType = 0;
  p.showRunning = false;
  relay->Message(Laser("laser_down", 0.5, 0.5));
  h.OnUi([] {});
  EXPECT_EQ(h.Dialog().LaserHwnd(), nullptr);
}

// --- the desktop port's input -------------------------------------------------

namespace {

struct Received {
  UINT message;
  WPARAM wParam;
  POINT at;
};

std::vector<Received>* g_received = nullptr;

LRESULT CALLBACK RecordingProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  switch (m) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_KEYDOWN:
    case WM_KEYUP:
      if (g_received) g_received->push_back({m, wp, POINT{LOWORD(lp), HIWORD(lp)}});
      return 0;
    default:
      return DefWindowProcW(w, m, wp, lp);
  }
}

// Pumps this thread's messages for a while (the window lives here).
void Pump(int ms) {
  auto end = GetTickCount() + static_cast<DWORD>(ms);
  MSG m;
  while (static_cast<int>(end - GetTickCount()) > 0) {
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    Sleep(5);
  }
}

InputRecord Mouse(std::int32_t dx, std::int32_t dy, std::uint32_t flags) {
  InputRecord r;
  r.kind = InputRecord::Kind::Mouse;
  r.dx = dx;
  r.dy = dy;
  r.flags = flags;
  return r;
}

InputRecord Key(std::uint16_t vk, std::uint32_t flags) {
  InputRecord r;
  r.kind = InputRecord::Kind::Key;
  r.virtualKey = vk;
  r.flags = flags;
  return r;
}

}  // namespace

TEST(DesktopInput, SendInputAndSetCursorPosTakeEffect) {
  std::shared_ptr<IDesktop> desktop = CreateSystemDesktop();
  std::int32_t width = 0, height = 0;
  desktop->VirtualScreenSize(&width, &height);
  ASSERT_GT(width, 0);
  ASSERT_GT(height, 0);

  desktop->SetCursorPosition(321, 123);
  POINT c = Cursor();
  EXPECT_EQ(c.x, 321);
  EXPECT_EQ(c.y, 123);

  std::vector<Received> received;
  g_received = &received;
  WNDCLASSW wc{};
  wc.lpfnWndProc = RecordingProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"InputTarget";
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  RegisterClassW(&wc);
  HWND target = CreateWindowExW(0, L"InputTarget", L"input", WS_POPUP | WS_VISIBLE, 200, 150, 400,
                                300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(target, nullptr);
  SetForegroundWindow(target);
  SetFocus(target);
  Pump(200);
  received.clear();

  // A press, a move and a release in absolute virtual-desk units, as the
  // pen and the application's laser send them.
  auto absolute = [&](int px, int py) {
    return std::pair<std::int32_t, std::int32_t>(px * 65535 / width, py * 65535 / height);
  };
  auto [dx, dy] = absolute(300, 250);
  EXPECT_EQ(desktop->SendInputRecord(Mouse(dx, dy, 0xC003)), 1u);
  Pump(100);
  c = Cursor();
  EXPECT_NEAR(c.x, 300, 1);
  EXPECT_NEAR(c.y, 250, 1);
  auto [mx, my] = absolute(420, 330);
  EXPECT_EQ(desktop->SendInputRecord(Mouse(mx, my, 0xC001)), 1u);
  EXPECT_EQ(desktop->SendInputRecord(Mouse(0, 0, 0x4004)), 1u);
  Pump(150);
  c = Cursor();
  EXPECT_NEAR(c.x, 420, 1) << "the release does not move";
  EXPECT_NEAR(c.y, 330, 1);

  // Ctrl held and let go, and the E key, reach the focused window.
  EXPECT_EQ(desktop->SendInputRecord(Key(kVirtualKeyControl, 0)), 1u);
  EXPECT_EQ(desktop->SendInputRecord(Key(kVirtualKeyControl, kKeyUp)), 1u);
  EXPECT_EQ(desktop->SendInputRecord(Key(kVirtualKeyE, 0)), 1u);
  EXPECT_EQ(desktop->SendInputRecord(Key(kVirtualKeyE, kKeyUp)), 1u);
  Pump(200);

  std::vector<Received> expected = {
      {WM_LBUTTONDOWN, 0, {100, 100}},      {WM_LBUTTONUP, 0, {220, 180}},
      {WM_KEYDOWN, kVirtualKeyControl, {}}, {WM_KEYUP, kVirtualKeyControl, {}},
      {WM_KEYDOWN, kVirtualKeyE, {}},       {WM_KEYUP, kVirtualKeyE, {}}};
  ASSERT_EQ(received.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(received[i].message, expected[i].message);
    if (expected[i].message == WM_KEYDOWN || expected[i].message == WM_KEYUP) {
      EXPECT_EQ(received[i].wParam, expected[i].wParam);
    } else {
      EXPECT_NEAR(received[i].at.x, expected[i].at.x, 1);
      EXPECT_NEAR(received[i].at.y, expected[i].at.y, 1);
    }
  }
  g_received = nullptr;
  DestroyWindow(target);
}
