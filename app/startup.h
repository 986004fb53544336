// The program's run from the first tick to the exit code, shared by the
// Windows entry point and the Linux terminal program: single instance,
// usage reporting around the whole run, platform set-up and take-down
// around the main window, in that order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "build_settings.h"

#include "services/report.h"

constexpr std::int32_t kReportSoftId = 142;
constexpr std::int32_t kReportServiceId = 10400;
constexpr char16_t kClientVersion[] = u"" PIVARO_VERSION;

struct ProgramSteps {
  std::function<std::uint32_t()> tickCount;      // GetTickCount-like; required
  std::function<bool()> acquireInstance;         // false: another copy runs
  std::function<void()> onOtherInstance;         // bring it forward, say so
  std::function<std::u16string()> supplyId;      // the distribution channel id
  std::function<Report::IReportMgr*()> reports;  // the singleton (may give null)
  std::function<void()> flushReports;            // bounded: lets queued reports leave
  std::function<void()> destroyReports;          // ends the singleton
  std::function<void()> platformUp;              // COM, controls, GDI+
  std::function<void()> runMainWindow;           // construct, run, destroy
  std::function<void()> platformDown;            // GDI+, COM
  std::function<void()> releaseInstance;
};

// 0 after a normal run, 1 when another copy was found (nothing else runs
// then, not even the start record).
int RunProgram(const ProgramSteps& steps);

// Records 1880 {1: 1, 99: 1} and 1882 {7: run time in ms, 99: 1}.
void SendStartRecord(Report::IReportMgr* reports);
void SendExitRecord(Report::IReportMgr* reports, std::uint32_t runMs);
