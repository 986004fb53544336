// The window built from resources whose images are missing or do not
// decode: every such place stays blank, the title moves left into the
// logo's place, and everything still works.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/ui/window_harness.h"

namespace {

auto NotWhite = [](std::uint32_t p) { return !IsWhite(p); };

}  // namespace

TEST(MissingImages, PlacesStayBlankAndTheWindowWorks) {
  WindowHarness h;
  h.Open();
  Capture connecting = Settle(h);
  CreateDirectoryW(L"screenshots", nullptr);
  connecting.SavePng(L"screenshots\\missing_images.png");
  EXPECT_EQ(connecting.Count(RECT{50, 35, 62, 67}, NotWhite), 0) << "no logo";
  RECT title = connecting.Bounds(RECT{55, 35, 212, 67}, IsInk);
  EXPECT_GE(title.left, 63) << "the title takes the logo's place";
  EXPECT_LE(title.left, 71);
  EXPECT_EQ(connecting.Count(RECT{108, 165, 176, 233}, NotWhite), 0) << "no spinner strip";
  // Inside the rounded corner, which shows what is behind the window.
  EXPECT_EQ(connecting.Count(RECT{243, 0, 278, 30}, IsInk), 0) << "no close button image";

  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  Capture connected = Settle(h);
  EXPECT_EQ(connected.Count(RECT{108, 121, 176, 189}, NotWhite), 0) << "no check mark";
  EXPECT_GT(connected.Count(RECT{0, 204, 284, 244}, IsInk), 100) << "the texts still show";

  ASSERT_NO_FATAL_FAILURE(h.ReachNetworkError());
  Capture error = Settle(h);
  EXPECT_EQ(error.Count(RECT{108, 121, 176, 189}, NotWhite), 0) << "no warning sign";

  // The close button without its images still closes.
  ClickControl(h.Controls().close);
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(h.Hwnd()); }, std::chrono::seconds(20)));
}

// No update icon (115), no wide button strip (114), no shadow (116): the
// notice still shows its texts and its blank buttons still answer.
TEST(MissingImages, UpdateNoticeWithoutItsImagesStillAnswers) {
  WindowHarness::Options options;
  options.updateState = CMainController::kUpdateOptional;
  WindowHarness h(options);
  h.Open();
  ClickControl(h.Controls().update, 40, 40);
  HWND notice = WaitForDialogOver(h.Hwnd());
  ASSERT_NE(notice, nullptr);
  Sleep(200);
  Capture c = CaptureWindow(notice);
  EXPECT_EQ(c.Count(RECT{35, 77, 83, 125}, NotWhite), 0) << "no icon";
  EXPECT_GT(c.Count(RECT{95, 70, 375, 135}, IsInk), 100) << "the message";
  ClickControl(ChildWindowFromPoint(notice, POINT{300, 165}));
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(notice); }, std::chrono::seconds(20)));
  EXPECT_TRUE(WaitFor([&] { return h.OpenedUrls().size() == 1; }));
}

// No laser image (118): the dot's window is made, layered and fully
// transparent, so the slide shows through all of it.
TEST(MissingImages, LaserWithoutItsImageIsTransparent) {
  // To the right of the centred main window, which would cover the dot.
  const RECT slide{820, 100, 1260, 600};
  StandInShow show(slide);
  WindowHarness h;
  h.Open();
  ASSERT_NO_FATAL_FAILURE(h.ReachConnected());
  h.RunShowIn(show, slide, PowerPoint);
  h.Latest(Relay)->Message(R"({"msg":"laser_down","x":0.5,"y":0.8})");  // below the title bar
  ASSERT_TRUE(WaitFor([&] { return h.Dialog().LaserHwnd() != nullptr; }));
  h.OnUi([] {});
  HWND dot = h.Dialog().LaserHwnd();
  EXPECT_TRUE(GetWindowLongW(dot, GWL_EXSTYLE) & WS_EX_LAYERED);
  Sleep(200);
  RECT r;
  GetWindowRect(dot, &r);
  Capture c = CaptureScreen(r);
  CaptureScreen(RECT{r.left - 40, r.top - 40, r.right + 40, r.bottom + 40})
      .SavePng(L"screenshots\\laser_missing_image.png");
  EXPECT_EQ(c.width, 52);
  EXPECT_EQ(c.Count(RECT{0, 0, 52, 52}, [](std::uint32_t x) { return !IsSlide(x); }), 0)
      << "nothing drawn";
}
