// pivaro.exe: one copy per desktop session, usage reporting around the
// whole run, COM (single-threaded apartment), the common controls and GDI+
// around the modal main window. As on Linux, for tests and demonstrations,
// PIVARO_RELAY_URI replaces the relay broker (the build's host on port 443)
// with a local one, PIVARO_DIRECT_PORT moves the LAN port and
// PIVARO_REPORT_URL sends the usage records to another report service.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
// gdiplus.h needs objidl.h, which WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>

#include <gdiplus.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <new>
#include <string>

#include "app/default_services.h"
#include "app/direct_port.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "app/win32/supply_id.h"
#if PIVARO_WITH_MQTT
#include "net/mqtt_session.h"
#endif
#include "net/direct_session.h"
#include "services/report_mgr.h"
#include "ui/win32/main_dlg.h"

namespace {

void RunMainWindow() {
  CMainController::Services services = DefaultServices();
  const std::uint16_t directPort = DirectPortFromEnvironment();
  if (directPort != kDirectPort) {
    auto create = services.createSession;
    services.createSession = [directPort, create](SessionType type) -> INetSession* {
      if (type != Direct) return create(type);
      try {
        INetSession* session = new CDirectSession(directPort);
        AddRef(session);
        return session;
      } catch (const std::exception&) {
        return nullptr;  // no memory, or the I/O thread could not start
      }
    };
  }
#if PIVARO_WITH_MQTT
  const char* uri = std::getenv("PIVARO_RELAY_URI");
  if (uri && *uri) {
    std::string relayUri = uri;
    auto create = services.createSession;
    services.createSession = [relayUri, create](SessionType type) -> INetSession* {
      if (type != Relay) return create(type);
      try {
        INetSession* session = new CMqttSession(relayUri);
        AddRef(session);
        return session;
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
    };
  }
#else
  // Without the relay the direct session is the only one offered.
  services.primaryKind = Direct;
#endif
  CMainDlg dialog(std::move(services));
  dialog.DoModal(GetActiveWindow());
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  CSingleInstance instance;
  ULONG_PTR gdiplusToken = 0;
  ProgramSteps steps;
  steps.tickCount = [] { return static_cast<std::uint32_t>(GetTickCount()); };
  steps.acquireInstance = [&instance] { return instance.Acquire(); };
  steps.onOtherInstance = [] { CSingleInstance::BringOtherToFront(); };
  steps.supplyId = LoadSupplyId;
  if (const char* reportUrl = std::getenv("PIVARO_REPORT_URL"); reportUrl && *reportUrl) {
    Report::ReportSettings settings;
    settings.url = reportUrl;
    Report::CReportMgr::SetDefaultSettings(settings);
  }
  steps.reports = [] { return static_cast<Report::IReportMgr*>(Report::ReportMgr::Instance()); };
  // The exit record is queued last; it leaves here or never. Closing stays
  // quick however slow the report service is.
  steps.flushReports = [] { Report::ReportMgr::Instance()->Drain(std::chrono::seconds(1)); };
  steps.destroyReports = [] { Report::ReportMgr::DestroyInstance(); };
  steps.platformUp = [&gdiplusToken] {
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr);
  };
  steps.runMainWindow = RunMainWindow;
  steps.platformDown = [&gdiplusToken] {
    Gdiplus::GdiplusShutdown(gdiplusToken);
    CoUninitialize();
  };
  steps.releaseInstance = [&instance] { instance.Release(); };
  return RunProgram(steps);
}
