// pivaro: the client on Linux, in a terminal, driving the simulated
// presentation application. The relay broker is the build's deployment host
// on port 443; PIVARO_RELAY_URI replaces it for a local demo broker.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "app/asio_ui_thread.h"
#include "app/controller.h"
#include "app/default_services.h"
#include "app/posix/terminal_view.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "net/direct_session.h"
#include "presentation/ports.h"
#include "presentation/simulated_office.h"
#include "services/report_mgr.h"

#if PIVARO_WITH_MQTT && __has_include("net/mqtt_session.h")
#include "net/mqtt_session.h"
#define PIVARO_HAVE_RELAY 1
#endif

namespace {

std::string RelayUri() {
  const char* env = std::getenv("PIVARO_RELAY_URI");
  if (env && *env) return env;
  return std::string("tcp://") + PIVARO_RELAY_HOST + ":443";
}

// PIVARO_DIRECT_PORT=0 puts the app phones' TCP/UDP port on a free one, for
// tests that run beside another copy; browsers keep their own ports.
std::uint16_t DirectPort() {
  const char* env = std::getenv("PIVARO_DIRECT_PORT");
  if (!env || !*env) return kDirectPort;
  return static_cast<std::uint16_t>(std::strtoul(env, nullptr, 10));
}

INetSession* MakeSession(SessionType type, const std::string& relayUri) {
  INetSession* session = nullptr;
  try {
    if (type == Direct) {
      DirectSessionOptions options;
      options.port = DirectPort();
      options.browser.enabled = true;
      session = new CDirectSession(options);
    } else if (type == Relay) {
#if PIVARO_HAVE_RELAY
      session = new CMqttSession(relayUri);
#endif
    }
  } catch (const std::exception&) {
    return nullptr;
  }
  AddRef(session);
  return session;
}

void RunTerminalClient() {
  const bool interactive = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
  boost::asio::io_context io;

  // A WPS-like application beside the PowerPoint-like one, installed before
  // the manager attaches to the simulated machine.
  std::shared_ptr<CSimulatedPresentationApp> wps = DefaultSimulation().InstallWps();
  CMainController::Services services = DefaultServices();
  std::string relayUri = RelayUri();
  services.createSession = [relayUri](SessionType type) { return MakeSession(type, relayUri); };
  auto* control = static_cast<CPowerPointMgrControl*>(services.presentation.get());
  CPowerPointMgr* mgr = &control->Manager();

  CMainController controller(std::move(services));
  CAsioUiThread ui(io, controller);
  CTerminalView view(io, controller, mgr, DefaultSimulatedApp(), wps, interactive);
  controller.AttachUi(&ui, &view);
  view.Start();
  controller.InitWindow();
  io.run();
  view.Stop();
  // Nothing runs the loop any more: calls posted while the controller goes
  // down are dropped with it.
  controller.AttachUi(nullptr, nullptr);
}

}  // namespace

int main() {
  CSingleInstance instance;
  ProgramSteps steps;
  steps.tickCount = [] { return SystemTickCount(); };
  steps.acquireInstance = [&instance] { return instance.Acquire(); };
  steps.onOtherInstance = [] {
    std::fprintf(stderr, "pivaro: already running for this user (lock %s)\n",
                 CSingleInstance::LockPath().c_str());
  };
  // The distribution channel of the Linux build.
  steps.supplyId = [] { return std::u16string(u"100000"); };
  steps.reports = [] { return static_cast<Report::IReportMgr*>(Report::ReportMgr::Instance()); };
  steps.destroyReports = [] { Report::ReportMgr::DestroyInstance(); };
  steps.runMainWindow = RunTerminalClient;
  steps.releaseInstance = [&instance] { instance.Release(); };
  return RunProgram(steps);
}
