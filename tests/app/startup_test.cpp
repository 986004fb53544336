// The order of the program's run, its usage records and the single-instance
// lock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/single_instance.h"
#include "app/startup.h"
#include "tests/app/fakes.h"

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

#ifndef _WIN32
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
