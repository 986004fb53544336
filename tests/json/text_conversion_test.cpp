// UTF-8 <-> UTF-16 conversion at the wire boundary.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "json/json.h"
#include "json/json_internal.h"

namespace {

TEST(TextConversion, Utf8RoundTripOfNonAscii) {
  const std::string utf8 = "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z";  // A é 中 😀 z
  std::u16string wide;
  ASSERT_TRUE(ToWide(utf8, 65001, wide));
  EXPECT_EQ(wide, u"A\u00e9\u4e2d\U0001F600z");
  std::string back;
  ASSERT_TRUE(ToUtf8(wide, back));
  EXPECT_EQ(back, utf8);

  ASSERT_TRUE(ToWide("", 65001, wide));
  EXPECT_EQ(wide, u"");
  ASSERT_TRUE(ToUtf8(u"", back));
  EXPECT_EQ(back, "");
}

TEST(TextConversion, InvalidUtf8FailsAndLeavesTheOutput) {
  for (const std::string& bad :
       {std::string("\xC3"), std::string("a\xFFz"), std::string("\xE4\xB8"), std::string("\x80"),
        std::string("\xED\xA0\x80"), std::string("\xC0\xAF"), std::string("\xF4\x90\x80\x80"),
        std::string("ok\xF0\x9F\x98")}) {
    std::u16string wide = u"unchanged";
    EXPECT_FALSE(ToWide(bad, 65001, wide));
    EXPECT_EQ(wide, u"unchanged");
  }
}

TEST(TextConversion, LoneSurrogatesFailAndLeaveTheOutput) {
  for (const std::u16string& bad :
       {std::u16string(u"a\xD83D"), std::u16string(u"\xDE00z"), std::u16string(u"\xD83D\xD83D")}) {
    std::string utf8 = "unchanged";
    EXPECT_FALSE(ToUtf8(bad, utf8));
    EXPECT_EQ(utf8, "unchanged");
  }
}

TEST(TextConversion, SystemCodePageReadsAscii) {
  std::u16string wide;
  ASSERT_TRUE(ToWide("plain {\"msg\":1}", 0, wide));
  EXPECT_EQ(wide, u"plain {\"msg\":1}");
}

TEST(TextConversion, MessageFromTheWireParses) {
  std::u16string wide;
  ASSERT_TRUE(ToWide("{\"msg\":\"note\",\"text\":\"\xE4\xB8\xAD\\u6587\"}", 65001, wide));
  JsonPtr root = JsonParse(wide);
  EXPECT_EQ(root.Member(u"text").AsString(), u"\u4e2d\u6587");
}

// The one-pass conversions against the platform's converter. Each sample
// is tried at every offset in ASCII filler, so that it falls at every
// position of the sixteen-byte blocks the ASCII runs are taken in, and at
// the very end, where a truncated sequence must not read past the text.
namespace fast_paths {

std::string Bytes(std::initializer_list<int> bytes) {
  std::string text;
  for (int b : bytes) text += static_cast<char>(b);
  return text;
}

void ExpectSameAsSystem(const std::string& narrow) {
  std::u16string fast = u"untouched";
  std::u16string system = u"untouched";
  const bool fastOk = json_detail::FastUtf8ToUtf16(narrow, fast);
  const bool systemOk = json_detail::SystemToWide(narrow, 65001, system);
  // The fast path may decline only what the system refuses; whatever it
  // accepts it converts exactly as the system does.
  if (fastOk) {
    EXPECT_TRUE(systemOk);
    EXPECT_EQ(fast, system);
  } else {
    EXPECT_EQ(fast, u"untouched");
  }
  EXPECT_EQ(fastOk, systemOk);
  std::u16string viaToWide = u"untouched";
  EXPECT_EQ(ToWide(narrow, 65001, viaToWide), systemOk);
  EXPECT_EQ(viaToWide, system);
}

void ExpectSameAsSystem(const std::u16string& wide) {
  std::string fast = "untouched";
  std::string system = "untouched";
  const bool fastOk = json_detail::FastUtf16ToUtf8(wide, fast);
  const bool systemOk = json_detail::SystemToUtf8(wide, system);
  EXPECT_EQ(fastOk, systemOk);
  EXPECT_EQ(fast, system);
  std::string viaToUtf8 = "untouched";
  EXPECT_EQ(ToUtf8(wide, viaToUtf8), systemOk);
  EXPECT_EQ(viaToUtf8, system);
}

TEST(TextConversion, Utf8FastPathMatchesTheSystemAtEveryOffset) {
  const std::string samples[] = {
      Bytes({0xC2, 0x80}),              // U+0080, the first pair
      Bytes({0xDF, 0xBF}),              // U+07FF
      Bytes({0xE0, 0xA0, 0x80}),        // U+0800
      Bytes({0xED, 0x9F, 0xBF}),        // U+D7FF, below the surrogates
      Bytes({0xEE, 0x80, 0x80}),        // U+E000, above them
      Bytes({0xEF, 0xBF, 0xBF}),        // U+FFFF
      Bytes({0xF0, 0x90, 0x80, 0x80}),  // U+10000, the first pair of units
      Bytes({0xF4, 0x8F, 0xBF, 0xBF}),  // U+10FFFF
      "\xE4\xB8\xAD\xE6\x96\x87",       // two Chinese characters
      Bytes({0x7F}),
      Bytes({0x00}),
      // Refused: overlong forms, surrogates, past U+10FFFF, stray or
      // missing continuation bytes, bytes that never occur.
      Bytes({0xC0, 0xAF}),
      Bytes({0xC1, 0xBF}),
      Bytes({0xE0, 0x9F, 0xBF}),
      Bytes({0xF0, 0x8F, 0xBF, 0xBF}),
      Bytes({0xED, 0xA0, 0x80}),
      Bytes({0xED, 0xBF, 0xBF}),
      Bytes({0xF4, 0x90, 0x80, 0x80}),
      Bytes({0xF5, 0x80, 0x80, 0x80}),
      Bytes({0xFF}),
      Bytes({0x80}),
      Bytes({0xBF, 0x41}),
      Bytes({0xC3, 0x41}),
      Bytes({0xE4, 0xB8, 0x41}),
      Bytes({0xF0, 0x9F, 0x98, 0x41}),
      Bytes({0xC3}),
      Bytes({0xE4, 0xB8}),
      Bytes({0xF0, 0x9F, 0x98}),
  };
  for (const std::string& sample : samples) {
    for (std::size_t offset = 0; offset <= 40; ++offset) {
      const std::string before(offset, 'a');
      SCOPED_TRACE(offset);
      ExpectSameAsSystem(before + sample);
      ExpectSameAsSystem(before + sample + std::string(19, 'z'));
      ExpectSameAsSystem(before + sample + sample + "{\"msg\":1}");
    }
  }
}

TEST(TextConversion, Utf16FastPathMatchesTheSystemAtEveryOffset) {
  const std::u16string samples[] = {
      u"\u007F", u"\u0080", u"\u07FF", u"\u0800", u"\uD7FF", u"\uE000", u"\uFFFF", u"\uFFFE",
      u"\u4E2D\u6587", u"\U00010000", u"\U0010FFFF", std::u16string(1, u'\0'),
      // Refused: lone and misordered surrogates.
      std::u16string(1, char16_t(0xD800)), std::u16string(1, char16_t(0xDBFF)),
      std::u16string(1, char16_t(0xDC00)), std::u16string(1, char16_t(0xDFFF)),
      std::u16string{char16_t(0xDC00), char16_t(0xD800)},
      std::u16string{char16_t(0xD800), char16_t(0xD800)}, std::u16string{char16_t(0xD83D), u'A'}};
  for (const std::u16string& sample : samples) {
    for (std::size_t offset = 0; offset <= 24; ++offset) {
      const std::u16string before(offset, u'a');
      SCOPED_TRACE(offset);
      ExpectSameAsSystem(before + sample);
      ExpectSameAsSystem(before + sample + std::u16string(9, u'z'));
      ExpectSameAsSystem(before + sample + sample + u"{\"msg\":1}");
    }
  }
}

// Random texts made mostly of pieces of real characters, so that valid
// and broken sequences mix in every way.
TEST(TextConversion, FastPathsMatchTheSystemOnRandomText) {
  std::uint32_t seed = 12345;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % bound;
  };
  const std::string pieces[] = {
      "a",        "\"",       "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xC3", "\xB8",
      "\xED\xA0", "\xF4\x90", "\xE0\x80", "\xFF",         "0123456789abcdef"};
  for (int round = 0; round < 3000; ++round) {
    std::string narrow;
    const std::uint32_t count = next(24);
    for (std::uint32_t i = 0; i < count; ++i) narrow += pieces[next(12)];
    ExpectSameAsSystem(narrow);
    std::u16string wide;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t kind = next(6);
      wide += kind == 0   ? char16_t(0xD800 + next(0x800))
              : kind == 1 ? char16_t(0x80 + next(0x780))
              : kind == 2 ? char16_t(0x4E00 + next(0x100))
                          : char16_t(0x20 + next(0x5F));
    }
    ExpectSameAsSystem(wide);
  }
}

// Pure ASCII of every length up to a few blocks and some longer texts,
// with one non-ASCII character at each position (at a few positions for
// the long ones): the block loops, the overlapping last block and the
// fallback must each give the platform's result.
TEST(TextConversion, FastPathsMatchTheSystemAtEveryLength) {
  std::vector<std::size_t> lengths;
  for (std::size_t length = 0; length <= 48; ++length) lengths.push_back(length);
  for (std::size_t length : {170, 171, 510, 511, 512, 513, 514, 1030}) lengths.push_back(length);
  for (std::size_t length : lengths) {
    SCOPED_TRACE(length);
    std::string narrow;
    std::u16string wide;
    for (std::size_t i = 0; i < length; ++i) {
      narrow += static_cast<char>('!' + i % 90);
      wide += static_cast<char16_t>(u'!' + i % 90);
    }
    ExpectSameAsSystem(narrow);
    ExpectSameAsSystem(wide);
    std::vector<std::size_t> positions;
    if (length <= 48) {
      for (std::size_t at = 0; at < length; ++at) positions.push_back(at);
    } else {
      positions = {0, 1, length / 2, length - 2, length - 1};
    }
    for (std::size_t at : positions) {
      std::string n = narrow;
      n.replace(at, 1, "\xC3\xA9");
      ExpectSameAsSystem(n);
      n = narrow;
      n.replace(at, 1, "\xF0\x9F\x98\x80");  // four bytes, two units
      ExpectSameAsSystem(n);
      std::u16string w = wide;
      w[at] = u'\u4E2D';
      ExpectSameAsSystem(w);
      w[at] = char16_t(0xD800);  // lone surrogate: refused on either path
      ExpectSameAsSystem(w);
    }
  }
  // All non-ASCII: the most output per unit or byte.
  ExpectSameAsSystem(std::u16string(512, u'\u4E2D'));
  ExpectSameAsSystem(std::u16string(513, u'\u4E2D'));
  std::string chinese;
  for (int i = 0; i < 171; ++i) chinese += "\xE4\xB8\xAD";
  ExpectSameAsSystem(chinese);
}

}  // namespace fast_paths

}  // namespace
