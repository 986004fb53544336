#include "tests/e2e/support/pc_harness.h"

#include <boost/asio/post.hpp>

#include "app/asio_ui_thread.h"
#include "net/direct_session.h"
#include "net/mqtt_session.h"
#include "presentation/powerpoint_mgr.h"
#include "tests/support/wait_until.h"

namespace e2e {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  return test_support::WaitUntil(done, limit);
}

void RecordingView::SetPairingAddress(const std::string& address) {
  std::lock_guard<std::mutex> lock(lock_);
  addresses_.push_back(address);
}

void RecordingView::SetTransportNote(const std::u16string& note) {
  std::lock_guard<std::mutex> lock(lock_);
  note_ = note;
}

std::u16string RecordingView::TransportNote() {
  std::lock_guard<std::mutex> lock(lock_);
  return note_;
}

void RecordingView::ShowLaser(double x, double y) {
  std::lock_guard<std::mutex> lock(lock_);
  ++laser_.shows;
  laser_.x = x;
  laser_.y = y;
}

void RecordingView::MoveLaser(double x, double y) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    ++laser_.moves;
    laser_.x = x;
    laser_.y = y;
  }
  if (onMoveLaser) onMoveLaser(x, y);
}

void RecordingView::HideLaser() {
  std::lock_guard<std::mutex> lock(lock_);
  ++laser_.hides;
}

RecordingView::Laser RecordingView::LaserCalls() {
  std::lock_guard<std::mutex> lock(lock_);
  return laser_;
}

std::vector<std::string> RecordingView::Addresses() {
  std::lock_guard<std::mutex> lock(lock_);
  return addresses_;
}

PcHarness::PcHarness(PcOptions options) : options_(std::move(options)), work_(io_.get_executor()) {
  app_ = options_.wps ? office_.InstallWps() : office_.InstallPowerPoint(u"16.0");
  if (options_.openPresentation) app_->OpenPresentation(CSimulatedOffice::SamplePresentation());

  PresentationPorts ports =
      options_.presentationPorts ? options_.presentationPorts() : office_.Ports();
  if (options_.wrapAutomation) ports.automation = options_.wrapAutomation(ports.automation);

  CMainController::Services services;
  services.createSession = [this](SessionType type) { return CreateSession(type); };
  services.presentation =
      std::make_unique<CPowerPointMgrControl>(std::make_unique<CPowerPointMgr>(ports));
  // The pairing address needs a base; nothing ever contacts it.
  services.serviceBaseUrl = [] { return std::string("http://127.0.0.1:9/tavmix/"); };
  controller_ = std::make_unique<CMainController>(std::move(services));
  ui_ = std::make_unique<CAsioUiThread>(io_, *controller_);
  controller_->AttachUi(ui_.get(), &view_);
  uiThread_ = std::thread([this] { io_.run(); });
}

PcHarness::~PcHarness() {
  Close();
  work_.reset();
  io_.stop();
  if (uiThread_.joinable()) uiThread_.join();
  // The UI thread is gone: this thread stands in for it from here on.
  controller_->AttachUi(nullptr, nullptr);
  controller_.reset();
  ui_.reset();
  std::lock_guard<std::mutex> lock(sessionsLock_);
  ::Release(direct_);
  direct_ = nullptr;
  ::Release(relay_);
  relay_ = nullptr;
}

INetSession* PcHarness::CreateSession(SessionType type) {
  INetSession* session = nullptr;
  if (type == Relay) {
    INetSession* mqtt =
        options_.brokerUri.empty() ? new CMqttSession() : new CMqttSession(options_.brokerUri);
    mqtt->AddRef();
    auto* observed = new ObservedSession(mqtt);
    std::lock_guard<std::mutex> lock(sessionsLock_);
    observed->AddRef();
    ::Release(relay_);
    relay_ = observed;
    session = observed;
  } else {
    DirectSessionOptions direct;
    direct.port = 0;  // tests run side by side: never the fixed port
    direct.networkAlive = [] { return true; };
    direct.tick = options_.directTick;
    direct.externalTicks = options_.directExternalTicks;
    if (options_.browser) {
      direct.browser.enabled = true;
      direct.browser.firstPort = direct.browser.lastPort = 0;
      direct.browser.host = "127.0.0.1";
    }
    auto* d = new CDirectSession(direct);
    std::lock_guard<std::mutex> lock(sessionsLock_);
    d->AddRef();
    ::Release(direct_);
    direct_ = d;
    session = d;
  }
  session->AddRef();
  return session;
}

std::string PcHarness::BrowserAddress() {
  std::lock_guard<std::mutex> lock(sessionsLock_);
  return direct_ ? direct_->BrowserAddress() : std::string();
}

// The tick runs without the lock: the session tells the controller on its
// own thread, and the controller may be creating sessions meanwhile.
bool PcHarness::TickDirect() {
  CDirectSession* direct = nullptr;
  {
    std::lock_guard<std::mutex> lock(sessionsLock_);
    if (!direct_) return false;
    direct = direct_;
    direct->AddRef();
  }
  bool ran = direct->RunTick();
  ::Release(direct);
  return ran;
}

void PcHarness::OnUi(std::function<void()> f) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  boost::asio::post(io_, [f = std::move(f), done] {
    f();
    done->set_value();
  });
  future.wait_for(std::chrono::seconds(5));
}

bool PcHarness::Start(std::chrono::milliseconds limit) {
  OnUi([this] { controller_->InitWindow(); });
  return WaitState(State::WaitingForPhone, limit) && WaitRelayStarted(1, limit);
}

bool PcHarness::WaitRelayStarted(int count, std::chrono::milliseconds limit) {
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(sessionsLock_);
        return relay_ && relay_->StartedCount() >= count;
      },
      limit);
}

bool PcHarness::WaitState(State state, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return controller_->GetState() == state; }, limit);
}

void PcHarness::PressConnectButton() {
  OnUi([this] { controller_->OnConnectButton(); });
}

void PcHarness::PressRetryOrCancel() {
  OnUi([this] { controller_->OnRetryOrCancel(); });
}

void PcHarness::Close() {
  if (closed_) return;
  closed_ = true;
  OnUi([this] { controller_->OnClose(); });
}

phone::PhoneOptions PcHarness::PhoneOptionsFor(phone::Transport transport) {
  phone::PhoneOptions o;
  o.transport = transport;
  o.brokerUri = options_.brokerUri;
  o.connectTimeout = std::chrono::seconds(5);
  if (transport != phone::Transport::Relay) {
    // Only loopback in tests, whatever addresses the PC lists in `sv`.
    o.directHost = "127.0.0.1";
    std::lock_guard<std::mutex> lock(sessionsLock_);
    if (direct_) {
      o.directPort =
          transport == phone::Transport::DirectUdp ? direct_->UdpPort() : direct_->TcpPort();
    }
  }
  return o;
}

std::unique_ptr<phone::PhoneLink> PcHarness::JoinPhone(phone::Transport transport, bool notes,
                                                       std::string* error,
                                                       const std::string& from) {
  std::string why;
  phone::PairingAddress address;
  if (!phone::ParsePairingAddress(PairingAddress(), address, &why)) {
    if (error) *error = why;
    return nullptr;
  }
  phone::PhoneOptions o = PhoneOptionsFor(transport);
  o.notes = notes;
  if (!from.empty()) o.bindAddress = from;
  auto link = phone::MakePhoneLink(address, o, &why);
  if (!link || !link->Connect()) {
    if (error) *error = link ? link->LastError() : why;
    return nullptr;
  }
  return link;
}

}  // namespace e2e
