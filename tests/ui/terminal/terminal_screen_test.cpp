// Drawing a frame in place: how wide a line is on screen, cutting it to the
// width, and the bytes that turn one frame into the next.
#ifndef _WIN32

#include "ui/terminal/terminal_screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(TerminalText, WidthCountsWideCharactersTwiceAndEscapesNotAtAll) {
  const struct {
    const char* text;
    int width;
  } cases[] = {
      {"", 0},
      {"abc", 3},
      {"\x1b[1mPivaro\x1b[0m", 6},
      {"连接成功", 8},
      {"版本号: 1.1.0.65", 16},
      {"\u2588\u2580\u2584 ", 4},  // half blocks are narrow
      {"\xff\xfe", 2},             // not UTF-8: a column per byte
      {"\xe8\xbf", 2},             // a cut sequence
      {"\x1b[", 0},                // an unfinished escape
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
}

TEST(TerminalText, FitCutsToTheWidthWithAnEllipsisAndKeepsEscapes) {
  const struct {
    const char* text;
    int columns;
    const char* fitted;
  } cases[] = {
      {"abcdef", 6, "abcdef"},
      {"abcdef", 4, "abc\u2026"},
      {"连接成功", 5, "连接\u2026"},  // a wide character never straddles the edge
      {"\x1b[1mabcdef\x1b[0m", 3, "\x1b[1mab\x1b[0m\u2026"},
      {"abc", 0, ""},
  };
  for (const auto& c : cases) {
    std::string fitted = FitWidth(c.text, c.columns);
    EXPECT_EQ(fitted, c.fitted) << c.text;
    EXPECT_LE(DisplayWidth(fitted), c.columns) << c.text;
  }
}

// Titles, notes and file names come from outside: none of their bytes may
// act on the terminal.
TEST(TerminalText, ControlCharactersFromOutsideAreReplaced) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string in, out;
  } cases[] = {
      {"Deck 1.odp", "Deck 1.odp"},
      {"演示文稿", "演示文稿"},
      {"a\x1b]0;owned\x07"
       "b",
       "a" + r + "]0;owned" + r + "b"},
      {"x\x1b[2Jy", "x" + r + "[2Jy"},
      {"tab\tnew\nline\r", "tab" + r + "new" + r + "line" + r},
      {std::string("nul\0end", 7), "nul" + r + "end"},
      {"del\x7f", "del" + r},
      {"csi\xc2\x9b"
       "2J",
       "csi" + r + "2J"},  // U+009B, the one-byte CSI
      {"nbsp\xc2\xa0ok", "nbsp\xc2\xa0ok"},
      {"trailing \xc2", "trailing \xc2"},
  };
  for (const auto& c : cases) EXPECT_EQ(PrintableText(c.in), c.out) << c.in;
}

TEST(TerminalFrame, OnlyChangedRowsAreWrittenAndVanishedRowsCleared) {
  const std::vector<std::string> a = {"", "  Pivaro", "  state one", "  keys"};
  const struct {
    const char* name;
    std::vector<std::string> after;
    bool full;
    std::string bytes;
  } cases[] = {
      {"same frame", a, false, ""},
      {"one row",
       {"", "  Pivaro", "  state two", "  keys"},
       false,
       "\x1b[3;1H\x1b[2K  state two\x1b[0m"},
      {"shorter", {"", "  Pivaro"}, false, "\x1b[3;1H\x1b[2K\x1b[4;1H\x1b[2K"},
      {"longer",
       {"", "  Pivaro", "  state one", "  keys", "  more"},
       false,
       "\x1b[5;1H\x1b[2K  more\x1b[0m"},
      {"full", {"", "  P"}, true, "\x1b[H\x1b[2J\x1b[2;1H\x1b[2K  P\x1b[0m"},
  };
  for (const auto& c : cases) EXPECT_EQ(FrameUpdate(a, c.after, c.full), c.bytes) << c.name;
}

TEST(TerminalFrame, AWrappingLineIsWrittenWholeWithTheTerminalsWrapping) {
  const std::string head = std::string(1, kWrapHead) + "  pairing: http://a-long-address";
  const std::string tail(1, kWrapTail);
  const std::vector<std::string> shown = {"", head, tail, "  keys"};
  // Written from its head with wrapping on, its rows cleared first.
  const std::string written =
      "\x1b[2;1H\x1b[2K\x1b[3;1H\x1b[2K\x1b[2;1H\x1b[?7h  pairing: http://a-long-address"
      "\x1b[0m\x1b[?7l";
  EXPECT_EQ(FrameUpdate({"", "", "", "  keys"}, shown, false), written);
  EXPECT_EQ(FrameUpdate(shown, shown, false), "");
  // Another address: written again as a whole.
  std::vector<std::string> other = shown;
  other[1] += "2";
  EXPECT_EQ(FrameUpdate(shown, other, false),
            "\x1b[2;1H\x1b[2K\x1b[3;1H\x1b[2K\x1b[2;1H\x1b[?7h  pairing: http://a-long-address2"
            "\x1b[0m\x1b[?7l");
  // Gone: its rows become ordinary rows again.
  EXPECT_EQ(FrameUpdate(shown, {"", "  Connected", "", "  keys"}, false),
            "\x1b[2;1H\x1b[2K  Connected\x1b[0m\x1b[3;1H\x1b[2K\x1b[0m");
}

#endif
