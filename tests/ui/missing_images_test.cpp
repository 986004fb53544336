// The window built from resources whose images are missing or do not
// decode: every such place stays blank, the title moves left into the
// logo's place, and everything still works.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/ui/window_harness.h"

namespace {

class GdiplusEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
  }
  void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

 private:
  ULONG_PTR token_ = 0;
};

const auto* const kGdiplus = ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

Capture Settle(WindowHarness& h) {
  h.OnUi([&] { RedrawWindow(h.Hwnd(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN); });
  Sleep(100);
  return CaptureWindow(h.Hwnd());
}

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
  EXPECT_TRUE(WaitFor([&] { return !IsWindow(h.Hwnd()); }));
}
