// The window and its dialogs at the screen density of the Wine prefix the
// program runs in (PIVARO_EXPECT_DPI says which: 96, 144 or 192): sizes,
// controls, text and the QR code scaled, read back from the screen; and a
// move to a screen of another density (WM_DPICHANGED) lays everything out
// again and, moved back, gives exactly the first picture.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/qr_code.h"
#include "tests/ui/window_harness.h"
#include "ui/win32/shadow_dlg.h"

namespace {

// What each density must give, written out rather than computed the way
// the program computes it.
struct Expected {
  UINT dpi;
  SIZE window;
  RECT qrCode;      // the QR view in the window's client area
  RECT close;       // the close button
  RECT connect;     // the connect button
  SIZE dialog;      // the close, about and update dialogs
  RECT shadowOut;   // how far a shadow reaches beyond its owner: left, top, right, bottom
  float smallText;  // the em height of the window's 12-pixel texts
};

constexpr Expected kDensities[] = {
    {96,
     {284, 396},
     {49, 107, 234, 292},
     {243, 0, 284, 30},
     {102, 320, 182, 346},
     {375, 202},
     {7, 3, 7, 11},
     12},
    {144,
     {426, 594},
     {74, 161, 351, 438},
     {365, 0, 427, 45},
     {153, 480, 273, 519},
     {563, 303},
     {11, 5, 11, 17},
     18},
    {192,
     {568, 792},
     {98, 214, 468, 584},
     {486, 0, 568, 60},
     {204, 640, 364, 692},
     {750, 404},
     {14, 6, 14, 22},
     24},
};

const Expected& For(UINT dpi) {
  for (const Expected& e : kDensities) {
    if (e.dpi == dpi) return e;
  }
  return kDensities[0];
}

UINT ExpectedDpi() {
  const char* text = std::getenv("PIVARO_EXPECT_DPI");
  return text ? static_cast<UINT>(std::atoi(text)) : 96;
}

RECT WindowRect(HWND w) {
  RECT r{};
  GetWindowRect(w, &r);
  return r;
}

// A child's rectangle in its parent's client area.
RECT ChildRect(HWND child) {
  RECT r = WindowRect(child);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::string Describe(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
         "," + std::to_string(r.bottom);
}

#define EXPECT_RECT(expected, actual) EXPECT_EQ(Describe(expected), Describe(actual))

std::wstring Name(const wchar_t* what, UINT dpi) {
  return L"dpi" + std::to_wstring(dpi) + L"_" + what;
}

// The window as laid out for e, read back from the screen.
void ExpectLaidOutFor(WindowHarness& h, const Expected& e) {
  SCOPED_TRACE(testing::Message() << "at " << e.dpi << " DPI");
  RECT w = WindowRect(h.Hwnd());
  EXPECT_EQ(w.right - w.left, e.window.cx);
  EXPECT_EQ(w.bottom - w.top, e.window.cy);
  EXPECT_RECT(e.qrCode, ChildRect(h.Controls().qrCode));
  EXPECT_RECT(e.close, ChildRect(h.Controls().close));
  EXPECT_RECT(e.connect, ChildRect(h.Controls().connect));
  HRGN region = CreateRectRgn(0, 0, 0, 0);
  ASSERT_EQ(GetWindowRgn(h.Hwnd(), region), COMPLEXREGION);
  RECT shape{};
  GetRgnBox(region, &shape);
  DeleteObject(region);
  EXPECT_EQ(shape.right, e.window.cx) << "the rounded shape covers the whole window";
  EXPECT_EQ(shape.bottom, e.window.cy);
  RECT shadow = WindowRect(h.Dialog().ShadowHwnd());
  EXPECT_RECT(e.shadowOut, (RECT{w.left - shadow.left, w.top - shadow.top, shadow.right - w.right,
                                 shadow.bottom - w.bottom}));
}

// The two lines under the code: their ink is as tall as their font allows
// and they sit where the layout puts them, centred across the window.
void ExpectScaledText(const Capture& c, const Expected& e) {
  const float k = static_cast<float>(e.dpi) / 96;
  for (float y : {326.f, 342.f}) {
    const int centre = static_cast<int>(y * k + 0.5f);
    const int reach = static_cast<int>(e.smallText * 0.65f);
    RECT line = c.Bounds(RECT{0, centre - reach, e.window.cx, centre + reach}, IsInk);
    ASSERT_GT(line.right, line.left) << "no text at y " << centre;
    const int height = line.bottom - line.top;
    // CJK glyphs ink most of the em square; unscaled 12-pixel text would
    // stay near 11 pixels at any density.
    EXPECT_GE(height, e.smallText * 0.75f) << "y " << centre;
    EXPECT_LE(height, e.smallText * 1.1f) << "y " << centre;
    EXPECT_NEAR((line.top + line.bottom) / 2.0, centre, 3 * k) << "y " << centre;
    EXPECT_NEAR((line.left + line.right) / 2.0, e.window.cx / 2.0, 6 * k) << "y " << centre;
  }
}

// The code on the screen is the pairing address's, in whole-pixel modules
// as large as the square allows.
void ExpectReadableCode(WindowHarness& h, const Expected& e, Capture* shown) {
  const std::string address = h.Dialog().PairingAddress();
  CQRSymbol symbol;
  if (!symbol.Encode(address)) {
    // A build without the QR encoder shows the address as text.
    *shown = Settle(h);
    return;
  }
  RECT square{e.qrCode.left, e.qrCode.top, e.qrCode.right, e.qrCode.bottom};
  int module = 0;
  bool readable = WaitFor([&] {
    *shown = Settle(h);
    return ShowsQrCodeOf(*shown, square, address, &module);
  });
  if (!readable) SaveArtifact(*shown, Name(L"unreadable_code", e.dpi));
  ASSERT_TRUE(readable) << "the code at " << e.dpi << " DPI";
  EXPECT_EQ(module, (e.qrCode.right - e.qrCode.left) / symbol.Width());
}

}  // namespace

TEST(Dpi, WindowDialogsTextAndCodeFollowTheScreensDensity) {
  const UINT dpi = ExpectedDpi();
  const Expected& e = For(dpi);
  ASSERT_EQ(e.dpi, dpi) << "no expectations for " << dpi << " DPI";
  WindowHarness h;
  h.Open();
  ASSERT_EQ(h.Dialog().Scale().Dpi(), dpi) << "the prefix's density reaches the window";
  ExpectLaidOutFor(h, e);

  Capture connecting = Settle(h);
  SaveArtifact(connecting, Name(L"connecting", dpi));
  // With its shadow, as the user sees it (under a compositing manager).
  RECT around = WindowRect(h.Hwnd());
  InflateRect(&around, static_cast<int>(20 * dpi / 96), static_cast<int>(20 * dpi / 96));
  SaveArtifact(CaptureScreen(around), Name(L"connecting_with_shadow", dpi));
  ExpectScaledText(connecting, e);

  ASSERT_NO_FATAL_FAILURE(h.ReachWaiting());
  Capture waiting;
  ASSERT_NO_FATAL_FAILURE(ExpectReadableCode(h, e, &waiting));
  SaveArtifact(waiting, Name(L"waiting_for_phone", dpi));
  ExpectScaledText(waiting, e);

  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  Capture connected = Settle(h);
  SaveArtifact(connected, Name(L"connected", dpi));
  const float k = static_cast<float>(dpi) / 96;
  // The check mark fills its scaled square (68 pixels at 96 DPI).
  const int image = static_cast<int>(68 * k + 0.5f);
  const RECT mark{static_cast<LONG>(108 * k + 0.5f), static_cast<LONG>(121 * k + 0.5f),
                  static_cast<LONG>(108 * k + 0.5f) + image,
                  static_cast<LONG>(121 * k + 0.5f) + image};
  EXPECT_GT(connected.Count(mark, IsGreen), image * image / 2) << "check mark";

  // The close question: sized for the density, centred on the window, its
  // buttons and text scaled with it.
  PostMessageW(h.Hwnd(), WM_CLOSE, 0, 0);
  HWND question = WaitForDialogOver(h.Hwnd());
  ASSERT_NE(question, nullptr);
  RECT d = WindowRect(question), m = WindowRect(h.Hwnd());
  EXPECT_EQ(d.right - d.left, e.dialog.cx);
  EXPECT_EQ(d.bottom - d.top, e.dialog.cy);
  EXPECT_NEAR((d.left + d.right) / 2, (m.left + m.right) / 2, 1);
  HWND confirm =
      ChildWindowFromPoint(question, POINT{static_cast<LONG>(300 * k), static_cast<LONG>(165 * k)});
  ASSERT_NE(confirm, question);
  RECT confirmRect = ChildRect(confirm);
  EXPECT_EQ(confirmRect.right - confirmRect.left, static_cast<int>(93 * k + 0.5f));
  Sleep(150);
  Capture dialog = CaptureWindow(question);
  SaveArtifact(dialog, Name(L"close_dialog", dpi));
  RECT title = dialog.Bounds(RECT{static_cast<LONG>(10 * k), static_cast<LONG>(10 * k),
                                  static_cast<LONG>(120 * k), static_cast<LONG>(35 * k)},
                             IsInk);
  // GDI+ starts a text a sixth of its em in from the point it is given.
  EXPECT_GE(title.left, 15 * k) << "title";
  EXPECT_LE(title.left, 15 * k + e.smallText * 0.4f) << "title";
  EXPECT_GE(title.bottom - title.top, e.smallText * 0.75f) << "title text scaled";
  PostMessageW(question, WM_COMMAND, MAKEWPARAM(8, 0), 0);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(question); }, std::chrono::seconds(20)));
}

TEST(Dpi, AMoveToAnotherDensityLaysTheWindowOutAgain) {
  const UINT dpi = ExpectedDpi();
  const Expected& before = For(dpi);
  ASSERT_EQ(before.dpi, dpi);
  // To 200 % from 100 %, else back to 100 %.
  const Expected& after = dpi == 96 ? For(192) : For(96);
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachWaiting());
  Capture first;
  ASSERT_NO_FATAL_FAILURE(ExpectReadableCode(h, before, &first));
  const RECT start = WindowRect(h.Hwnd());

  // Windows asks for the size at the new density first, then moves the
  // window to the rectangle it suggests.
  SIZE asked{0, 0};
  EXPECT_TRUE(
      SendMessageW(h.Hwnd(), WM_GETDPISCALEDSIZE, after.dpi, reinterpret_cast<LPARAM>(&asked)));
  EXPECT_EQ(asked.cx, after.window.cx);
  EXPECT_EQ(asked.cy, after.window.cy);
  // Near the work area's corner, so that the larger window stays on the
  // screen (a capture reaches no further).
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  RECT suggested{work.left + 10, work.top + 20, work.left + 10 + asked.cx,
                 work.top + 20 + asked.cy};
  SendMessageW(h.Hwnd(), WM_DPICHANGED, MAKEWPARAM(after.dpi, after.dpi),
               reinterpret_cast<LPARAM>(&suggested));
  RECT moved = WindowRect(h.Hwnd());
  EXPECT_RECT(suggested, moved);
  EXPECT_EQ(h.Dialog().Scale().Dpi(), after.dpi);
  ExpectLaidOutFor(h, after);
  Capture there;
  ASSERT_NO_FATAL_FAILURE(ExpectReadableCode(h, after, &there));
  SaveArtifact(there, Name(L"moved_waiting_for_phone", after.dpi));
  ExpectScaledText(there, after);

  // And back: the very same picture as before the move.
  SendMessageW(h.Hwnd(), WM_DPICHANGED, MAKEWPARAM(before.dpi, before.dpi),
               reinterpret_cast<LPARAM>(&start));
  EXPECT_RECT(start, WindowRect(h.Hwnd()));
  ExpectLaidOutFor(h, before);
  Capture back;
  ASSERT_NO_FATAL_FAILURE(ExpectReadableCode(h, before, &back));
  ASSERT_EQ(back.width, first.width);
  ASSERT_EQ(back.height, first.height);
  int differing = 0;
  for (std::size_t i = 0; i < first.pixels.size(); ++i) {
    differing += first.pixels[i] != back.pixels[i];
  }
  EXPECT_EQ(differing, 0);
}

// The update corner keeps its triangle at every density: only its
// lower-right half is the button.
TEST(Dpi, UpdateCornerIsTheScaledTriangle) {
  const UINT dpi = ExpectedDpi();
  const float k = static_cast<float>(dpi) / 96;
  WindowHarness::Options options;
  options.updateState = CMainController::kUpdateOptional;
  WindowHarness h(options);
  h.Open();
  HWND corner = h.Controls().update;
  ASSERT_NE(corner, nullptr);
  RECT r = ChildRect(corner);
  const LONG side = static_cast<LONG>(46 * k + 0.5f);
  EXPECT_RECT(
      (RECT{static_cast<LONG>(238 * k + 0.5f), static_cast<LONG>(350 * k + 0.5f),
            static_cast<LONG>(238 * k + 0.5f) + side, static_cast<LONG>(350 * k + 0.5f) + side}),
      r);
  Capture c;
  ASSERT_TRUE(WaitFor([&] {
    c = Settle(h);
    return c.Count(RECT{r.right - side / 2, r.bottom - side / 2, r.right, r.bottom}, IsBlueish) >
           side * side / 8;
  })) << "the ribbon's lower half";
  SaveArtifact(c, Name(L"update_offered", dpi));
  EXPECT_EQ(c.Count(RECT{r.left, r.top, r.left + side / 4, r.top + side / 4}, IsBlueish), 0);
  POINT lower{r.left + side * 7 / 8, r.top + side * 7 / 8};
  POINT upper{r.left + side / 8, r.top + side / 8};
  ClientToScreen(h.Hwnd(), &lower);
  ClientToScreen(h.Hwnd(), &upper);
  EXPECT_EQ(WindowFromPoint(lower), corner);
  EXPECT_EQ(WindowFromPoint(upper), h.Hwnd());
}

// A dialog moved to a screen of another density takes the suggested
// rectangle and lays its buttons and links out again.
TEST(Dpi, ADialogMovedToAnotherDensityLaysItselfOutAgain) {
  const UINT dpi = ExpectedDpi();
  const Expected& after = dpi == 96 ? For(144) : For(96);
  const float k = static_cast<float>(after.dpi) / 96;
  WindowHarness h;
  h.Open();
  ClickControl(h.Controls().about);
  HWND about = WaitForDialogOver(h.Hwnd());
  ASSERT_NE(about, nullptr);
  SIZE asked{0, 0};
  EXPECT_TRUE(
      SendMessageW(about, WM_GETDPISCALEDSIZE, after.dpi, reinterpret_cast<LPARAM>(&asked)));
  EXPECT_EQ(asked.cx, after.dialog.cx);
  EXPECT_EQ(asked.cy, after.dialog.cy);
  RECT start = WindowRect(about);
  RECT suggested{start.left, start.top, start.left + asked.cx, start.top + asked.cy};
  SendMessageW(about, WM_DPICHANGED, MAKEWPARAM(after.dpi, after.dpi),
               reinterpret_cast<LPARAM>(&suggested));
  EXPECT_RECT(suggested, WindowRect(about));
  // The OK button (265, 152 at 96 DPI, an 80 x 26 strip frame) and the
  // agreement link (35, 155, 113, 175).
  HWND ok =
      ChildWindowFromPoint(about, POINT{static_cast<LONG>(300 * k), static_cast<LONG>(165 * k)});
  ASSERT_NE(ok, about);
  RECT okRect = ChildRect(ok);
  EXPECT_EQ(okRect.left, static_cast<LONG>(265 * k + 0.5f));
  EXPECT_EQ(okRect.right - okRect.left, static_cast<LONG>(80 * k + 0.5f));
  HWND agreement =
      ChildWindowFromPoint(about, POINT{static_cast<LONG>(70 * k), static_cast<LONG>(165 * k)});
  ASSERT_NE(agreement, about);
  RECT link = ChildRect(agreement);
  EXPECT_EQ(link.left, static_cast<LONG>(35 * k + 0.5f));
  EXPECT_EQ(link.bottom, static_cast<LONG>(175 * k + 0.5f));
  Sleep(150);
  SaveArtifact(CaptureWindow(about), Name(L"moved_about_dialog", after.dpi));
  PostMessageW(about, WM_COMMAND, MAKEWPARAM(8, 0), 0);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(about); }, std::chrono::seconds(20)));
}

// The shadow's nine parts meet without a seam at every density: along each
// band a column or row differs from its neighbours no more than the
// image's own gradient does.
TEST(Dpi, ShadowPartsMeetWithoutASeam) {
  struct Case {
    UINT dpi;
    SIZE owner;  // at 96 DPI: the main window, a dialog
  };
  for (Case k : {Case{96, {284, 396}}, Case{96, {375, 202}}, Case{120, {284, 396}},
                 Case{120, {375, 202}}, Case{144, {284, 396}}, Case{144, {375, 202}},
                 Case{192, {284, 396}}, Case{192, {375, 202}}}) {
    const UINT dpi = k.dpi;
    SCOPED_TRACE(testing::Message() << dpi << " DPI, " << k.owner.cx << " x " << k.owner.cy);
    const DpiScale scale(dpi);
    RECT owner{100, 100, 100 + scale(static_cast<int>(k.owner.cx)),
               100 + scale(static_cast<int>(k.owner.cy))};
    RECT place = CShadowDlg::PlaceFor(owner, scale);
    const int w = place.right - place.left, h = place.bottom - place.top;
    std::unique_ptr<Gdiplus::Bitmap> picture =
        CShadowDlg::Render(w, h, CShadowDlg::kDefaultSize, scale);
    ASSERT_NE(picture, nullptr);
    auto alpha = [&](int x, int y) {
      Gdiplus::Color c;
      picture->GetPixel(x, y, &c);
      return static_cast<int>(c.GetA());
    };
    const int below = owner.bottom - place.top;  // first row under the owner
    for (int y = below; y < h; ++y) {
      for (int x = 1; x + 1 < w; ++x) {
        int step = std::abs(alpha(x, y) - (alpha(x - 1, y) + alpha(x + 1, y)) / 2);
        ASSERT_LE(step, 6) << "bottom band, " << x << "," << y;
      }
    }
    const int left = owner.left - place.left;  // the owner's first column
    for (int x = 0; x < left; ++x) {
      for (int y = 1; y + 1 < h; ++y) {
        int step = std::abs(alpha(x, y) - (alpha(x, y - 1) + alpha(x, y + 1)) / 2);
        ASSERT_LE(step, 6) << "left band, " << x << "," << y;
      }
    }
  }
}

// The PC-drawn laser dot takes the density of the show's screen: it stays
// centred on the point and as large there as it is at 96 DPI on its own.
TEST(Dpi, LaserDotFollowsTheShowScreensDensity) {
  const UINT dpi = ExpectedDpi();
  const int side = dpi == 192 ? 104 : dpi == 144 ? 78 : 52;
  const RECT slide{240, 0, 1680, 1080};
  StandInShow show(slide);
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  h.RunShowIn(show, slide, Wps);
  h.Latest(Relay)->Message(R"({"msg":"laser_down","x":0.5,"y":0.5})");
  ASSERT_TRUE(WaitFor([&] { return h.Dialog().LaserHwnd() != nullptr; }));
  h.OnUi([] {});
  RECT r = WindowRect(h.Dialog().LaserHwnd());
  EXPECT_EQ(r.right - r.left, side);
  EXPECT_EQ(r.bottom - r.top, side);
  EXPECT_EQ((r.left + r.right) / 2, 960);
  EXPECT_EQ((r.top + r.bottom) / 2, 540);
  Sleep(200);
  Capture dot = CaptureScreen(r);
  SaveArtifact(dot, Name(L"laser_dot", dpi));
  EXPECT_GT(dot.Count(RECT{side / 3, side / 3, side * 2 / 3, side * 2 / 3}, IsDot),
            side * side / 12)
      << "a solid dot at the point";
  h.Latest(Relay)->Message(R"({"msg":"laser_up"})");
}
