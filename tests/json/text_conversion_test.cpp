// UTF-8 <-> UTF-16 conversion at the wire boundary.
#include <gtest/gtest.h>

#include <string>

#include "json/json.h"

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

}  // namespace
