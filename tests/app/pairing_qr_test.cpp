// The pairing address, its QR symbol and how the view lays the symbol out.
#include <gtest/gtest.h>

#include <string>

#include "app/pairing_address.h"
#include "app/qr_code.h"
#include "app/state_texts.h"

TEST(PairingAddress, PrimaryParametersFirstNothingEscaped) {
  EXPECT_EQ(BuildPairingAddress("http://h/tavmix/", {{"a", "1"}, {"b", "2"}}, {{"c", "3"}}),
            "http://h/tavmix/?os=1&a=1&b=2&c=3");
  // The base is taken as it is: a line end of an override file stays, and a
  // "?" already there does not change the separator.
  EXPECT_EQ(BuildPairingAddress("http://h/x?y=1\n", {{"k", "a b&c"}}, {}),
            "http://h/x?y=1\n?os=1&k=a b&c");
  EXPECT_EQ(BuildPairingAddress("", {}, {}), "?os=1");
}

TEST(QrLayout, WholePixelModulesCentredInTheView) {
  // The main window's 185 x 185 view at (49, 107).
  QrLayout l = ComputeQrLayout(49, 107, 234, 292, 25);
  EXPECT_EQ(l.module, 7);
  EXPECT_EQ(l.x0, 49 + 5);
  EXPECT_EQ(l.y0, 107 + 5);
  l = ComputeQrLayout(0, 0, 185, 185, 41);
  EXPECT_EQ(l.module, 4);
  EXPECT_EQ(l.x0, 10);  // 21 pixels of margin, 10 before and 11 after
  // A wide view is limited by its height and centred across.
  l = ComputeQrLayout(0, 0, 300, 100, 21);
  EXPECT_EQ(l.module, 4);
  EXPECT_EQ(l.x0, (300 - 84) / 2);
  EXPECT_EQ(l.y0, (100 - 84) / 2);
  // No symbol, or one too big for the view: nothing to draw.
  EXPECT_EQ(ComputeQrLayout(0, 0, 185, 185, 0).module, 0);
  EXPECT_EQ(ComputeQrLayout(0, 0, 20, 20, 21).module, 0);
}

#if PIVARO_WITH_QRENCODE
TEST(QrSymbol, SmallestVersionAtLevelLWithEightBitData) {
  CQRSymbol s;
  EXPECT_FALSE(s.Encode(""));
  EXPECT_TRUE(s.Empty());
  // Version 1-L holds 17 bytes of 8-bit data, version 2-L 32.
  ASSERT_TRUE(s.Encode(std::string(17, 'a')));
  EXPECT_EQ(s.Version(), 1);
  EXPECT_EQ(s.Width(), 21);
  ASSERT_TRUE(s.Encode(std::string(18, 'a')));
  EXPECT_EQ(s.Version(), 2);
  EXPECT_EQ(s.Width(), 25);
  // Case is kept: upper-casing would make both symbols the same.
  CQRSymbol upper;
  ASSERT_TRUE(s.Encode("http://h/?os=1&id=abc"));
  ASSERT_TRUE(upper.Encode("HTTP://H/?OS=1&ID=ABC"));
  ASSERT_EQ(s.Width(), upper.Width());
  bool differ = false;
  for (int r = 0; r < s.Width(); ++r) {
    for (int c = 0; c < s.Width(); ++c) differ = differ || s.IsDark(r, c) != upper.IsDark(r, c);
  }
  EXPECT_TRUE(differ);
  // Beyond version 40-L (2953 bytes) there is no symbol.
  EXPECT_FALSE(s.Encode(std::string(3000, 'x')));
  EXPECT_TRUE(s.Empty());
}

TEST(QrSymbol, HalfBlocksDrawTwoRowsPerLineInsideTheQuietZone) {
  CQRSymbol s;
  ASSERT_TRUE(s.Encode("http://update.pivaro.invalid/tavmix/?os=1&sv=0100007fa0f3"));
  int n = s.Width();
  auto rows = QrHalfBlockRows(s, 4);
  ASSERT_EQ(rows.size(), static_cast<size_t>((n + 8 + 1) / 2));
  // First two text rows are the quiet zone: spaces only.
  EXPECT_EQ(rows[0], std::string(n + 8, ' '));
  EXPECT_EQ(rows[1], std::string(n + 8, ' '));
  // Row 2 holds module rows 0 and 1: the finder's top edge over its ring,
  // so full block, then upper halves, then a full block at its right edge.
  std::string expect = std::string(4, ' ') + "█" + std::string() + "▀▀▀▀▀" + "█";
  EXPECT_EQ(rows[2].substr(0, expect.size()), expect);
}
#endif

TEST(StateTexts, EachStateHasItsTwoLines) {
  auto t = TextsForState(CMainController::Connected);
  EXPECT_EQ(std::u16string(t.first), u"连接成功");
  EXPECT_EQ(std::u16string(t.second), u"现在可以用手机控制你的PPT啦！");
  t = TextsForState(CMainController::NetworkError);
  EXPECT_EQ(std::u16string(t.second), u"请确认您的电脑已连接网络。");
  for (auto s : {CMainController::Connecting, CMainController::ConnectFailed,
                 CMainController::WaitingForPhone}) {
    t = TextsForState(s);
    EXPECT_EQ(std::u16string(t.first), u"扫描二维码即可在手机控制PPT");
    EXPECT_EQ(t.pixelSize, 12);
  }
}
