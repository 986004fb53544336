// pivaro: the client on Linux, in a terminal, driving the simulated
// presentation application. The relay broker is the build's deployment host
// on port 443; PIVARO_RELAY_URI replaces it for a local demo broker, and
// PIVARO_DIRECT_PORT moves the LAN port where 41203 is taken (tests).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "app/asio_ui_thread.h"
#include "app/controller.h"
#include "app/default_services.h"
#include "app/direct_port.h"
#include "app/posix/terminal_screen.h"
#include "app/posix/terminal_view.h"
#include "app/posix/transport_status.h"
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

constexpr char kUsage[] =
    "Usage: pivaro [--help | --version]\n"
    "\n"
    "Lets a phone drive a slide show: shows a pairing QR code, then carries out\n"
    "the phone's commands on the (simulated) presentation application.\n"
    "\n"
    "In a terminal it takes the whole screen; the keys that work are listed at\n"
    "its foot (q closes, Ctrl-C closes at once). With standard input not a\n"
    "terminal it prints one line per change and reads commands as lines.\n"
    "\n"
    "Environment:\n"
    "  PIVARO_RELAY_URI    relay broker for a local demo, e.g. tcp://127.0.0.1:18830\n"
    "  PIVARO_DIRECT_PORT  LAN port for a demo beside another copy (default 41203,\n"
    "                      0 a free one)\n"
    "  NO_COLOR            draw without colours\n";

// Each session is watched on its way to the controller, for the status
// line; the controller sees the same calls and notifications as without.
INetSession* MakeSession(SessionType type, const std::string& relayUri, TransportStatus& status) {
  INetSession* session = nullptr;
  std::function<std::uint16_t()> port;
  try {
    if (type == Direct) {
      DirectSessionOptions options;
      options.port = DirectPortFromEnvironment();
      options.browser.enabled = true;
      auto* direct = new CDirectSession(options);
      port = [direct] { return direct->TcpPort(); };
      session = direct;
    } else if (type == Relay) {
#if PIVARO_HAVE_RELAY
      session = new CMqttSession(relayUri);
#endif
    }
    if (!session) return nullptr;
    AddRef(session);
    INetSession* watched = new CWatchedSession(session, type, status, std::move(port));
    AddRef(watched);
    return watched;
  } catch (const std::exception&) {
    Release(session);
    return nullptr;
  }
}

// A terminal that cannot place the cursor (TERM=dumb, an editor's shell
// buffer) gets the line mode, as a pipe does.
bool FullScreenTerminal() {
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) return false;
  const char* term = std::getenv("TERM");
  return term && *term && std::strcmp(term, "dumb") != 0;
}

void RunTerminalClient() {
  const bool interactive = FullScreenTerminal();
  boost::asio::io_context io;
  CTerminalScreen screen(STDIN_FILENO, stdout);
  // Lives as long as the process: a session released late on another
  // thread may still record its stop.
  TransportStatus& status = *new TransportStatus;
  status.Set(Direct, LinkState::Off, DirectPortFromEnvironment());

  // A WPS-like application beside the PowerPoint-like one, installed before
  // the manager attaches to the simulated machine.
  std::shared_ptr<CSimulatedPresentationApp> wps = DefaultSimulation().InstallWps();
  CMainController::Services services = DefaultServices();
  std::string relayUri = RelayUri();
  services.createSession = [relayUri, &status](SessionType type) {
    return MakeSession(type, relayUri, status);
  };
  if (interactive && screen.Enter()) {
    // The check blocks start-up for as long as the service takes to answer
    // or to fail; the screen says what it waits for.
    std::function<int()> check = std::move(services.checkForUpdate);
    services.checkForUpdate = [check, &screen] {
      screen.Present({"", "  Pivaro", "", "  Checking for updates..."});
      return check ? check() : 0;
    };
  }
  auto* control = static_cast<CPowerPointMgrControl*>(services.presentation.get());
  CPowerPointMgr* mgr = &control->Manager();
  Report::IReportMgr* reports = services.reports;

  CMainController controller(std::move(services));
  CAsioUiThread ui(io, controller);
  CTerminalView view(io, controller, mgr, DefaultSimulatedApp(), wps, interactive, stdout, &screen);
  view.SetReports(reports);
  view.SetTransportStatus(&status);
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

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "-V")) {
      std::string version;
      ToUtf8(kClientVersion, version);
      std::printf("pivaro %s\n", version.c_str());
      return 0;
    }
    std::fprintf(stderr, "pivaro: unknown option '%s'\n\n%s", argv[i], kUsage);
    return 2;
  }
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
  // Closing must stay quick however slow the report service is.
  steps.flushReports = [] { Report::ReportMgr::Instance()->Drain(std::chrono::seconds(1)); };
  steps.destroyReports = [] { Report::ReportMgr::DestroyInstance(); };
  steps.runMainWindow = RunTerminalClient;
  steps.releaseInstance = [&instance] { instance.Release(); };
  return RunProgram(steps);
}
