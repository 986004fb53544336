#include "app/default_services.h"

#include <memory>

#include "services/report_mgr.h"
#include "services/update.h"

CMainController::Services DefaultServices() {
  CMainController::Services s;
  s.createSession = [](SessionType type) { return CreateSession(type); };
  s.presentation = std::make_unique<CPowerPointMgrControl>(std::make_unique<CPowerPointMgr>());
  s.reports = Report::ReportMgr::Instance();
  s.checkForUpdate = [] { return static_cast<int>(Report::CheckForUpdate()); };
  s.serviceBaseUrl = [] { return Report::GetServiceBaseUrl(); };
  return s;
}
