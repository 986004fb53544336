// pivaro: the client on Linux, in a terminal, driving LibreOffice Impress
// when one listens on Pivaro's pipe or a presentation is given, else the
// simulated presentation application. The relay broker is the build's deployment host
// on port 443; PIVARO_RELAY_URI replaces it for a local demo broker, and
// PIVARO_DIRECT_PORT moves the LAN port where 41203 is taken (tests).
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "app/asio_ui_thread.h"
#include "app/controller.h"
#include "app/default_services.h"
#include "app/direct_port.h"
#include "app/single_instance.h"
#include "app/startup.h"
#include "net/direct_session.h"
#include "presentation/ports.h"
#include "presentation/simulated_office.h"
#include "services/report_mgr.h"
#include "ui/terminal/terminal_screen.h"
#include "ui/terminal/terminal_view.h"
#include "ui/terminal/transport_status.h"

#if PIVARO_WITH_IMPRESS
#include "presentation/impress/impress_office.h"
#endif

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
    "Usage: pivaro [--help | --version] [PRESENTATION]\n"
    "\n"
    "Lets a phone drive a slide show: shows a pairing QR code, then carries out\n"
    "the phone's commands on LibreOffice Impress. Given a PRESENTATION (deck.odp,\n"
    "deck.pptx, ...), it starts Impress listening on Pivaro's pipe, or uses the\n"
    "one already listening there, and opens it. Without one it uses an Impress\n"
    "listening on the pipe, and a simulated presentation application while none\n"
    "does (an Impress that comes there later is picked up).\n"
    "\n"
    "In a terminal it takes the whole screen; the keys that work are listed at\n"
    "its foot (q closes, Ctrl-C closes at once). With standard input not a\n"
    "terminal it prints one line per change and reads commands as lines.\n"
    "\n"
    "Environment:\n"
    "  PIVARO_RELAY_URI    relay broker for a local demo, e.g. tcp://127.0.0.1:18830\n"
    "  PIVARO_DIRECT_PORT  LAN port for a demo beside another copy (default 41203,\n"
    "                      0 a free one)\n"
    "  PIVARO_IMPRESS_PIPE  the pipe Impress listens on (default pivaro-<uid>)\n"
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

#if PIVARO_WITH_IMPRESS
constexpr auto kOfficeSearch = std::chrono::milliseconds(500);
constexpr auto kShowLineRefresh = std::chrono::seconds(1);

// Impress with `deck` open, or, without a deck, the Impress listening on the
// pipe or the one that comes there later (the simulation stands in until
// then); null with `error` set when a deck was given and could not be opened.
std::unique_ptr<CImpressOffice> AttachImpress(const std::string& deck, std::string* error) {
  ImpressLinkOptions options;
  const char* pipe = std::getenv("PIVARO_IMPRESS_PIPE");
  options.pipeName = pipe && *pipe ? pipe : DefaultImpressPipeName();
  auto office = std::make_unique<CImpressOffice>(options);
  if (deck.empty()) {
    if (!office->Link().Connect(false)) {
      if (!office->Link().Refusal().empty())
        std::fprintf(stderr, "pivaro: Impress %s\n", office->Link().Refusal().c_str());
      office->SetStandIn(DefaultPresentationPorts());
    }
  } else {
    std::fprintf(stderr, "pivaro: opening %s in LibreOffice Impress...\n", deck.c_str());
    const bool connected = office->Link().Connect(true);
    // A refused pipe of the presenter's is left for an office of our own.
    if (!office->Link().Refusal().empty())
      std::fprintf(stderr, "pivaro: Impress %s\n", office->Link().Refusal().c_str());
    if (!connected) {
      *error = "LibreOffice did not start (is libreoffice-impress installed?)";
      return nullptr;
    }
    if (!office->Link().Open(deck)) {
      *error = "Impress could not open " + deck + " as a presentation";
      return nullptr;
    }
  }
  // Said once: the pen still switches Impress's own pen on.
  if (!office->PenUnavailable().empty())
    std::fprintf(stderr, "pivaro: the phone's pen strokes are not drawn in Impress: %s\n",
                 office->PenUnavailable().c_str());
  office->WatchForOffice(kOfficeSearch);
  return office;
}

// Keeps the view's show line in step with Impress: the line is read off the
// UI thread (the office may be slow to answer), at every event of the
// office and once a second.
class ImpressShowLine : public IAutomationEventSink {
 public:
  ImpressShowLine(CImpressOffice& office, boost::asio::io_context& io, CTerminalView& view)
      : office_(office), io_(io), view_(view) {}
  ~ImpressShowLine() { Stop(); }

  void Start(const PresentationPorts& ports) {
    if (Succeeded(ports.automation->Create(u"PowerPoint.Application", &app_)))
      app_->Advise(kApplicationEventsIid, std::shared_ptr<IAutomationEventSink>(this, [](auto*) {}),
                   &cookie_);
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    if (app_ && cookie_) app_->Unadvise(kApplicationEventsIid, cookie_);
    cookie_ = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  HResult Invoke(std::int32_t, const std::vector<AutoValue>&) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      changed_ = true;
    }
    wake_.notify_all();
    return kOk;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> guard(lock_);
    while (!stopping_) {
      changed_ = false;
      guard.unlock();
      std::string text = office_.Describe();
      CTerminalView* view = &view_;
      boost::asio::post(io_, [view, text] { view->SetShowText(text); });
      guard.lock();
      wake_.wait_for(guard, kShowLineRefresh, [this] { return stopping_ || changed_; });
    }
  }

  CImpressOffice& office_;
  boost::asio::io_context& io_;
  CTerminalView& view_;
  AutomationPtr app_;
  std::uint32_t cookie_ = 0;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool changed_ = false;
  std::thread thread_;
};
#endif

std::string deckArgument;
std::string impressError;

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
#if PIVARO_WITH_IMPRESS
  std::unique_ptr<CImpressOffice> impress = AttachImpress(deckArgument, &impressError);
  if (!impress && !deckArgument.empty()) return;
  PresentationPorts impressPorts;
  // Impress from the start, or the simulation standing in for it.
  const bool impressOnly = impress && impress->Link().IsConnected();
  if (impress) {
    impressPorts = impress->Ports();
    services.presentation =
        std::make_unique<CPowerPointMgrControl>(std::make_unique<CPowerPointMgr>(impressPorts));
    if (impressOnly) wps.reset();
  }
#endif
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
  std::shared_ptr<CSimulatedPresentationApp> simulated = DefaultSimulatedApp();
#if PIVARO_WITH_IMPRESS
  if (impressOnly) simulated.reset();
#endif
  CTerminalView view(io, controller, mgr, simulated, wps, interactive, stdout, &screen);
  view.SetReports(reports);
  view.SetTransportStatus(&status);
  controller.AttachUi(&ui, &view);
  view.Start();
#if PIVARO_WITH_IMPRESS
  std::unique_ptr<ImpressShowLine> showLine;
  if (impress) {
    showLine = std::make_unique<ImpressShowLine>(*impress, io, view);
    showLine->Start(impressPorts);
  }
#endif
  controller.InitWindow();
  io.run();
#if PIVARO_WITH_IMPRESS
  showLine.reset();
#endif
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
    if (argv[i][0] == '-' || !deckArgument.empty()) {
      std::fprintf(stderr, "pivaro: unknown option '%s'\n\n%s", argv[i], kUsage);
      return 2;
    }
    deckArgument = argv[i];
  }
#if !PIVARO_WITH_IMPRESS
  if (!deckArgument.empty()) {
    std::fprintf(stderr,
                 "pivaro: built without LibreOffice Impress (libreoffice-dev was missing)\n");
    return 2;
  }
#endif
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
  int rc = RunProgram(steps);
  if (!impressError.empty()) {
    std::fprintf(stderr, "pivaro: %s\n", impressError.c_str());
    return 1;
  }
  return rc;
}
