#include "app/startup.h"

namespace {

template <class Fill>
void Send(Report::IReportMgr* reports, std::int32_t cmdId, Fill fill) {
  if (!reports) return;
  Report::IReportData* data = reports->CreateData(cmdId);
  if (!data) return;
  fill(data);
  reports->SendData(data, Report::Queued, 0, 0);
  reports->ReleaseData(data);
}

void Call(const std::function<void()>& f) {
  if (f) f();
}

}  // namespace

void SendStartRecord(Report::IReportMgr* reports) {
  Send(reports, Report::ReportCmdStart, [](Report::IReportData* d) {
    d->PutValues(2, Report::Field::Done, Report::Int, 1, Report::Field::Marker, Report::Int, 1);
  });
}

void SendExitRecord(Report::IReportMgr* reports, std::uint32_t runMs) {
  Send(reports, Report::ReportCmdUsage, [runMs](Report::IReportData* d) {
    d->PutValues(2, Report::Field::RunMs, Report::Int, static_cast<std::int32_t>(runMs),
                 Report::Field::Marker, Report::Int, 1);
  });
}

int RunProgram(const ProgramSteps& steps) {
  // The run time covers the whole process, start-up included.
  const std::uint32_t start = steps.tickCount();
  if (steps.acquireInstance && !steps.acquireInstance()) {
    Call(steps.onOtherInstance);
    return 1;
  }
  std::u16string supplyId = steps.supplyId ? steps.supplyId() : std::u16string();
  Report::IReportMgr* reports = steps.reports ? steps.reports() : nullptr;
  if (reports) {
    reports->Initialize(kReportSoftId, kReportServiceId, kClientVersion, supplyId.c_str());
  }
  SendStartRecord(reports);
  Call(steps.platformUp);
  Call(steps.runMainWindow);
  Call(steps.platformDown);
  // The instance lock is held until the window is gone and the platform is
  // down, so a copy started during shutdown still finds it.
  Call(steps.releaseInstance);
  // Unsigned difference: right across a wrap of the tick counter.
  SendExitRecord(reports, steps.tickCount() - start);
  // Destroying the reports drops whatever has not left yet, the exit record
  // above included; a short wait lets a responsive service receive them.
  Call(steps.flushReports);
  Call(steps.destroyReports);
  return 0;
}
