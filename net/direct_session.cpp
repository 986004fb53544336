#include "net/direct_session.h"

#include <future>

#include <boost/asio/post.hpp>

#include "net/direct_messages.h"
#include "net/direct_pairing.h"
#include "net/listen_socket.h"
#include "net/network_state.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using boost::system::error_code;

CDirectSession::CDirectSession(std::uint16_t port)
    : CDirectSession([port] {
        DirectSessionOptions options;
        options.port = port;
        options.browser.enabled = true;
        if (port == 0) options.browser.firstPort = options.browser.lastPort = 0;
        return options;
      }()) {}

CDirectSession::CDirectSession(const DirectSessionOptions& options)
    : options_(options),
      work_(asio::make_work_guard(io_)),
      acceptor_(io_),
      udp_(io_),
      timer_(io_),
      acceptRetry_(io_),
      receiveRetry_(io_) {
  // The I/O service has initialised the socket library by now (Windows).
  pairing_.emplace_back("sv", LocalDirectPairingValue(options_.port));
  if (options_.browser.enabled) {
    IBrowserPhoneHost& host = *this;
    browser_ = std::make_unique<CBrowserRemote>(io_, host, options_.browser);
  }
  thread_ = std::thread([this] {
    // A handler that throws must not end the thread that every socket
    // depends on.
    for (;;) {
      try {
        io_.run();
        return;
      } catch (...) {
      }
    }
  });
}

void CDirectSession::Destroy() {
  if (OnIoThread()) {
    std::thread([this] { delete this; }).detach();
  } else {
    delete this;
  }
}

CDirectSession::~CDirectSession() {
  RunOnIo(
      [this] {
        ++timerGeneration_;
        timer_.cancel();
        acceptRetry_.cancel();
        receiveRetry_.cancel();
        CloseSockets();
        return true;
      },
      false);
  work_.reset();
  io_.stop();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // released from inside its own notification: cannot join itself
  } else {
    thread_.join();
  }
}

std::vector<PairingParam> CDirectSession::GetPairingParams() { return pairing_; }

// The outcomes of Start and Stop are told from the I/O thread like every
// other notification. Told on the caller's thread, they would hold the
// session's lock there; the I/O thread then waits for that lock in its own
// notifications, and a receiver that calls back into the session (a Close
// that waits for the I/O thread) stalls both until the call limit.
bool CDirectSession::Start(std::int32_t cookie) {
  bool ok = NetworkAlive();
  if (ok && !RunOnIo([this] { return OpenSockets(); }, false)) return false;
  asio::post(io_, [this, ok, cookie] {
    Notify([ok, cookie](INetSessionNotify* n) { n->OnStarted(ok, cookie); });
  });
  return true;
}

bool CDirectSession::Stop(std::int32_t cookie) {
  if (!Close()) return false;
  asio::post(io_, [this, cookie] {
    Notify([cookie](INetSessionNotify* n) { n->OnStopped(true, cookie); });
  });
  return true;
}

bool CDirectSession::Close() {
  return RunOnIo(
      [this] {
        CloseSockets();
        return true;
      },
      false);
}

bool CDirectSession::DropPeer() {
  RunOnIo(
      [this] {
        DropPeerOnIo();
        return true;
      },
      true);
  return true;
}

bool CDirectSession::IsConnected() { return OnIoThread() ? Attached() : attached_.load(); }

bool CDirectSession::Send(JsonPtr& message, std::int32_t cookie) {
  auto frame = std::make_shared<std::string>(EncodeMessageFrame(message));
  if (frame->empty()) return false;
  WriteDone done = [this, cookie](bool ok) { NotifySent(ok, cookie); };
  if (OnIoThread()) return SendFrame(std::move(frame), std::move(done));
  if (!attached_.load()) return false;
  // The phone may leave before the I/O thread gets to it; the promised
  // OnSent then reports the failure.
  asio::post(io_, [this, frame, done] {
    if (!SendFrame(frame, done)) done(false);
  });
  return true;
}

bool CDirectSession::SendByKind(JsonPtr& app, JsonPtr& browser, std::int32_t cookie) {
  auto appFrame = std::make_shared<std::string>(app ? EncodeMessageFrame(app) : std::string());
  auto browserFrame =
      std::make_shared<std::string>(browser ? EncodeMessageFrame(browser) : std::string());
  WriteDone done = [this, cookie](bool ok) { NotifySent(ok, cookie); };
  // The kind is read on the I/O thread, where the phone changes, so the
  // frame chosen is the one for the phone it goes to.
  auto frameFor = [this, appFrame, browserFrame] {
    return slot_.holder == PhoneTransport::Browser ? browserFrame : appFrame;
  };
  if (OnIoThread()) {
    std::shared_ptr<std::string> frame = frameFor();
    return !frame->empty() && SendFrame(std::move(frame), std::move(done));
  }
  if (!attached_.load() || (appFrame->empty() && browserFrame->empty())) return false;
  asio::post(io_, [this, frameFor, done] {
    std::shared_ptr<std::string> frame = frameFor();
    if (!frame->empty() && !SendFrame(frame, done)) done(false);
  });
  return true;
}

bool CDirectSession::SendSync(JsonPtr& message) {
  auto frame = std::make_shared<std::string>(EncodeMessageFrame(message));
  if (frame->empty()) return false;
  // The I/O thread cannot wait for itself: there the frame is only queued.
  if (OnIoThread()) return SendFrame(std::move(frame), [](bool) {});
  if (!attached_.load()) return false;
  auto result = std::make_shared<std::promise<bool>>();
  std::future<bool> finished = result->get_future();
  asio::post(io_, [this, frame, result] {
    if (!SendFrame(frame, [result](bool ok) { result->set_value(ok); })) {
      result->set_value(false);
    }
  });
  if (finished.wait_for(options_.callLimit) != std::future_status::ready) return false;
  return finished.get();
}

void CDirectSession::SetNotify(INetSessionNotify* notify) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  notify_ = notify;
}

bool CDirectSession::OnIoThread() { return io_.get_executor().running_in_this_thread(); }

bool CDirectSession::RunOnIo(std::function<bool()> f, bool fallback) {
  if (OnIoThread()) return f();
  auto task = std::make_shared<std::packaged_task<bool()>>(std::move(f));
  std::future<bool> result = task->get_future();
  asio::post(io_, [task] { (*task)(); });
  if (result.wait_for(options_.callLimit) != std::future_status::ready) return fallback;
  try {
    return result.get();
  } catch (...) {
    return fallback;
  }
}

void CDirectSession::NotifySent(bool ok, std::int32_t cookie) {
  Notify([ok, cookie](INetSessionNotify* n) { n->OnSent(ok, cookie); });
}

bool CDirectSession::NetworkAlive() const {
  return options_.networkAlive ? options_.networkAlive() : HostHasNetwork();
}

bool CDirectSession::OpenSockets() {
  // First, so that browsers are served even when the app's port is taken.
  OpenBrowser();
  error_code ec;
  error_code ignored;
  if (!acceptor_.is_open()) {
    // Closed again on failure: left open but unbound, the listener would
    // look ready to the next Start and never accept anything.
    if (!OpenTcpListener(acceptor_, tcp::endpoint(tcp::v4(), options_.port), ec)) return false;
    tcpPort_ = acceptor_.local_endpoint(ignored).port();
    Accept(++acceptEpoch_);
  }
  if (!udp_.is_open()) {
    if (!OpenUdpSocket(udp_, udp::endpoint(udp::v4(), options_.port), ec)) return false;
    udpPort_ = udp_.local_endpoint(ignored).port();
    StartReceiving();
  }
  return true;
}

void CDirectSession::CloseSockets() {
  DropPeerOnIo();
  // Rejected phones too: a stopped session must not pick one of them up as
  // its phone through a connection that outlived the listener.
  for (const ConnectionPtr& conn : std::set<ConnectionPtr>(connections_)) CloseConnection(conn);
  CloseBrowser();
  error_code ignored;
  acceptor_.close(ignored);
  udp_.close(ignored);
  tcpPort_ = 0;
  udpPort_ = 0;
}

void CDirectSession::DropPeerOnIo() {
  if (current_) {
    CloseConnection(current_);
    current_.reset();
  }
  DropBrowserPeer();
  ClearSlot();
}

void CDirectSession::ClearSlot() {
  PhoneSlot empty;
  empty.refused = slot_.refused;
  slot_ = empty;
  UpdateAttached();
}

void CDirectSession::UpdateAttached() {
  attached_.store(Attached());
  std::string address;
  std::string description;
  if (Attached()) {
    std::string remote = slot_.address.to_string();
    switch (slot_.holder) {
      case PhoneTransport::Tcp:
        address = remote;
        description = remote + " TCP";
        break;
      case PhoneTransport::Udp:
        address = remote;
        description = remote + ":" + std::to_string(slot_.port) + " UDP";
        break;
      case PhoneTransport::Browser:
        if (browserPeer_) address = browserPeer_->Remote().to_string();
        description = address + " browser";
        break;
      case PhoneTransport::None:
        break;
    }
  }
  std::lock_guard<std::mutex> guard(peerLock_);
  peerAddressText_ = std::move(address);
  peerDescription_ = std::move(description);
}

std::string CDirectSession::PeerAddress() {
  std::lock_guard<std::mutex> guard(peerLock_);
  return peerAddressText_;
}

std::string CDirectSession::PeerDescription() {
  std::lock_guard<std::mutex> guard(peerLock_);
  return peerDescription_;
}

void CDirectSession::RefuseAddress(const std::string& address) {
  error_code ec;
  asio::ip::address refused = asio::ip::make_address(address, ec);
  if (ec) refused = asio::ip::address();
  RunOnIo(
      [this, refused] {
        slot_.refused = refused;
        return true;
      },
      false);
}

void CDirectSession::Deliver(JsonPtr& message) {
  Notify([&message](INetSessionNotify* n) { n->OnMessage(Direct, message); });
}

bool CDirectSession::Backlogged() {
  bool backlogged = false;
  Notify([&backlogged](INetSessionNotify* n) { backlogged = n->IsBacklogged(); });
  return backlogged;
}

bool CDirectSession::SendFrame(std::shared_ptr<std::string> frame, WriteDone done) {
  switch (slot_.holder) {
    case PhoneTransport::Browser:
      return browserPeer_ && SendToBrowser(frame, std::move(done));
    case PhoneTransport::Tcp:
      if (!current_) return false;
      Write(current_, std::move(frame), std::move(done));
      return true;
    case PhoneTransport::Udp:
      SendDatagram(udp::endpoint(slot_.address, slot_.port), std::move(frame), std::move(done));
      return true;
    case PhoneTransport::None:
      break;
  }
  return false;
}

void CDirectSession::RetryLater(asio::steady_timer& timer, std::function<void()> f) {
  timer.expires_after(direct::kRetryDelay);
  timer.async_wait([f = std::move(f)](const error_code& ec) {
    if (!ec) f();
  });
}
