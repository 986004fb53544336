// A received phone message, parsed and read ("msg", "x", "y") or passed on
// unread, with this library and, for scale, with nlohmann::json and
// RapidJSON.
#include <benchmark/benchmark.h>

#include <string>

#include "json/json.h"

#ifdef PIVARO_BENCH_PEERS
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <nlohmann/json.hpp>
#endif

namespace {

// About 150 bytes, shaped like a laser-pointer move from the phone.
const std::string kMessage =
    "{\"msg\":\"laser_move\",\"x\":0.512345,\"y\":0.376543,"
    "\"src\":\"3f9a6c2e8b1d4f7a9c0e5b2d6a8f1c3e_1\","
    "\"dst\":\"7b2e9d4c1a6f8e3b5d0c2a9f4e7b1d6c\",\"seq\":1024,\"pen\":0}";

std::u16string Wide() {
  std::u16string wide;
  ToWide(kMessage, 65001, wide);
  return wide;
}

void Report(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes"] = static_cast<double>(kMessage.size());
}

template <typename Text>
void Keep(Text msg, double x, double y) {
  benchmark::DoNotOptimize(msg);
  benchmark::DoNotOptimize(x);
  benchmark::DoNotOptimize(y);
}

void ReadFields(const JsonPtr& root) {
  Keep(root.Find(u"msg")->AsString(), root.Find(u"x")->AsDouble(), root.Find(u"y")->AsDouble());
}

void Pivaro_ParseRead_Utf16(benchmark::State& state) {
  const std::u16string text = Wide();
  for (auto _ : state) ReadFields(JsonParse(text));
  Report(state);
}
BENCHMARK(Pivaro_ParseRead_Utf16);

void Pivaro_ParseRead_FromUtf8(benchmark::State& state) {
  for (auto _ : state) {
    std::u16string text;
    ToWide(kMessage, 65001, text);
    ReadFields(JsonParse(text));
  }
  Report(state);
}
BENCHMARK(Pivaro_ParseRead_FromUtf8);

void Pivaro_Rewrite_Utf16(benchmark::State& state) {
  const std::u16string text = Wide();
  for (auto _ : state) {
    std::u16string out = JsonWrite(JsonParse(text));
    benchmark::DoNotOptimize(out);
  }
  Report(state);
}
BENCHMARK(Pivaro_Rewrite_Utf16);

void Pivaro_Rewrite_Utf8(benchmark::State& state) {
  for (auto _ : state) {
    std::u16string text;
    ToWide(kMessage, 65001, text);
    std::string out;
    ToUtf8(JsonWrite(JsonParse(text)), out);
    benchmark::DoNotOptimize(out);
  }
  Report(state);
}
BENCHMARK(Pivaro_Rewrite_Utf8);

#ifdef PIVARO_BENCH_PEERS
void Nlohmann_ParseRead(benchmark::State& state) {
  for (auto _ : state) {
    nlohmann::json root = nlohmann::json::parse(kMessage);
    Keep(root["msg"].get<std::string>(), root["x"].get<double>(), root["y"].get<double>());
  }
  Report(state);
}
BENCHMARK(Nlohmann_ParseRead);

void Nlohmann_Rewrite(benchmark::State& state) {
  for (auto _ : state) {
    std::string out = nlohmann::json::parse(kMessage).dump();
    benchmark::DoNotOptimize(out);
  }
  Report(state);
}
BENCHMARK(Nlohmann_Rewrite);

void RapidJson_ParseRead(benchmark::State& state) {
  for (auto _ : state) {
    rapidjson::Document root;
    root.Parse(kMessage.c_str(), kMessage.size());
    Keep(std::string(root["msg"].GetString()), root["x"].GetDouble(), root["y"].GetDouble());
  }
  Report(state);
}
BENCHMARK(RapidJson_ParseRead);

void RapidJson_Rewrite(benchmark::State& state) {
  for (auto _ : state) {
    rapidjson::Document root;
    root.Parse(kMessage.c_str(), kMessage.size());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    root.Accept(writer);
    std::string out(buffer.GetString(), buffer.GetSize());
    benchmark::DoNotOptimize(out);
  }
  Report(state);
}
BENCHMARK(RapidJson_Rewrite);
#endif

}  // namespace

BENCHMARK_MAIN();
