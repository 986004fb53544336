#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"
#include "services/report_mgr.h"
#include "tests/services/test_http_server.h"

namespace {

using namespace std::chrono_literals;
using namespace Report;
using test::Answer;
using test::Reply;
using test::TestHttpServer;

const char16_t kGuid[] = u"00112233445566778899aabbccddeeff";

ReportSettings LocalSettings(const TestHttpServer& server) {
  ReportSettings s;
  s.url = server.Url("/report");
  s.limits.receive = 500ms;
  s.machineGuid = [] { return std::u16string(kGuid); };
  return s;
}

std::string BodyOf(const std::string& request) {
  std::size_t at = request.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : request.substr(at + 4);
}

// The record's text with the "100" time cut off, and the time itself.
std::string WithoutTime(const std::string& body, std::int64_t* time) {
  std::size_t at = body.rfind(",\"100\":");
  if (at == std::string::npos) at = body.rfind("{\"100\":") + 1;
  *time = std::stoll(body.substr(at + 7));
  return body.substr(0, at);
}

void Send(IReportMgr& mgr, std::int32_t cmd, std::int32_t key, std::int32_t value,
          std::int32_t mode = Queued) {
  IReportData* data = mgr.CreateData(cmd);
  ASSERT_NE(data, nullptr);
  data->PutValues(1, key, Int, value);
  mgr.SendData(data, mode, 0, 0);
  mgr.ReleaseData(data);
}

TEST(ReportData, PutValuesStopsAtAnEmptyNarrowTextAndSkipsAnEmptyWideText) {
  CReportData a(1);
  a.PutValues(3, 1, Int, 7, 2, String, "", 3, Int, 9);
  EXPECT_EQ(a.GetInt(1), 7);
  EXPECT_EQ(a.Values().size(), 1u);

  CReportData b(1);
  b.PutValues(3, 1, Int, 7, 2, WString, u"", 3, Double, 2.5);
  EXPECT_EQ(b.Values().size(), 2u);
  EXPECT_EQ(b.GetDouble(3), 2.5);

  CReportData c(1);
  c.PutValues(4, 1, String, "office", 2, WString, static_cast<const char16_t*>(nullptr), 3, WString,
              u"16.0", 4, String, static_cast<const char*>(nullptr));
  EXPECT_STREQ(c.GetString(1), "office");
  EXPECT_EQ(c.GetWString(2), nullptr);
  EXPECT_EQ(std::u16string(c.GetWString(3)), u"16.0");
  EXPECT_EQ(c.Values().size(), 2u);

  CReportData d(1);
  d.PutValues(0, 1, Int, 1);
  d.PutValues(-1, 1, Int, 1);
  d.PutValues(2, 1, 17, 5, 2, Int, 6);  // unknown type code ends the list
  EXPECT_TRUE(d.Values().empty());
}

TEST(ReportData, TypedGettersReplacementAndArithmetic) {
  CReportData d(1882);
  d.PutString(5, "text");
  EXPECT_EQ(d.GetInt(5), 0);
  EXPECT_EQ(d.GetDouble(5), 0.0);
  EXPECT_EQ(d.GetWString(5), nullptr);
  EXPECT_EQ(d.GetString(6), nullptr);
  d.PutString(5, nullptr);  // ignored
  EXPECT_STREQ(d.GetString(5), "text");
  d.PutInt(5, 3);  // replaces the text
  EXPECT_EQ(d.GetString(5), nullptr);
  EXPECT_EQ(d.GetInt(5), 3);
  d.AddInt(5, 4);
  d.SubInt(5, 10);
  EXPECT_EQ(d.GetInt(5), -3);
  d.AddInt(8, 2);  // missing counts as 0
  EXPECT_EQ(d.GetInt(8), 2);
  d.PutInt(9, 2147483647);
  d.AddInt(9, 1);  // wraps instead of overflowing
  EXPECT_EQ(d.GetInt(9), -2147483647 - 1);
  EXPECT_EQ(d.Values().size(), 3u);
}

TEST(ReportRecord, StartReportCarriesTheCommonMembersThenNumericallyOrderedData) {
  TestHttpServer server([](const std::string&) { return Answer(200, ""); });
  CReportMgr mgr(LocalSettings(server));
  mgr.Initialize(142, 10400, u"1.1.0.65", u"100000");

  IReportData* start = mgr.CreateData(ReportCmdStart);
  start->PutValues(2, 1, Int, 1, 99, Int, 1);
  mgr.SendData(start, Queued, 0, 0);
  mgr.ReleaseData(start);

  IReportData* usage = mgr.CreateData(ReportCmdUsage);
  usage->PutValues(5, 10, WString, u"16.0", 9, WString, u"office", -1, String, "n", 2, Int, 1, 2,
                   Int, 2);
  mgr.SendData(usage, Queued, 0, 0);
  mgr.ReleaseData(usage);

  auto requests = server.WaitForRequests(2);
  ASSERT_EQ(requests.size(), 2u);
  const std::string common =
      "{\"guid\":\"00112233445566778899aabbccddeeff\",\"softid\":142,\"serviceid\":10400,"
      "\"v\":\"1.1.0.65\",\"supplyid\":\"100000\",";
  std::int64_t time = 0;
  EXPECT_EQ(WithoutTime(BodyOf(requests[0]), &time),
            common + "\"cmdid\":1880,\"data\":{\"1\":1,\"99\":1");
  EXPECT_NEAR(static_cast<double>(time), static_cast<double>(std::time(nullptr)), 60.0);
  EXPECT_EQ(
      WithoutTime(BodyOf(requests[1]), &time),
      common + "\"cmdid\":1882,\"data\":{\"-1\":\"n\",\"2\":2,\"9\":\"office\",\"10\":\"16.0\"");
  EXPECT_EQ(requests[0].substr(0, 18), "POST /report HTTP/");
}

TEST(ReportRecord, DoublesAndNonAsciiTextsSurviveTheRecord) {
  TestHttpServer server([](const std::string&) { return Answer(200, ""); });
  CReportMgr mgr(LocalSettings(server));
  IReportData* data = mgr.CreateData(ReportCmdUsage);
  data->PutValues(2, 1, Double, 2.5, 2, WString, u"\u6f14\u793a");
  mgr.SendData(data, Queued, 0, 0);
  mgr.ReleaseData(data);

  auto requests = server.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  std::u16string text;
  ASSERT_TRUE(ToWide(BodyOf(requests[0]), 65001, text));
  JsonPtr record = JsonParse(text);
  // Before Initialize the record holds only "cmdid" and "data".
  EXPECT_EQ(record.Size(), 2u);
  ASSERT_NE(record.Find(u"cmdid"), nullptr);
  EXPECT_EQ(record.Find(u"cmdid")->AsInt64(), ReportCmdUsage);
  JsonPtr values = record.Member(u"data");
  ASSERT_EQ(values.Size(), 3u);
  EXPECT_EQ(values.Member(u"1").AsDouble(), 2.5);
  EXPECT_EQ(values.Member(u"2").AsString(), u"\u6f14\u793a");
  EXPECT_EQ(values.At(2)->name, u"100");
}

TEST(ReportSending, UnknownModesAndNullInputsSendNothing) {
  TestHttpServer server([](const std::string&) { return Answer(200, ""); });
  CReportMgr mgr(LocalSettings(server));
  Send(mgr, ReportCmdUsage, 1, 1, 2);
  Send(mgr, ReportCmdUsage, 1, 1, -1);
  mgr.SendData(nullptr, Queued, 0, 0);
  EXPECT_FALSE(mgr.SendText(0, "x", 1, 2, 0, 0));
  EXPECT_FALSE(mgr.SendText(0, nullptr, 1, Queued, 0, 0));
  // SendText passes its bytes on unchanged; it also marks the end, since
  // queued reports leave in order.
  EXPECT_TRUE(mgr.SendText(0, "raw\0bytes!", 9, Queued, 0, 0));
  auto requests = server.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(BodyOf(requests[0]), std::string("raw\0bytes", 9));
}

TEST(ReportSending, QueuedReportsLeaveInOrderAndAFailureDoesNotStopTheNext) {
  int answered = 0;
  TestHttpServer server(
      [&answered](const std::string&) { return Answer(++answered % 2 ? 500 : 200, ""); });
  CReportMgr mgr(LocalSettings(server));
  for (int i = 0; i < 12; ++i) Send(mgr, ReportCmdUsage, 1, i);
  auto requests = server.WaitForRequests(12);
  ASSERT_EQ(requests.size(), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_NE(BodyOf(requests[i]).find("{\"1\":" + std::to_string(i) + ","), std::string::npos)
        << i;
  }
}

TEST(ReportSending, ImmediateReportsAreSentBeforeTheCallReturns) {
  TestHttpServer server([](const std::string&) { return Answer(200, ""); });
  CReportMgr mgr(LocalSettings(server));
  Send(mgr, ReportCmdUsage, 1, 1, Immediate);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_TRUE(mgr.SendText(0, "{}", 2, Immediate, 0, 0));
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST(ReportSending, AnUnreachableServiceChangesNothing) {
  const unsigned short port = test::ClosedPort();
  ReportSettings settings;
  settings.url = "http://127.0.0.1:" + std::to_string(port) + "/report";
  settings.machineGuid = [] { return std::u16string(kGuid); };
  CReportMgr mgr(settings);
  const auto start = std::chrono::steady_clock::now();
  Send(mgr, ReportCmdUsage, 1, 1, Immediate);
  Send(mgr, ReportCmdUsage, 1, 2, Queued);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(ReportSending, DestructionDropsQueuedReportsAndWaitsForTheOneInFlight) {
  TestHttpServer server([](const std::string&) {
    Reply silent;
    silent.silent = true;  // holds the first report until the client gives up
    return silent;
  });
  {
    CReportMgr mgr(LocalSettings(server));
    Send(mgr, ReportCmdUsage, 1, 0);
    ASSERT_EQ(server.WaitForRequests(1).size(), 1u);
    for (int i = 1; i < 6; ++i) Send(mgr, ReportCmdUsage, 1, i);
  }
  // The sender thread has ended: whatever was not sent by now never will be.
  EXPECT_EQ(server.WaitForRequests(2, 300ms).size(), 1u);
}

struct Counted {
  static int made;
  Counted() { ++made; }
};
int Counted::made = 0;

TEST(ReportSingleton, OneInstanceAcrossThreadsUntilDestroyed) {
  using S = Singleton<Counted, 7>;
  Counted::made = 0;
  std::vector<std::thread> threads;
  std::vector<Counted*> seen(8);
  for (int i = 0; i < 8; ++i) threads.emplace_back([&seen, i] { seen[i] = S::Instance(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(std::set<Counted*>(seen.begin(), seen.end()).size(), 1u);
  EXPECT_EQ(Counted::made, 1);
  S::DestroyInstance();
  S::DestroyInstance();  // nothing left to destroy
  S::Instance();
  EXPECT_EQ(Counted::made, 2);
  S::DestroyInstance();
}

TEST(ReportSingleton, TheProcessManagerUsesTheDefaultSettings) {
  TestHttpServer server([](const std::string&) { return Answer(200, ""); });
  CReportMgr::SetDefaultSettings(LocalSettings(server));
  IReportMgr* mgr = ReportMgr::Instance();
  mgr->Initialize(142, 10400, u"1.1.0.65", u"100000");
  Send(*mgr, ReportCmdStart, 1, 1, Immediate);
  ReportMgr::DestroyInstance();
  CReportMgr::SetDefaultSettings(ReportSettings());
  auto requests = server.WaitForRequests(1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(BodyOf(requests[0]).find("\"cmdid\":1880"), std::string::npos);
}

}  // namespace
