// Building, copy-on-write handles, the serializer and number texts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "json/json.h"
#include "json/json_internal.h"

namespace {

JsonPtr Number(const std::u16string& name, double v) {
  JsonPtr n = JsonNew(JsonKind::Null);
  n.SetDouble(v);
  n.SetName(name);
  return n;
}

TEST(JsonBuild, TypicalMessageInFieldOrder) {
  JsonPtr msg = JsonNew(JsonKind::Object);
  msg.Append(JsonNewString(u"msg", u"state"));
  JsonPtr page = JsonNew(JsonKind::Null);
  page.SetInt(-7);
  page.SetName(u"page");
  msg.Append(page);
  JsonPtr count = JsonNew(JsonKind::Null);
  count.SetUInt(4294967295u);
  count.SetName(u"count");
  msg.Append(count);
  msg.Append(Number(u"x", 0.5));
  msg.Append(JsonNewString(u"note", u"a/b \"c\"\n\u4e2d"));
  EXPECT_EQ(JsonWrite(msg),
            u"{\"msg\":\"state\",\"page\":-7,\"count\":4294967295,\"x\":0.5,"
            u"\"note\":\"a\\/b \\\"c\\\"\\n\u4e2d\"}");
  // What is written reads back to the same values.
  JsonPtr back = JsonParse(JsonWrite(msg));
  EXPECT_EQ(back.Member(u"note").AsString(), u"a/b \"c\"\n\u4e2d");
  EXPECT_EQ(back.Member(u"count").AsInt64(), 4294967295);
  EXPECT_EQ(back.Member(u"page").AsInt64(), -7);
  EXPECT_EQ(back.Member(u"x").AsDouble(), 0.5);
}

TEST(JsonBuild, ScalarsAndNullHandlesAreHarmless) {
  JsonPtr s = JsonNewString(u"n", u"t");
  s.Append(JsonNew(JsonKind::Null));  // ignored by non-containers
  EXPECT_EQ(s.Size(), 0u);
  EXPECT_EQ(s.Find(u"n"), nullptr);
  EXPECT_FALSE(s.At(0));
  EXPECT_EQ(JsonWrite(s), u"");
  EXPECT_EQ(s.ToText(-1, false), u"\"n\":\"t\"");

  JsonPtr none;
  EXPECT_EQ(none.Kind(), JsonKind::Null);
  EXPECT_EQ(none.Find(u"a"), nullptr);
  EXPECT_FALSE(none.At(0));
  EXPECT_EQ(none.AsString(), u"");
  EXPECT_EQ(none.AsInt64(), 0);
  EXPECT_EQ(JsonWrite(none), u"");
  none.Append(JsonNew(JsonKind::Null));
  none.SetInt(1);
  EXPECT_FALSE(none);

  // Scalars made without a value still write as valid JSON.
  JsonPtr array = JsonNew(JsonKind::Array);
  array.Append(JsonNew(JsonKind::Null));
  array.Append(JsonNew(JsonKind::Boolean));
  array.Append(JsonNew(JsonKind::Number));
  array.Append(JsonNew(JsonKind::String));
  array.Append(JsonPtr());  // a null handle adds nothing
  EXPECT_EQ(JsonWrite(array), u"[null,false,0,\"\"]");
}

TEST(JsonBuild, MemberOfAnAbsentNameIsAFreshNull) {
  JsonPtr root = JsonParse(u"{\"a\":1}");
  JsonPtr missing = root.Member(u"b");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing.Kind(), JsonKind::Null);
  EXPECT_EQ(JsonWrite(root), u"{\"a\":1}");
}

TEST(JsonCopyOnWrite, ChangesThroughACopyStayInTheCopy) {
  JsonPtr first = JsonParse(u"{\"a\":[1,2],\"b\":\"x\"}");
  JsonPtr second = first;
  EXPECT_EQ(first->refCount, 2u);
  second.Append(JsonNewString(u"c", u"y"));
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(first->refCount, 1u);
  EXPECT_EQ(JsonWrite(first), u"{\"a\":[1,2],\"b\":\"x\"}");
  EXPECT_EQ(JsonWrite(second), u"{\"a\":[1,2],\"b\":\"x\",\"c\":\"y\"}");

  // Member detaches the container it is called on, so an array taken from
  // a shared tree can grow without touching the original.
  JsonPtr third = first;
  JsonPtr array = third.Member(u"a");
  array.Append(JsonNew(JsonKind::Null));
  EXPECT_EQ(JsonWrite(first), u"{\"a\":[1,2],\"b\":\"x\"}");
  EXPECT_EQ(array.ToText(-1, true), u"[1,2,null]");

  // Reading never detaches: decoding in place is invisible to other handles.
  JsonPtr reader = first;
  EXPECT_EQ(reader.Find(u"b")->AsString(), u"x");
  EXPECT_EQ(reader.get(), first.get());
}

TEST(JsonCopyOnWrite, AppendingAValueToItselfMakesNoCycle) {
  JsonPtr array = JsonParse(u"[1]");
  array.Append(array);
  EXPECT_EQ(JsonWrite(array), u"[1,[1]]");
  JsonPtr object = JsonNew(JsonKind::Object);
  object.Append(JsonNewString(u"s", u"v"));
  JsonPtr alias = object;
  object.Append(alias);
  EXPECT_EQ(JsonWrite(object), u"{\"s\":\"v\",\"\":{\"s\":\"v\"}}");
  EXPECT_EQ(JsonWrite(alias), u"{\"s\":\"v\"}");
}

TEST(JsonCopyOnWrite, AppendToAnUnreadContainerKeepsItsMembers) {
  JsonPtr root = JsonParse(u"{\"a\":1}");
  root.Append(JsonNewString(u"b", u"2"));
  EXPECT_EQ(JsonWrite(root), u"{\"a\":1,\"b\":\"2\"}");
  EXPECT_EQ(root.Size(), 2u);
}

TEST(JsonWrite, PrettyForm) {
  JsonPtr root = JsonParse(u"{\"a\":1,\"b\":\"x\"}");
  EXPECT_EQ(root.ToText(0, true), u"{\n\t\"a\" : 1,\n\t\"b\" : \"x\"\n}");
  JsonPtr nested = JsonParse(u"{\"l\":[1,{\"k\":[]},{}],\"e\":\"q\\\"\"}");
  EXPECT_EQ(nested.ToText(0, true),
            u"{\n\t\"l\" : [\n\t\t1,\n\t\t{\n\t\t\t\"k\" : []\n\t\t},\n\t\t{}\n\t],\n"
            u"\t\"e\" : \"q\\\"\"\n}");
  // A named member at indent 1, with its name.
  EXPECT_EQ(nested.Find(u"l")->ToText(1, false).substr(0, 10), u"\"l\" : [\n\t\t");
  // Pretty writing decodes containers; compact writing then uses children.
  EXPECT_EQ(JsonWrite(nested), u"{\"l\":[1,{\"k\":[]},{}],\"e\":\"q\\\"\"}");
}

TEST(JsonSetDouble, NumberTexts) {
  struct Case {
    double value;
    const char16_t* text;
  } cases[] = {{5.0, u"5"},
               {-3.0, u"-3"},
               {0.25, u"0.25"},
               {4294967296.0, u"4294967296"},
               {0.0, u"0"},
               {2.000001, u"2"},
               {1.5, u"1.5"},
               {-2.5, u"-2.5"},
               {0.512345, u"0.512345"},
               {0.0000001, u"0"},
               {-0.0000001, u"0"},
               {2.9999999, u"3"},
               {1e19, u"10000000000000000000"},
               {1e20, u"100000000000000000000"},
               {-1e19, u"-10000000000000000000"},
               {0.1234567, u"0.123457"}};
  for (const Case& c : cases) {
    JsonPtr n = JsonNew(JsonKind::String);
    n.SetDouble(c.value);
    EXPECT_EQ(n.Kind(), JsonKind::Number);
    EXPECT_EQ(n.AsString(), c.text) << c.value;
    EXPECT_EQ(n.AsDouble(), c.value);
  }
  // The largest values are written in full, non-finite ones as null.
  JsonPtr big = JsonNew(JsonKind::Null);
  big.SetDouble(std::numeric_limits<double>::max());
  EXPECT_EQ(big.AsString().size(), 309u);
  big.SetDouble(std::nan(""));
  EXPECT_EQ(big.AsString(), u"null");
  big.SetDouble(-std::numeric_limits<double>::infinity());
  EXPECT_EQ(big.AsString(), u"null");
}

TEST(JsonSetInt, ReplacesAnyKind) {
  JsonPtr v = JsonParse(u"[1,2]");
  v.SetInt(std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(v.Kind(), JsonKind::Number);
  EXPECT_EQ(v.Size(), 0u);
  EXPECT_EQ(v.AsString(), u"-2147483648");
  v.SetUInt(0);
  EXPECT_EQ(v.AsString(), u"0");
}

TEST(JsonToArray, ByKind) {
  JsonPtr array = JsonParse(u"[1,2]");
  EXPECT_EQ(array.ToArray().get(), array.get());

  JsonPtr object = JsonParse(u"{\"a\":1,\"b\":{\"c\":\"d\"}}");
  JsonPtr converted = object.ToArray();
  EXPECT_EQ(converted.Kind(), JsonKind::Array);
  EXPECT_EQ(JsonWrite(converted), u"[1,{\"c\":\"d\"}]");
  // The object itself is untouched.
  EXPECT_EQ(JsonWrite(object), u"{\"a\":1,\"b\":{\"c\":\"d\"}}");

  EXPECT_EQ(JsonWrite(JsonNewString(u"", u"s").ToArray()), u"[]");
  EXPECT_EQ(JsonWrite(JsonParse(u"{\"a\"}").ToArray()), u"[]");
}

// Values freed on one thread are reused by that thread: trees handed
// between threads, and threads ending with values still cached, must leave
// every tree intact.
TEST(JsonValueCache, TreesCrossThreadsAndOutliveTheirMakers) {
  const std::u16string text = u"{\"msg\":\"laser_move\",\"x\":0.25,\"a\":[1,{\"b\":\"c\"}]}";
  std::vector<JsonPtr> made;
  for (int round = 0; round < 20; ++round) {
    std::vector<JsonPtr> batch;
    std::thread maker([&] {
      for (int i = 0; i < 300; ++i) {
        JsonPtr root = JsonParse(text);
        root.Find(u"a")->At(1).Find(u"b");  // split two levels
        batch.push_back(std::move(root));
        JsonParse(text).Size();  // made and dropped here
      }
    });
    maker.join();
    std::thread reader([&] {
      for (JsonPtr& root : batch) {
        EXPECT_EQ(root.Find(u"x")->AsDouble(), 0.25);
        EXPECT_EQ(JsonWrite(root), text);
      }
      // Keep a few past this thread's end; release the rest here.
      made.push_back(batch.front());
      batch.clear();
    });
    reader.join();
  }
  for (const JsonPtr& root : made) EXPECT_EQ(root.Find(u"msg")->AsString(), u"laser_move");
}

// Released values come back from the pool with their string buffers: a
// value taken again must read as new in every field, whatever it held,
// and must not keep a large buffer.
TEST(JsonValueCache, ReusedValuesReadAsNew) {
  const std::u16string longText(5000, u'x');
  const std::u16string trees[] = {
      u"{\"msg\":\"laser_move\",\"x\":0.25,\"y\":1e3}",
      u"{\"na\\u006De\":\"a\\\"b\",\"t\":true,\"n\":null,\"bad\":nul}",
      u"[[[[1,2],{\"k\":[3]}]],\"" + longText + u"\"]",
      u"{\"" + longText + u"\":" + u"\"" + longText + u"\"}",
  };
  for (const std::u16string& text : trees) {
    SCOPED_TRACE(std::string(text.begin(), text.begin() + 20));
    {
      JsonPtr root = JsonParse(text);
      // Read everything, so that names, texts, numbers and flags are set.
      std::vector<JsonPtr> pending{root};
      while (!pending.empty()) {
        JsonPtr v = pending.back();
        pending.pop_back();
        v.AsString();
        v.AsDouble();
        for (std::size_t i = 0; i < v.Size(); ++i) pending.push_back(v.At(i));
      }
      JsonPtr named = JsonNewString(u"n", u"v");
      named.SetDouble(2.5);
    }
    std::vector<JsonPtr> taken;
    for (int i = 0; i < 40; ++i) {
      taken.emplace_back(json_detail::NewValue());
      const JsonValue& v = *taken.back();
      EXPECT_EQ(v.kind, JsonKind::Null);
      EXPECT_TRUE(v.name.empty());
      EXPECT_FALSE(v.nameEscaped);
      EXPECT_TRUE(v.text.empty());
      EXPECT_FALSE(v.textEscaped);
      EXPECT_EQ(v.number, 0.0);
      EXPECT_FALSE(v.boolValue);
      EXPECT_EQ(v.refCount, 1u);
      EXPECT_FALSE(v.decoded);
      EXPECT_EQ(v.children, nullptr);
      EXPECT_EQ(v.depth, 0);
      EXPECT_FALSE(v.rawVerbatim);
      EXPECT_LT(v.text.capacity(), longText.size());
      EXPECT_LT(v.name.capacity(), longText.size());
    }
  }
}

// More values released at once than the pool holds, nested deeper than
// the decoding limit: the surplus goes back to the heap and everything
// built afterwards is intact.
TEST(JsonValueCache, OverflowingThePoolKeepsTreesIntact) {
  std::u16string deep;
  for (int i = 0; i < 2000; ++i) deep += u"[1,";
  deep += u"2";
  for (int i = 0; i < 2000; ++i) deep += u"]";
  for (int round = 0; round < 3; ++round) {
    JsonPtr root = JsonParse(deep);
    JsonPtr v = root;
    for (int depth = 0; depth < 600 && v.Size() == 2; ++depth) v = v.At(1);
    EXPECT_EQ(v.Kind(), JsonKind::Null);  // past the limit
    std::vector<JsonPtr> many;
    for (int i = 0; i < 1000; ++i) many.push_back(JsonParse(u"{\"a\":[1,2,3],\"b\":\"text\"}"));
    many.clear();
    root = JsonPtr();
    v = JsonPtr();
    const JsonPtr again = JsonParse(u"{\"a\":[1,2,3],\"b\":\"text\"}");
    EXPECT_EQ(again.Find(u"b")->AsString(), u"text");
    EXPECT_EQ(JsonWrite(again), u"{\"a\":[1,2,3],\"b\":\"text\"}");
  }
}

}  // namespace
