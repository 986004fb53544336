// The order of the program's run, its usage records and the single-instance
// lock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/single_instance.h"
#include "app/startup.h"
#include "services/report_mgr.h"
#include "tests/app/fakes.h"
#include "tests/services/test_http_server.h"

namespace {

struct ProgramRun {
  std::vector<std::string> steps;
  FakeReports reports;
  std::uint32_t tick = 0xFFFFF000u;  // wraps during the run
  bool otherRuns = false;

  ProgramSteps Steps() {
    ProgramSteps p;
    p.tickCount = [this] {
      std::uint32_t t = tick;
      tick += 0x2000;
      return t;
    };
    p.acquireInstance = [this] {
      steps.push_back("acquire");
      return !otherRuns;
    };
    p.onOtherInstance = [this] { steps.push_back("other"); };
    p.supplyId = [] { return std::u16string(u"100000"); };
    p.reports = [this] { return &reports; };
    p.destroyReports = [this] { steps.push_back("destroyReports"); };
    p.platformUp = [this] { steps.push_back("up"); };
    p.runMainWindow = [this] {
      steps.push_back("window:" + std::to_string(reports.Records().size()));
    };
    p.platformDown = [this] { steps.push_back("down"); };
    p.releaseInstance = [this] { steps.push_back("release"); };
    return p;
  }
};

}  // namespace

TEST(Startup, RunsInOrderWithStartAndExitRecords) {
  ProgramRun run;
  EXPECT_EQ(RunProgram(run.Steps()), 0);
  EXPECT_EQ(run.steps, (std::vector<std::string>{"acquire", "up", "window:1", "down", "release",
                                                 "destroyReports"}));
  EXPECT_EQ(run.reports.initialized, "142,10400,1.1.0.65,100000");
  auto r = run.reports.Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].cmd, Report::ReportCmdStart);
  EXPECT_EQ(r[0].Int(1), 1);
  EXPECT_EQ(r[0].Int(99), 1);
  EXPECT_EQ(r[1].cmd, Report::ReportCmdUsage);
  // First and last tick read, across the counter's wrap.
  EXPECT_EQ(r[1].Int(7), 0x2000);
  EXPECT_EQ(r[1].Int(99), 1);
}

TEST(Startup, SecondCopyEndsWithOneAndSendsNothing) {
  ProgramRun run;
  run.otherRuns = true;
  EXPECT_EQ(RunProgram(run.Steps()), 1);
  EXPECT_EQ(run.steps, (std::vector<std::string>{"acquire", "other"}));
  EXPECT_TRUE(run.reports.Records().empty());
  EXPECT_TRUE(run.reports.initialized.empty());
}

// The whole run with the real report manager against a report service on
// loopback: a run that queues a few session records on the way.
std::vector<std::string> RunAgainst(test::TestHttpServer& server, std::chrono::milliseconds* took) {
  Report::ReportSettings settings;
  settings.url = server.Url("/report");
  settings.machineGuid = [] { return std::u16string(u"00112233445566778899aabbccddeeff"); };
  auto mgr = std::make_unique<Report::CReportMgr>(settings);
  ProgramSteps p;
  p.tickCount = [] { return 1000u; };
  p.supplyId = [] { return std::u16string(u"100000"); };
  p.reports = [&mgr] { return mgr.get(); };
  p.runMainWindow = [&mgr] {
    for (int i = 0; i < 3; ++i) {
      Report::IReportData* d = mgr->CreateData(Report::ReportCmdUsage);
      d->PutValues(2, 1, Report::Int, 1, 99, Report::Int, 1);
      mgr->SendData(d, Report::Queued, 0, 0);
      mgr->ReleaseData(d);
    }
  };
  p.flushReports = [&mgr] { mgr->Drain(std::chrono::seconds(1)); };
  p.destroyReports = [&mgr] { mgr.reset(); };
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(RunProgram(p), 0);
  *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                start);
  return server.Requests();
}

TEST(Startup, TheExitRecordReachesAResponsiveServiceEveryTime) {
  test::TestHttpServer server([](const std::string&) { return test::Answer(200, ""); });
  int delivered = 0;
  for (int run = 0; run < 20; ++run) {
    std::chrono::milliseconds took;
    std::size_t before = server.Requests().size();
    std::vector<std::string> requests = RunAgainst(server, &took);
    // Start, three session records, exit: all there once the run returns.
    ASSERT_EQ(requests.size(), before + 5) << "run " << run;
    if (requests.back().find("\"cmdid\":1882,\"data\":{\"7\":0,\"99\":1") != std::string::npos) {
      ++delivered;
    }
  }
  EXPECT_EQ(delivered, 20);
}

TEST(Startup, ClosingStaysQuickWhenTheReportServiceNeverAnswers) {
  test::TestHttpServer server([](const std::string&) {
    test::Reply silent;
    silent.silent = true;  // each exchange would wait for the full receive limit
    return silent;
  });
  std::chrono::milliseconds took;
  RunAgainst(server, &took);
  // One second for the queue, then the sender is left to its exchange; the
  // receive limit alone is five.
  EXPECT_LT(took.count(), 2500);
}

#ifndef _WIN32
TEST(SingleInstance, TheLockFileGoesWithItsHolderAndAStaleOneNeverBlocks) {
  char dir[] = "/tmp/pivaro-app-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("XDG_RUNTIME_DIR", dir, 1);
  const std::string path = std::string(dir) + "/pivaro.lock";
  std::ofstream(path) << "left by a crash";
  {
    CSingleInstance first;
    ASSERT_TRUE(first.Acquire());
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    CSingleInstance second;
    EXPECT_FALSE(second.Acquire());
    first.Release();
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    // The next holder makes the file anew and still keeps others out.
    EXPECT_TRUE(second.Acquire());
    CSingleInstance third;
    EXPECT_FALSE(third.Acquire());
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  unsetenv("XDG_RUNTIME_DIR");
  rmdir(dir);
}

TEST(SingleInstance, OneHolderPerUserUntilReleased) {
  char dir[] = "/tmp/pivaro-app-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  setenv("XDG_RUNTIME_DIR", dir, 1);
  EXPECT_EQ(CSingleInstance::LockPath(), std::string(dir) + "/pivaro.lock");
  {
    CSingleInstance first;
    ASSERT_TRUE(first.Acquire());
    CSingleInstance second;
    EXPECT_FALSE(second.Acquire());
    first.Release();
    EXPECT_TRUE(second.Acquire());
  }
  CSingleInstance again;  // the holder's end freed it
  EXPECT_TRUE(again.Acquire());
  again.Release();
  unsetenv("XDG_RUNTIME_DIR");
  std::remove((std::string(dir) + "/pivaro.lock").c_str());
  rmdir(dir);
}
#endif
