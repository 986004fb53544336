// The parser's shortcuts (compact text taken whole, strings skipped eight
// units at a time, the usual object member found without the depth scan,
// short numbers converted without the full conversion) against plain
// character-by-character models of the same rules, on generated texts that
// put every special character at every position of the vector blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "json/json.h"
#include "json/json_scan.h"

namespace {

constexpr char16_t kEscapedQuote = u'\x01';

// Minifying one character at a time, escaped quotes left as they came (the
// writer turns them back anyway).
std::u16string ModelMinify(const std::u16string& in) {
  std::u16string out;
  std::size_t i = 0;
  const std::size_t n = in.size();
  while (i < n) {
    const char16_t c = in[i];
    if (c == u'"') {
      out += in[i++];
      while (i < n) {
        const char16_t s = in[i++];
        out += s;
        if (s == u'"') break;
        if (s == u'\\') {
          if (i == n) break;
          out += in[i++];
        }
      }
    } else if (c == u'\t' || c == u'\n' || c == u'\r' || c == u' ') {
      ++i;
    } else if (c == u'#' || (c == u'/' && i + 1 < n && in[i + 1] == u'/')) {
      while (i < n && in[i] != u'\n') ++i;
      if (i == n) break;
      ++i;
    } else if (c == u'/' && i + 1 < n && in[i + 1] == u'*') {
      const std::size_t close = in.find(u"*/", i + 2);
      if (close == std::u16string::npos) break;
      i = close + 2;
    } else if (c < 0x21 || c > 0x7E || c == u'/') {
      break;
    } else {
      out += in[i++];
    }
  }
  return out;
}

// The depth scan, one character at a time.
std::size_t ModelFind(const std::u16string& t, std::size_t i, char16_t a, char16_t b) {
  const std::size_t npos = std::u16string::npos;
  while (i < t.size()) {
    char16_t c = t[i];
    if (c == a || c == b) return i;
    if (c == u'"') {
      i = t.find(u'"', i + 1);
      if (i == npos) return npos;
    } else if (c == u'[' || c == u'{') {
      const char16_t open = c, close = c == u'[' ? u']' : u'}';
      std::size_t depth = 1;
      for (++i; i < t.size() && depth; ++i) {
        c = t[i];
        if (c == open) {
          ++depth;
        } else if (c == close) {
          --depth;
        } else if (c == u'"') {
          i = t.find(u'"', i + 1);
          if (i == npos) return npos;
        }
      }
      if (depth) return npos;
      continue;
    } else if (c == u']' || c == u'}') {
      return npos;
    }
    ++i;
  }
  return npos;
}

struct ModelMember {
  std::u16string rawName;  // between the quotes, still escaped
  std::u16string rawValue;
};

// An object's members as the depth scan splits them; nothing when a key has
// no colon.
std::optional<std::vector<ModelMember>> ModelSplit(const std::u16string& text) {
  std::vector<ModelMember> members;
  if (text.size() < 3) return members;
  std::size_t keyStart = 1;
  for (;;) {
    const std::size_t colon = ModelFind(text, keyStart, u':', u':');
    if (colon == std::u16string::npos) return std::nullopt;
    const std::size_t keyEnd = colon >= keyStart + 1 ? colon - 1 : keyStart;
    const std::size_t nameBegin = keyStart + 1 <= keyEnd ? keyStart + 1 : keyEnd;
    const std::size_t comma = ModelFind(text, colon, u',', u',');
    const std::size_t stop = comma == std::u16string::npos ? text.size() - 1 : comma;
    members.push_back(
        {text.substr(nameBegin, keyEnd - nameBegin), text.substr(colon + 1, stop - colon - 1)});
    if (comma == std::u16string::npos) return members;
    keyStart = comma + 1;
  }
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) {
    out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return out;
}

// Texts with `piece` at every position of a message, inside and outside
// its strings.
std::vector<std::u16string> Placements(const std::u16string& piece) {
  const std::u16string message =
      u"{\"msg\":\"laser_move\",\"x\":0.512345,\"y\":0.25,\"src\":\"a71c3e0f5b9d4e2c\"}";
  std::vector<std::u16string> texts;
  for (std::size_t at = 0; at <= message.size(); ++at) {
    texts.push_back(message.substr(0, at) + piece + message.substr(at));
  }
  return texts;
}

TEST(JsonReference, MinifyMatchesTheModelWithSpecialsAnywhere) {
  const std::u16string pieces[] = {
      u" ",    u"\t",    u"\n",   u"#c\n",   u"//c\n",   u"/*c*/",   u"/",        u"\\",
      u"\\\\", u"\"",    u"\x02", u"\u00e9", u"\u4e2d ", u"\\u4e2d", u"{",        u"]",
      u"\x7F", u"a b c", u"\\n",  u"\\\"",   u"\\\\\"",  u"\x01\\n", u"\\\"\x01", u"\\\\\\\"x\\"};
  int parsed = 0;
  for (const std::u16string& piece : pieces) {
    for (const std::u16string& text : Placements(piece)) {
      SCOPED_TRACE(Narrow(text));
      const std::u16string model = ModelMinify(text);
      const bool bracketed =
          model.size() >= 2 && ((model.front() == u'[' && model.back() == u']') ||
                                (model.front() == u'{' && model.back() == u'}'));
      if (!bracketed) {
        EXPECT_THROW(JsonParse(text), std::invalid_argument);
        continue;
      }
      JsonPtr root = JsonParse(text);
      EXPECT_EQ(JsonWrite(root), model);
      ++parsed;
    }
  }
  EXPECT_GT(parsed, 500);
  // A U+0001 that came escaped is written back as the escaped quote it
  // stands for, as the reader reads it.
  JsonPtr control = JsonParse(u"[\"a\\\x01\"]");
  EXPECT_EQ(JsonWrite(control), u"[\"a\\\"\"]");
  EXPECT_EQ(control.At(0).AsString(), u"a\"");
}

// Objects put together from awkward keys and values: the split must find
// the same members as the depth scan, whichever way each member is found.
TEST(JsonReference, ObjectSplitMatchesTheDepthScan) {
  const std::u16string keys[] = {u"\"k\"",      u"\"long_key_name_01\"",
                                 u"\"\"",       u"k",
                                 u"\"a\\tb\"",  u"\"a,b\"",
                                 u"\"a:b\"",    u"\"a}b\"",
                                 u"\"x\"\"y\"", u"\"\u4e2d\u6587\""};
  const std::u16string values[] = {u"1",
                                   u"-0.96261692366064655",
                                   u"\"v\"",
                                   u"\"a string longer than sixteen units\"",
                                   u"\"with,comma:and}brace]\"",
                                   u"\"x\"y",
                                   u"\"x\"\"y\"",
                                   u"{\"in\":[1,{\"deep\":\"]\"}]}",
                                   u"[1,\"]\",{}]",
                                   u"true",
                                   u"",
                                   u"\"\\n\\u4e2d\"",
                                   u"\"open"};
  std::uint32_t seed = 7;
  auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % bound;
  };
  for (int round = 0; round < 2000; ++round) {
    std::u16string text = u"{";
    const std::uint32_t members = 1 + next(5);
    for (std::uint32_t m = 0; m < members; ++m) {
      if (m) text += next(20) ? u"," : u",,";
      text += keys[next(10)];
      text += next(25) ? u":" : u"";
      text += values[next(13)];
    }
    text += u"}";
    SCOPED_TRACE(Narrow(text));
    // An unterminated string can leave later text outside any string,
    // where the minifier may end it.
    const std::u16string minified = ModelMinify(text);
    if (minified.size() < 2 || minified.back() != u'}') {
      EXPECT_THROW(JsonParse(text), std::invalid_argument);
      continue;
    }
    const std::optional<std::vector<ModelMember>> model = ModelSplit(minified);
    JsonPtr root = JsonParse(text);
    if (!model) {
      EXPECT_EQ(root.Kind(), JsonKind::Null);
      continue;
    }
    ASSERT_EQ(root.Kind(), JsonKind::Object);
    ASSERT_EQ(root.Size(), model->size());
    for (std::size_t i = 0; i < model->size(); ++i) {
      const JsonValue& child = *root->children->slots[i];
      const ModelMember& expected = (*model)[i];
      if (expected.rawName.find(u'\\') == std::u16string::npos) {
        EXPECT_EQ(child.name, expected.rawName);
        EXPECT_FALSE(child.nameEscaped);
      } else {
        EXPECT_TRUE(child.nameEscaped);
      }
      // An unread child still holds its raw text, failed Nulls aside.
      if (!child.decoded) {
        EXPECT_EQ(child.text, expected.rawValue);
      }
      if (child.kind == JsonKind::String) {
        EXPECT_EQ(child.text, expected.rawValue);
      }
    }
  }
}

// Numbers short enough for the exact shortcut and those just past it, read
// as the C library reads them.
TEST(JsonReference, NumbersMatchTheFullConversion) {
  const char* const texts[] = {
      "0",
      "-0",
      "0.1",
      "0.512345",
      "9007199254740992",
      "9007199254740993",
      "9007199254740993.5",
      "1234567890123456789",
      "12345678901234567890",
      "0.96261692366064655",
      "1e22",
      "1e23",
      "4.35e-22",
      "4.35e-23",
      "123456789e-22",
      "0.000000000000000000001",
      "1.7976931348623157e308",
      "2.2250738585072014e-308",
      "5e-324",
      "1.",
      ".5",
      "+.25e1",
      "-9007199254740993",
      "0.1234567890123456789012",
      "0.0000000000000000000000001",
      "3.14159265358979323846264338327950288419716939937510582097494459230781"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const std::u16string wide(text, text + std::char_traits<char>::length(text));
    const double expected = std::strtod(text, nullptr);
    const double got = JsonParse(u"[" + wide + u"]").At(0).AsDouble();
    EXPECT_EQ(got, expected);
    EXPECT_EQ(std::signbit(got), std::signbit(expected));
    // A string reads its text by the same conversion.
    EXPECT_EQ(JsonParse(u"[\"" + wide + u"\"]").At(0).AsDouble(), expected);
  }
  // Random decimals with up to twenty digits and exponents around the
  // shortcut's limits.
  std::uint64_t seed = 99;
  auto next = [&seed](std::uint64_t bound) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return (seed >> 33) % bound;
  };
  for (int round = 0; round < 20000; ++round) {
    std::string text = next(4) ? "" : "-";
    const std::uint64_t digits = 1 + next(20);
    const std::uint64_t point = next(digits + 1);
    for (std::uint64_t d = 0; d < digits; ++d) {
      if (d == point && d) text += '.';
      text += static_cast<char>('0' + next(10));
    }
    if (next(3) == 0) text += "e" + std::to_string(static_cast<int>(next(61)) - 30);
    SCOPED_TRACE(text);
    const std::u16string wide(text.begin(), text.end());
    // As a string: leading zeros would fail the number syntax.
    const double expected = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(JsonParse(u"[\"" + wide + u"\"]").At(0).AsDouble(), expected);
    // As a number wherever the syntax allows one.
    JsonPtr number = JsonParse(u"[" + wide + u"]").At(0);
    if (number.Kind() == JsonKind::Number) ASSERT_EQ(number.AsDouble(), expected);
  }
}

// Text built through the API is escaped on the way out; escapes and plain
// runs meet at every position of a string.
TEST(JsonReference, EscapingMatchesTheModel) {
  const std::u16string specials = u"\b\t\n\f\r\"/\\";
  const std::u16string escapes[] = {u"\\b", u"\\t",  u"\\n", u"\\f",
                                    u"\\r", u"\\\"", u"\\/", u"\\\\"};
  for (std::size_t s = 0; s < specials.size(); ++s) {
    for (std::size_t at = 0; at <= 20; ++at) {
      const std::u16string text =
          std::u16string(at, u'a') + specials[s] + u"\u4e2d\x01" + specials[s];
      const std::u16string expected =
          std::u16string(at, u'a') + escapes[s] + u"\u4e2d\x01" + escapes[s];
      JsonPtr root = JsonNew(JsonKind::Object);
      root.Append(JsonNewString(u"k" + std::u16string(1, specials[s]), text));
      EXPECT_EQ(JsonWrite(root), u"{\"k" + escapes[s] + u"\":\"" + expected + u"\"}");
    }
  }
}

// The vector scans against a unit-by-unit search: every structural unit
// and near miss (units that pack or fold onto one) at every position of
// the blocks, searched from every start.
TEST(JsonReference, ScansFindWhatAUnitByUnitSearchFinds) {
  const char16_t units[] = {u'"',    u',',    u':',      u'[',      u']',      u'{',      u'}',
                            u'\x01', u'\x7F', u'\u00FF', u'\u017B', u'\u015B', u'\uFF2C', u'\u8022',
                            u'\x1B', u'\x0C', u'\x1A',   u'K',      u'M',      u'\\'};
  for (std::size_t length = 0; length <= 40; ++length) {
    for (char16_t unit : units) {
      for (std::size_t at = 0; at <= length; ++at) {
        std::u16string text(length, u'5');
        if (at < length) text[at] = unit;
        for (std::size_t start = 0; start <= length; ++start) {
          const char16_t* const b = text.data();
          const char16_t* const e = b + length;
          const char16_t* expected = b + start;
          while (expected < e && !json_detail::IsStructuralUnit(*expected)) ++expected;
          ASSERT_EQ(json_detail::FindStructural(b + start, e) - b, expected - b)
              << length << " " << static_cast<int>(unit) << " " << at << " " << start;
          const char16_t* quote = b + start;
          while (quote < e && *quote != u'"' && *quote != u'\\') ++quote;
          ASSERT_EQ(json_detail::FindEither(b + start, e, u'"', u'\\') - b, quote - b);
        }
      }
    }
  }
}

}  // namespace
