#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "services/report_mgr.h"
#include "services/update.h"
#include "services/update_check.h"
#include "tests/services/test_http_server.h"

namespace {

using namespace std::chrono_literals;
using namespace Report;
using test::Answer;
using test::Reply;
using test::TestHttpServer;

// An update service answering with one fixed reply, and a report service
// that records what the check reports.
class UpdateCheck : public ::testing::Test {
 protected:
  UpdateCheck() : reportServer_([](const std::string&) { return Answer(200, ""); }) {}

  std::int32_t Check(Reply reply) {
    TestHttpServer update([reply](const std::string&) { return reply; });
    ReportSettings settings;
    settings.url = reportServer_.Url("/report");
    settings.machineGuid = [] { return std::u16string(u"g"); };
    CReportMgr reports(settings);
    HttpTimeLimits limits;
    limits.receive = 300ms;
    std::int32_t result = CheckForUpdateAt(update.Url("/tavmix/update"), &reports, limits);
    auto requests = update.Requests();
    EXPECT_EQ(requests.size(), 1u);
    if (!requests.empty()) {
      EXPECT_EQ(requests[0].substr(0, 26), "GET /tavmix/update HTTP/1.");
    }
    // Queued reports leave in order: once this marker arrives, every report
    // of the check has arrived before it.
    const std::string marker = "end" + std::to_string(++checks_);
    EXPECT_TRUE(
        reports.SendText(0, marker.data(), static_cast<std::int32_t>(marker.size()), Queued, 0, 0));
    const std::size_t before = seen_;
    auto received = reportServer_.WaitUntil([&](const std::vector<std::string>& all) {
      return !all.empty() && all.back().size() >= marker.size() &&
             all.back().compare(all.back().size() - marker.size(), marker.size(), marker) == 0;
    });
    updateReports_ = 0;
    for (std::size_t i = before; i < received.size(); ++i) {
      if (received[i].find("\"cmdid\":1881,\"data\":{\"1\":1,\"99\":1,") != std::string::npos) {
        ++updateReports_;
      }
    }
    seen_ = received.size();
    return result;
  }

  std::int32_t CheckDocument(const std::string& json) { return Check(Answer(200, json)); }

  TestHttpServer reportServer_;
  std::size_t seen_ = 0;
  int checks_ = 0;
  int updateReports_ = 0;
};

TEST_F(UpdateCheck, ThisVersionsEntryGivesItsNumberAndOneReport) {
  EXPECT_EQ(CheckDocument(R"([["1.0.0.1",1],["1.1.0.65",2],["1.2",1]])"), UpdateRequired);
  EXPECT_EQ(updateReports_, 1);
  EXPECT_EQ(CheckDocument(R"({"a":{"x":"1.0","y":1},"b":{"v":"1.1.0.65","n":1}})"), UpdateOptional);
  EXPECT_EQ(updateReports_, 1);
  // Any number counts, and the report is sent whatever it is.
  EXPECT_EQ(CheckDocument(R"([["1.1.0.65",0]])"), UpdateNone);
  EXPECT_EQ(updateReports_, 1);
  EXPECT_EQ(CheckDocument(R"([["1.1.0.65",4294967298]])"), 2);  // low 32 bits
}

TEST_F(UpdateCheck, OnlyTheFirstExactMatchCounts) {
  EXPECT_EQ(CheckDocument(R"([["1.1.0.65 ",2],["1.1.0.6",2],["1.1.0.65",1],["1.1.0.65",2]])"),
            UpdateOptional);
  EXPECT_EQ(updateReports_, 1);
  EXPECT_EQ(CheckDocument(R"([["1.1.0.65 ",2]])"), UpdateNone);
  EXPECT_EQ(updateReports_, 0);
}

TEST_F(UpdateCheck, OddEntriesGiveNoneWithoutFailing) {
  EXPECT_EQ(CheckDocument(R"([[]])"), UpdateNone);
  EXPECT_EQ(CheckDocument(R"([[],{},"x",3,["1.1.0.65",2]])"), UpdateRequired);
  EXPECT_EQ(CheckDocument(R"([["1.1.0.65"]])"), UpdateNone);
  EXPECT_EQ(updateReports_, 1);  // the entry was found
  EXPECT_EQ(CheckDocument(R"("1.1.0.65")"), UpdateNone);
  EXPECT_EQ(CheckDocument("[]"), UpdateNone);
  EXPECT_EQ(updateReports_, 0);
}

TEST_F(UpdateCheck, FailedExchangesAndBadDocumentsGiveNoneAndNoReport) {
  const std::string doc = R"([["1.1.0.65",2]])";
  EXPECT_EQ(Check(Answer(404, doc)), UpdateNone);
  EXPECT_EQ(Check(Answer(302, doc, "Location: http://127.0.0.1:1/\r\n")), UpdateNone);
  EXPECT_EQ(Check(Answer(200, "not json")), UpdateNone);
  EXPECT_EQ(Check(Answer(200, "")), UpdateNone);
  EXPECT_EQ(Check(Answer(200, "\xff\xfe[[")), UpdateNone);
  Reply silent;
  silent.silent = true;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Check(silent), UpdateNone);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_EQ(updateReports_, 0);
}

class ServiceBase : public ::testing::Test {
 protected:
  ServiceBase()
      : dir_(std::filesystem::temp_directory_path() /
             ("pivaro-svc-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::create_directories(dir_);
  }
  ~ServiceBase() override { std::filesystem::remove_all(dir_); }

  std::string Program() const { return (dir_ / "pivaro").string(); }
  void WriteOverride(const std::string& bytes) {
    std::ofstream(dir_ / kServiceBaseFileName, std::ios::binary) << bytes;
  }

  std::filesystem::path dir_;
};

const std::string kBuiltIn = "http://" PIVARO_UPDATE_HOST "/tavmix/";

TEST_F(ServiceBase, BuiltInAddressWithoutAUsableOverrideFile) {
  EXPECT_EQ(ComputeServiceBaseUrl(Program()), kBuiltIn);
  EXPECT_EQ(ComputeServiceBaseUrl("no-folder"), kBuiltIn);
  WriteOverride("");
  EXPECT_EQ(ComputeServiceBaseUrl(Program()), kBuiltIn);
  WriteOverride(std::string("\0http://x/", 10));
  EXPECT_EQ(ComputeServiceBaseUrl(Program()), kBuiltIn);
}

TEST_F(ServiceBase, OverrideFileIsTakenAsItIsUpTo259Bytes) {
  WriteOverride("http://127.0.0.1:8080/svc/\n");
  EXPECT_EQ(ComputeServiceBaseUrl(Program()), "http://127.0.0.1:8080/svc/\n");
  WriteOverride(std::string("http://a/\0rest", 14));
  EXPECT_EQ(ComputeServiceBaseUrl(Program()), "http://a/");
  WriteOverride("http://h/" + std::string(400, 'p'));
  EXPECT_EQ(ComputeServiceBaseUrl(Program()), ("http://h/" + std::string(400, 'p')).substr(0, 259));
}

TEST(ServiceBaseUrl, IsComputedForThisProgramAndCached) {
  EXPECT_NE(ProgramPath().find("services_tests"), std::string::npos);
  const std::string first = GetServiceBaseUrl();
  EXPECT_EQ(first, ComputeServiceBaseUrl(ProgramPath()));
  EXPECT_EQ(GetServiceBaseUrl(), first);
}

}  // namespace
