// Received phone messages parsed and read, or passed on unread, with this
// library and, in the same run, with simdjson's on-demand API, RapidJSON's
// DOM and nlohmann::json. Every case cycles through a set of distinct real
// messages, reads the members the controller reads and checks what it read:
// a full comparison before timing and a running checksum while timing, so
// that no case can win by skipping work.
//
// --fixed_iterations=N runs every case exactly N times, so that callgrind's
// instruction counts per case can be divided by N.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "json/json.h"

#ifdef PIVARO_BENCH_PEERS
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>
#endif
#ifdef PIVARO_BENCH_SIMDJSON
#include <simdjson.h>
#endif

// The work of one case on one message, kept out of line so that callgrind
// can count it by name (--toggle-collect='*ParseRead_Pivaro(*').
#define BENCH_CASE __attribute__((noinline))

namespace {

// What the controller reads from a message besides "msg".
enum class Read { Double, Int, String };

struct Field {
  std::string name;
  Read read;
  double number = 0;
  std::string text;  // UTF-8
};

struct Message {
  std::string utf8;
  std::u16string wide;
  std::string msg;
  std::vector<Field> fields;
  // Checksums of a correct read: numbers added up, string lengths in
  // UTF-8 bytes and in UTF-16 code units.
  double sum8 = 0;
  double sum16 = 0;
};

std::u16string Widen(const std::string& utf8) {
  std::u16string wide;
  if (!ToWide(utf8, 65001, wide)) std::abort();
  return wide;
}

// A deterministic stream of coordinates with the digit counts phones send:
// short decimals and the 16-17 digits of a shortest round-trip double.
struct Coordinates {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::string Next(int i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const double v = static_cast<double>(state >> 11) / 9007199254740992.0;
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, i % 3 == 0 ? "%.17g" : (i % 3 == 1 ? "%.6f" : "%.4f"), v);
    return buffer;
  }
};

const char kPhone[] = "a71c3e0f5b9d4e2c";
const char kPc[] = "3f9a6c2e8b1d4f7a9c0e5b2d6a8f1c3e_1700000000_12345";

std::string Addressed(const std::string& head) {
  return head + ",\"src\":\"" + kPhone + "\",\"dst\":\"" + kPc + "\"}";
}

Message Make(std::string utf8, std::string msg, std::vector<Field> fields) {
  Message m;
  m.utf8 = std::move(utf8);
  m.wide = Widen(m.utf8);
  m.msg = std::move(msg);
  m.fields = std::move(fields);
  m.sum8 = static_cast<double>(m.msg.size());
  m.sum16 = static_cast<double>(Widen(m.msg).size());
  for (const Field& f : m.fields) {
    m.sum8 += f.read == Read::String ? static_cast<double>(f.text.size()) : f.number;
    m.sum16 += f.read == Read::String ? static_cast<double>(Widen(f.text).size()) : f.number;
  }
  return m;
}

Message Pointer(const char* name, Coordinates& c, int i) {
  const std::string x = c.Next(i), y = c.Next(i + 1);
  return Make(Addressed(std::string("{\"msg\":\"") + name + "\",\"x\":" + x + ",\"y\":" + y), name,
              {{"x", Read::Double, std::strtod(x.c_str(), nullptr), {}},
               {"y", Read::Double, std::strtod(y.c_str(), nullptr), {}}});
}

// 256 distinct laser moves as they arrive over the relay (about 140 bytes).
std::vector<Message> LaserSet() {
  std::vector<Message> set;
  Coordinates c;
  for (int i = 0; i < 256; ++i) set.push_back(Pointer("laser_move", c, i));
  return set;
}

// One of each kind of message a session meets, including notes and errors
// in Chinese with escaped line feeds and quotes.
std::vector<Message> MixedSet() {
  Coordinates c;
  const std::string wpsError =
      "您已打开WPS演示。\nWPS须在Pivaro运行以后再打开。\n请重新打开WPS演示。";
  const std::string note =
      "第一部分：季度回顾\n— 收入同比增长 12%，\"新客户\"占三成\n— 下一步：扩展华东与华南市场\n"
      "Speaker: keep it under two minutes / 两分钟以内";
  std::vector<Message> set;
  set.push_back(Pointer("laser_move", c, 0));
  set.push_back(Make(Addressed("{\"msg\":\"next\""), "next", {}));
  set.push_back(Pointer("laser_down", c, 1));
  set.push_back(Pointer("laser_move", c, 2));
  set.push_back(Make(Addressed("{\"msg\":\"laser_up\""), "laser_up", {}));
  set.push_back(
      Make(Addressed("{\"msg\":\"hello\",\"note\":1"), "hello", {{"note", Read::Int, 1, {}}}));
  set.push_back(Make("{\"msg\":\"state\",\"state\":3}", "state", {{"state", Read::Int, 3, {}}}));
  set.push_back(Make(
      "{\"msg\":\"state\",\"state\":0,\"error\":\"您已打开WPS演示。\\nWPS须在Pivaro运行以后再打开。"
      "\\n请重新打开WPS演示。\"}",
      "state", {{"state", Read::Int, 0, {}}, {"error", Read::String, 0, wpsError}}));
  set.push_back(
      Make("{\"msg\":\"note\",\"note\":\"第一部分：季度回顾\\n— 收入同比增长 "
           "12%，\\\"新客户\\\"占三成\\n— "
           "下一步：扩展华东与华南市场\\nSpeaker: keep it under two minutes / 两分钟以内\"}",
           "note", {{"note", Read::String, 0, note}}));
  set.push_back(Pointer("pen_down", c, 3));
  set.push_back(Pointer("pen_move", c, 4));
  set.push_back(Make(Addressed("{\"msg\":\"pen_up\""), "pen_up", {}));
  set.push_back(Make(Addressed("{\"msg\":\"prev\""), "prev", {}));
  set.push_back(Make("{\"msg\":\"conn\",\"cuid\":\"" + std::string(kPhone) + "\"}", "conn",
                     {{"cuid", Read::String, 0, kPhone}}));
  set.push_back(Make("{\"msg\":\"heartbeat\"}", "heartbeat", {}));
  set.push_back(Make(Addressed("{\"msg\":\"error\",\"error\":\"您的电脑已与其他手机建立连接。\""),
                     "error", {{"error", Read::String, 0, "您的电脑已与其他手机建立连接。"}}));
  return set;
}

const std::vector<Message>& Set(int which) {
  static const std::vector<Message> laser = LaserSet();
  static const std::vector<Message> mixed = MixedSet();
  return which == 0 ? laser : mixed;
}

const char* SetName(int which) { return which == 0 ? "Laser" : "Mixed"; }

[[noreturn]] void Wrong(const char* what, const Message& m) {
  std::fprintf(stderr, "read check failed (%s) on %s\n", what, m.utf8.c_str());
  std::abort();
}

// ---- This library --------------------------------------------------------

// Reads what the controller reads; returns the checksum of what was read,
// and when `full` compares every value with the expected one.
BENCH_CASE double ParseRead_Pivaro(const Message& m, bool full) {
  std::u16string wide;
  if (!ToWide(m.utf8, 65001, wide)) Wrong("ToWide", m);
  JsonPtr root = JsonParse(wide);
  JsonPtr* msg = root.Find(u"msg");
  if (!msg) Wrong("msg", m);
  const std::u16string name = msg->AsString();
  if (full && name != Widen(m.msg)) Wrong("msg", m);
  double sum = static_cast<double>(name.size());
  for (const Field& f : m.fields) {
    JsonPtr* v = root.Find(std::u16string(f.name.begin(), f.name.end()));
    if (!v) Wrong(f.name.c_str(), m);
    if (f.read == Read::String) {
      const std::u16string text = v->AsString();
      if (full && text != Widen(f.text)) Wrong(f.name.c_str(), m);
      sum += static_cast<double>(text.size());
    } else {
      const double d = f.read == Read::Int ? static_cast<double>(v->AsInt64()) : v->AsDouble();
      if (full && d != f.number) Wrong(f.name.c_str(), m);
      sum += d;
    }
  }
  return sum;
}

BENCH_CASE std::string Rewrite_PivaroUtf8(const Message& m) {
  std::u16string wide;
  std::string out;
  if (!ToWide(m.utf8, 65001, wide) || !ToUtf8(JsonWrite(JsonParse(wide)), out)) {
    Wrong("rewrite", m);
  }
  return out;
}

// ---- Peers ---------------------------------------------------------------

#ifdef PIVARO_BENCH_SIMDJSON
template <typename Input>
double SimdjsonRead(simdjson::ondemand::parser& parser, const Message& m, const Input& input,
                    bool full) {
  simdjson::ondemand::document doc;
  if (parser.iterate(input).get(doc)) Wrong("simdjson parse", m);
  std::string_view view;
  if (doc["msg"].get_string().get(view)) Wrong("msg", m);
  const std::string name(view);
  if (full && name != m.msg) Wrong("msg", m);
  double sum = static_cast<double>(name.size());
  for (const Field& f : m.fields) {
    auto v = doc[f.name];
    if (f.read == Read::String) {
      if (v.get_string().get(view)) Wrong(f.name.c_str(), m);
      const std::string text(view);
      if (full && text != f.text) Wrong(f.name.c_str(), m);
      sum += static_cast<double>(text.size());
    } else {
      double d = 0;
      if (f.read == Read::Int) {
        std::int64_t i = 0;
        if (v.get_int64().get(i)) Wrong(f.name.c_str(), m);
        d = static_cast<double>(i);
      } else if (v.get_double().get(d)) {
        Wrong(f.name.c_str(), m);
      }
      if (full && d != f.number) Wrong(f.name.c_str(), m);
      sum += d;
    }
  }
  return sum;
}

// Copying variant: the bytes are copied into simdjson's padded buffer for
// every message and the strings read are copied out, as the controller
// keeps them. The parser is reused, as simdjson intends.
BENCH_CASE double ParseRead_SimdjsonCopy(simdjson::ondemand::parser& parser, const Message& m,
                                         bool full) {
  const simdjson::padded_string padded(m.utf8);
  return SimdjsonRead(parser, m, padded, full);
}

// Input already padded: the best case simdjson offers.
BENCH_CASE double ParseRead_SimdjsonPadded(simdjson::ondemand::parser& parser, const Message& m,
                                           const simdjson::padded_string& padded, bool full) {
  return SimdjsonRead(parser, m, padded, full);
}
#endif

#ifdef PIVARO_BENCH_PEERS
BENCH_CASE double ParseRead_RapidJson(const Message& m, bool full) {
  rapidjson::Document root;
  root.Parse(m.utf8.data(), m.utf8.size());
  if (root.HasParseError() || !root.IsObject()) Wrong("rapidjson parse", m);
  auto msg = root.FindMember("msg");
  if (msg == root.MemberEnd() || !msg->value.IsString()) Wrong("msg", m);
  const std::string name(msg->value.GetString(), msg->value.GetStringLength());
  if (full && name != m.msg) Wrong("msg", m);
  double sum = static_cast<double>(name.size());
  for (const Field& f : m.fields) {
    auto v = root.FindMember(f.name.c_str());
    if (v == root.MemberEnd()) Wrong(f.name.c_str(), m);
    if (f.read == Read::String) {
      if (!v->value.IsString()) Wrong(f.name.c_str(), m);
      const std::string text(v->value.GetString(), v->value.GetStringLength());
      if (full && text != f.text) Wrong(f.name.c_str(), m);
      sum += static_cast<double>(text.size());
    } else {
      if (!v->value.IsNumber()) Wrong(f.name.c_str(), m);
      const double d =
          f.read == Read::Int ? static_cast<double>(v->value.GetInt64()) : v->value.GetDouble();
      // Without kParseFullPrecisionFlag (its fast default) RapidJSON may
      // be a few units in the last place off on 17-digit numbers.
      if (full && std::fabs(d - f.number) > 1e-15 * std::fabs(f.number)) {
        Wrong(f.name.c_str(), m);
      }
      sum += d;
    }
  }
  return sum;
}

BENCH_CASE double ParseRead_Nlohmann(const Message& m, bool full) {
  const nlohmann::json root = nlohmann::json::parse(m.utf8);
  const std::string name = root.at("msg").get<std::string>();
  if (full && name != m.msg) Wrong("msg", m);
  double sum = static_cast<double>(name.size());
  for (const Field& f : m.fields) {
    const nlohmann::json& v = root.at(f.name);
    if (f.read == Read::String) {
      const std::string text = v.get<std::string>();
      if (full && text != f.text) Wrong(f.name.c_str(), m);
      sum += static_cast<double>(text.size());
    } else {
      const double d =
          f.read == Read::Int ? static_cast<double>(v.get<std::int64_t>()) : v.get<double>();
      if (full && d != f.number) Wrong(f.name.c_str(), m);
      sum += d;
    }
  }
  return sum;
}
#endif

// ---- Cases ---------------------------------------------------------------

// Runs `one` over the set in turn and checks the checksums it returns
// against those of correct reads.
void RunReads(benchmark::State& state, int which, bool utf16,
              const std::function<double(const Message&, bool)>& one, double tolerance = 0) {
  const std::vector<Message>& set = Set(which);
  for (const Message& m : set) one(m, true);
  double got = 0, expected = 0;
  std::size_t i = 0, bytes = 0;
  for (auto _ : state) {
    const Message& m = set[i];
    got += one(m, false);
    expected += utf16 ? m.sum16 : m.sum8;
    bytes += m.utf8.size();
    if (++i == set.size()) i = 0;
  }
  if (std::fabs(got - expected) > tolerance * std::fabs(expected)) {
    state.SkipWithError("checksum of the reads differs");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// Runs `one` over the set. `check` judges each output once before timing;
// while timing, the output lengths must add up to those checked.
template <typename Text>
void RunRewrites(benchmark::State& state, int which, const std::function<Text(const Message&)>& one,
                 const std::function<bool(const Message&, const Text&)>& check) {
  const std::vector<Message>& set = Set(which);
  std::vector<std::size_t> sizes;
  for (const Message& m : set) {
    const Text out = one(m);
    if (!check(m, out)) Wrong("re-written text", m);
    sizes.push_back(out.size());
  }
  std::size_t i = 0, got = 0, expected = 0;
  for (auto _ : state) {
    Text out = one(set[i]);
    benchmark::DoNotOptimize(out.data());
    got += out.size();
    expected += sizes[i];
    if (++i == set.size()) i = 0;
  }
  if (got != expected) state.SkipWithError("re-written length differs");
  state.SetItemsProcessed(state.iterations());
}

// The messages are compact, so a faithful re-write or conversion gives
// back exactly the text the message was made from.
bool SameAsUtf8(const Message& m, const std::string& out) { return out == m.utf8; }
bool SameAsWide(const Message& m, const std::u16string& out) { return out == m.wide; }

BENCH_CASE std::string Rewrite_CopyUtf8(const Message& m) { return m.utf8; }

// The library's own part: wide text in, wide text out.
BENCH_CASE std::u16string Rewrite_PivaroUtf16(const Message& m) {
  return JsonWrite(JsonParse(m.wide));
}

BENCH_CASE std::u16string Rewrite_CopyUtf16(const Message& m) { return m.wide; }

#ifdef PIVARO_BENCH_PEERS
BENCH_CASE std::string Rewrite_RapidJson(const Message& m) {
  rapidjson::Document root;
  root.Parse(m.utf8.data(), m.utf8.size());
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  root.Accept(writer);
  return std::string(buffer.GetString(), buffer.GetSize());
}
#endif

BENCH_CASE std::u16string ToWide_Pivaro(const Message& m) {
  std::u16string wide;
  if (!ToWide(m.utf8, 65001, wide)) Wrong("ToWide", m);
  return wide;
}

BENCH_CASE std::string ToUtf8_Pivaro(const Message& m) {
  std::string utf8;
  if (!ToUtf8(m.wide, utf8)) Wrong("ToUtf8", m);
  return utf8;
}

void RegisterAll(int fixedIterations) {
  std::vector<benchmark::internal::Benchmark*> all;
  auto add = [&](const std::string& name, std::function<void(benchmark::State&)> body) {
    all.push_back(benchmark::RegisterBenchmark(name.c_str(), std::move(body)));
  };
  for (int which = 0; which < 2; ++which) {
    const std::string set = SetName(which);
    // bytes -> ToWide -> JsonParse -> Find/AsString/AsDouble.
    add("ParseRead_" + set + "/Pivaro",
        [which](benchmark::State& s) { RunReads(s, which, true, ParseRead_Pivaro); });
#ifdef PIVARO_BENCH_SIMDJSON
    add("ParseRead_" + set + "/SimdjsonCopy", [which](benchmark::State& s) {
      simdjson::ondemand::parser parser;
      RunReads(s, which, false, [&parser](const Message& m, bool full) {
        return ParseRead_SimdjsonCopy(parser, m, full);
      });
    });
    add("ParseRead_" + set + "/SimdjsonPadded", [which](benchmark::State& s) {
      simdjson::ondemand::parser parser;
      std::vector<simdjson::padded_string> padded;
      for (const Message& m : Set(which)) padded.emplace_back(m.utf8);
      const Message* base = Set(which).data();
      RunReads(s, which, false, [&](const Message& m, bool full) {
        return ParseRead_SimdjsonPadded(parser, m, padded[static_cast<std::size_t>(&m - base)],
                                        full);
      });
    });
#endif
#ifdef PIVARO_BENCH_PEERS
    add("ParseRead_" + set + "/RapidJson",
        [which](benchmark::State& s) { RunReads(s, which, false, ParseRead_RapidJson, 1e-12); });
    add("ParseRead_" + set + "/Nlohmann",
        [which](benchmark::State& s) { RunReads(s, which, false, ParseRead_Nlohmann); });
#endif
    // An unread message passed on: bytes in, bytes out.
    add("Rewrite_" + set + "/PivaroUtf8", [which](benchmark::State& s) {
      RunRewrites<std::string>(s, which, Rewrite_PivaroUtf8, SameAsUtf8);
    });
    add("Rewrite_" + set + "/CopyUtf8", [which](benchmark::State& s) {
      RunRewrites<std::string>(s, which, Rewrite_CopyUtf8, SameAsUtf8);
    });
    add("Rewrite_" + set + "/PivaroUtf16", [which](benchmark::State& s) {
      RunRewrites<std::u16string>(s, which, Rewrite_PivaroUtf16, SameAsWide);
    });
    add("Rewrite_" + set + "/CopyUtf16", [which](benchmark::State& s) {
      RunRewrites<std::u16string>(s, which, Rewrite_CopyUtf16, SameAsWide);
    });
#ifdef PIVARO_BENCH_PEERS
    add("Rewrite_" + set + "/RapidJson", [which](benchmark::State& s) {
      RunRewrites<std::string>(s, which, Rewrite_RapidJson,
                               [](const Message& m, const std::string& out) {
                                 // RapidJSON re-formats numbers (0.7360
                                 // becomes 0.736): its output must read
                                 // back to the same values instead.
                                 Message again = m;
                                 again.utf8 = out;
                                 ParseRead_RapidJson(again, true);
                                 return true;
                               });
    });
#endif
    // The conversions alone, beside the plain copies above.
    add("ToWide_" + set + "/Pivaro", [which](benchmark::State& s) {
      RunRewrites<std::u16string>(s, which, ToWide_Pivaro, SameAsWide);
    });
    add("ToUtf8_" + set + "/Pivaro", [which](benchmark::State& s) {
      RunRewrites<std::string>(s, which, ToUtf8_Pivaro, SameAsUtf8);
    });
  }
  for (auto* b : all) {
    if (fixedIterations > 0) b->Iterations(fixedIterations);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int fixed = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--fixed_iterations=", 19) == 0) {
      fixed = std::atoi(argv[i] + 19);
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      --i;
    }
  }
  RegisterAll(fixed);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
