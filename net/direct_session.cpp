#include "net/direct_session.h"

#include <deque>
#include <future>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "net/datagram_socket.h"
#include "net/direct_pairing.h"
#include "net/network_state.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using boost::system::error_code;

namespace {

// A datagram may hold at most 256 bytes. It is received into room for the
// largest possible datagram all the same: with a smaller buffer, Windows
// fails the receive with WSAEMSGSIZE and still queues its completion, which
// Asio then completes a second time (a crash), and other systems truncate
// silently.
constexpr std::size_t kDatagramLimit = 256;
constexpr std::size_t kDatagramRoom = 65536;
constexpr std::size_t kReadChunk = 16 * 1024;
// Frames waiting for one TCP peer that does not read; beyond this a send
// fails instead of growing the queue without end.
constexpr std::size_t kMaxQueuedBytes = 32 * 1024 * 1024;
constexpr std::int32_t kHeartbeatAllowance = 3;
constexpr auto kRetryDelay = std::chrono::milliseconds(50);

const std::u16string kBusyText = u"您的电脑已与其他手机建立连接。";
const std::u16string kNotConnectedText = u"未建立连接。";

JsonPtr MakeControl(const std::u16string& msg) {
  JsonPtr message = JsonNew(JsonKind::Object);
  message.Append(JsonNewString(u"msg", msg));
  return message;
}

JsonPtr MakeError(const std::u16string& text) {
  JsonPtr message = MakeControl(u"error");
  message.Append(JsonNewString(u"error", text));
  return message;
}

std::u16string MemberText(const JsonPtr& message, const std::u16string& name) {
  JsonPtr* member = message.Find(name);
  return member ? member->AsString() : std::u16string();
}

// Errors after which the same UDP socket keeps working at once: an ICMP
// port-unreachable for an earlier reply, or a datagram too long for the
// buffer.
bool IsTransientReceiveError(const error_code& ec) {
  return ec == asio::error::connection_refused || ec == asio::error::connection_reset ||
         ec == asio::error::message_size;
}

}  // namespace

struct CDirectSession::Connection {
  explicit Connection(asio::io_context& io) : socket(io), deadline(io) {}

  struct Pending {
    std::shared_ptr<std::string> frame;
    WriteDone done;
  };

  tcp::socket socket;
  asio::ip::address remote;
  FrameReader reader;
  std::vector<char> buffer = std::vector<char>(kReadChunk);
  std::deque<Pending> queue;  // the front is being written
  std::size_t queuedBytes = 0;

  std::uint64_t serial = 0;      // order of acceptance
  std::uint64_t frameBegan = 0;  // order of the frame in progress; 0 when none
  std::uint64_t framesDone = 0;
  std::size_t buffered = 0;     // this reader's share of bufferedBytes_
  asio::steady_timer deadline;  // for the frame in progress
  bool watching = false;
  std::uint64_t watchedFrame = 0;
};

struct CDirectSession::Datagram {
  std::vector<char> buffer = std::vector<char>(kDatagramRoom);
  udp::endpoint source;
};

CDirectSession::CDirectSession(std::uint16_t port)
    : CDirectSession([port] {
        DirectSessionOptions options;
        options.port = port;
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

template <typename F>
void CDirectSession::Notify(F&& f) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (!notify_) return;
  try {
    f(notify_);
  } catch (...) {
    // A receiver's failure is its own; the session carries on.
  }
}

void CDirectSession::NotifySent(bool ok, std::int32_t cookie) {
  Notify([ok, cookie](INetSessionNotify* n) { n->OnSent(ok, cookie); });
}

bool CDirectSession::NetworkAlive() const {
  return options_.networkAlive ? options_.networkAlive() : HostHasNetwork();
}

bool CDirectSession::OpenSockets() {
  error_code ec;
  error_code ignored;
  if (!acceptor_.is_open()) {
    tcp::endpoint endpoint(tcp::v4(), options_.port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      // Left open but unbound, the listener would look ready to the next
      // Start and never accept anything.
      acceptor_.close(ignored);
      return false;
    }
    tcpPort_ = acceptor_.local_endpoint(ignored).port();
    Accept(++acceptEpoch_);
  }
  if (!udp_.is_open()) {
    udp::endpoint endpoint(udp::v4(), options_.port);
    udp_.open(endpoint.protocol(), ec);
    if (!ec) udp_.bind(endpoint, ec);
    if (ec) {
      udp_.close(ignored);
      return false;
    }
    IgnorePortUnreachable(udp_);
    udpPort_ = udp_.local_endpoint(ignored).port();
    Receive(++receiveEpoch_, std::make_shared<Datagram>());
  }
  return true;
}

void CDirectSession::CloseSockets() {
  DropPeerOnIo();
  // Rejected phones too: a stopped session must not pick one of them up as
  // its phone through a connection that outlived the listener.
  for (const ConnectionPtr& conn : std::set<ConnectionPtr>(connections_)) CloseConnection(conn);
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
  peerPort_ = 0;
  peerCuid_.clear();
  UpdateAttached();
}

void CDirectSession::UpdateAttached() { attached_.store(Attached()); }

bool CDirectSession::SendFrame(std::shared_ptr<std::string> frame, WriteDone done) {
  if (current_) {
    Write(current_, std::move(frame), std::move(done));
    return true;
  }
  if (peerPort_ != 0) {
    SendDatagram(udp::endpoint(peerAddress_, peerPort_), std::move(frame), std::move(done));
    return true;
  }
  return false;
}

void CDirectSession::RetryLater(asio::steady_timer& timer, std::function<void()> f) {
  timer.expires_after(kRetryDelay);
  timer.async_wait([f = std::move(f)](const error_code& ec) {
    if (!ec) f();
  });
}

// ---- TCP ----

void CDirectSession::Accept(std::uint64_t epoch) {
  auto conn = std::make_shared<Connection>(io_);
  acceptor_.async_accept(conn->socket, [this, conn, epoch](const error_code& ec) {
    if (epoch != acceptEpoch_ || !acceptor_.is_open()) return;  // that listener is closed
    if (ec) {
      // Out of descriptors, say, while many connections are open: the
      // listener itself is fine, so try again instead of going deaf for good.
      RetryLater(acceptRetry_, [this, epoch] {
        if (epoch == acceptEpoch_ && acceptor_.is_open()) Accept(epoch);
      });
      return;
    }
    error_code failed;
    conn->socket.set_option(tcp::no_delay(true), failed);
    conn->remote = conn->socket.remote_endpoint(failed).address();
    if (!failed) {
      LimitIdleConnections();
      conn->serial = ++connectionSerial_;
      connections_.insert(conn);
      Read(conn);
    }
    Accept(epoch);
  });
}

void CDirectSession::Read(const ConnectionPtr& conn) {
  conn->socket.async_read_some(
      asio::buffer(conn->buffer), [this, conn](const error_code& ec, std::size_t size) {
        if (ec) {
          OnTcpFailed(conn);
          return;
        }
        std::size_t offset = 0;
        while (offset < size) {
          std::size_t used = 0;
          FrameReader::Status status =
              conn->reader.Feed(conn->buffer.data() + offset, size - offset, used);
          offset += used;
          if (status == FrameReader::Status::Invalid) {
            OnTcpFailed(conn);
            return;
          }
          if (status == FrameReader::Status::Frame) {
            conn->frameBegan = 0;
            ++conn->framesDone;
            OnTcpFrame(conn, conn->reader.Text());
            // The receiver may have dropped this very connection.
            if (!conn->socket.is_open()) return;
            conn->reader.ReleaseText();
          } else if (conn->frameBegan == 0 && conn->reader.InProgress()) {
            conn->frameBegan = ++frameSerial_;
          }
        }
        AccountBuffered(conn);
        if (!conn->socket.is_open()) return;
        WatchFrame(conn);
        Read(conn);
      });
}

void CDirectSession::OnTcpFrame(const ConnectionPtr& conn, const std::string& text) {
  JsonPtr message;
  if (!DecodeMessage(text, message)) return;
  if (conn != current_) {
    if (Attached() && conn->remote == peerAddress_) {
      // The same phone on a new connection, or a UDP phone moving to TCP.
      if (current_) {
        CloseConnection(current_);
      } else {
        peerPort_ = 0;
      }
      current_ = conn;
    } else if (!Attached()) {
      current_ = conn;
      peerAddress_ = conn->remote;
    }
    UpdateAttached();
  }
  if (conn == current_) {
    Notify([&message](INetSessionNotify* n) { n->OnMessage(Direct, message); });
    return;
  }
  Write(conn, std::make_shared<std::string>(EncodeMessageFrame(MakeError(kBusyText))),
        [this](bool ok) { NotifySent(ok, 0); });
}

void CDirectSession::OnTcpFailed(const ConnectionPtr& conn) {
  bool wasCurrent = conn == current_;
  CloseConnection(conn);
  if (!wasCurrent) return;
  current_.reset();
  UpdateAttached();
  Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
}

void CDirectSession::Write(const ConnectionPtr& conn, std::shared_ptr<std::string> frame,
                           WriteDone done) {
  if (!conn->socket.is_open() || conn->queuedBytes + frame->size() > kMaxQueuedBytes) {
    asio::post(io_, [done] { done(false); });
    return;
  }
  conn->queuedBytes += frame->size();
  conn->queue.push_back({std::move(frame), std::move(done)});
  if (conn->queue.size() == 1) WriteNext(conn);
}

void CDirectSession::WriteNext(const ConnectionPtr& conn) {
  asio::async_write(conn->socket, asio::buffer(*conn->queue.front().frame),
                    [this, conn](const error_code& ec, std::size_t) {
                      Connection::Pending written = std::move(conn->queue.front());
                      conn->queue.pop_front();
                      conn->queuedBytes -= written.frame->size();
                      if (ec) {
                        std::deque<Connection::Pending> rest;
                        rest.swap(conn->queue);
                        conn->queuedBytes = 0;
                        written.done(false);
                        for (Connection::Pending& pending : rest) pending.done(false);
                        return;
                      }
                      // Start the next frame before reporting, so that a send made from
                      // inside the report queues behind it.
                      if (!conn->queue.empty()) WriteNext(conn);
                      written.done(true);
                    });
}

void CDirectSession::CloseConnection(const ConnectionPtr& conn) {
  error_code ignored;
  conn->socket.close(ignored);
  conn->deadline.cancel();
  conn->watching = false;
  bufferedBytes_ -= conn->buffered;
  conn->buffered = 0;
  conn->reader.Discard();
  connections_.erase(conn);
}

void CDirectSession::AccountBuffered(const ConnectionPtr& conn) {
  std::size_t now = conn->reader.BufferedBytes();
  bufferedBytes_ = bufferedBytes_ - conn->buffered + now;
  conn->buffered = now;
  while (bufferedBytes_ > options_.bufferLimit) {
    // The newest frame in progress goes first, the phone's only when no
    // other is left: frames that began earlier are nearer their end.
    ConnectionPtr refused;
    for (const ConnectionPtr& c : connections_) {
      if (!c->reader.InProgress() || c->buffered == 0) continue;
      bool better =
          !refused || (refused == current_ && c != current_) ||
          ((c == current_) == (refused == current_) && c->frameBegan > refused->frameBegan);
      if (better) refused = c;
    }
    if (!refused) return;
    OnTcpFailed(refused);
  }
}

// A frame that has begun must end within the deadline, or its connection
// is closed: a peer sending a byte now and then would otherwise hold its
// buffer and socket for ever.
void CDirectSession::WatchFrame(const ConnectionPtr& conn) {
  if (!conn->reader.InProgress()) {
    if (conn->watching) {
      conn->watching = false;
      conn->deadline.cancel();
    }
    return;
  }
  if (conn->watching && conn->watchedFrame == conn->framesDone) return;
  conn->watching = true;
  conn->watchedFrame = conn->framesDone;
  conn->deadline.expires_after(options_.frameDeadline);
  conn->deadline.async_wait([this, conn, frame = conn->framesDone](const error_code& ec) {
    if (ec || !conn->socket.is_open()) return;
    if (conn->framesDone == frame && conn->reader.InProgress()) OnTcpFailed(conn);
  });
}

// Connections that carry no phone (rejected phones, scanners, peers that
// never send) are limited in number; the oldest makes room for a new one.
void CDirectSession::LimitIdleConnections() {
  for (;;) {
    std::size_t idle = 0;
    ConnectionPtr oldest;
    for (const ConnectionPtr& c : connections_) {
      if (c == current_) continue;
      ++idle;
      if (!oldest || c->serial < oldest->serial) oldest = c;
    }
    if (idle < options_.idleConnectionLimit || !oldest) return;
    CloseConnection(oldest);
  }
}

// ---- UDP ----

void CDirectSession::Receive(std::uint64_t epoch, std::shared_ptr<Datagram> datagram) {
  Datagram& d = *datagram;
  udp_.async_receive_from(
      asio::buffer(d.buffer), d.source,
      [this, datagram = std::move(datagram), epoch](const error_code& ec, std::size_t size) {
        if (epoch != receiveEpoch_ || !udp_.is_open()) return;
        if (!ec && size <= kDatagramLimit) OnDatagram(*datagram, size);
        // Oversized datagrams and errors are dropped; only closing the socket
        // ends the loop. The receiver may have closed or reopened it meanwhile.
        if (epoch != receiveEpoch_ || !udp_.is_open()) return;
        if (!ec || IsTransientReceiveError(ec)) {
          Receive(epoch, datagram);
          return;
        }
        // An unknown error may repeat at once; pause rather than spin.
        RetryLater(receiveRetry_, [this, datagram, epoch] {
          if (epoch == receiveEpoch_ && udp_.is_open()) Receive(epoch, datagram);
        });
      });
}

void CDirectSession::OnDatagram(const Datagram& d, std::size_t size) {
  std::string text;
  if (!DecodeDatagram(d.buffer.data(), size, text)) {
    if (peerPort_ != 0 && d.source.port() == peerPort_ && d.source.address() == peerAddress_) {
      peerPort_ = 0;
      UpdateAttached();
      Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
    }
    return;
  }
  JsonPtr message;
  if (!DecodeMessage(text, message)) return;
  OnUdpMessage(d.source, message);
}

void CDirectSession::OnUdpMessage(const udp::endpoint& from, JsonPtr& message) {
  std::u16string msg = MemberText(message, u"msg");
  if (msg == u"conn") {
    std::u16string cuid = MemberText(message, u"cuid");
    if (!Attached()) {
      peerCuid_ = cuid;
      StartHeartbeat();
    } else if (from.address() == peerAddress_ || (!cuid.empty() && cuid == peerCuid_)) {
      // The same phone, perhaps at a new address or coming from TCP. An
      // empty cuid matches nothing, or any phone without one could take over.
      if (current_) {
        CloseConnection(current_);
        current_.reset();
      }
      if (!heartbeatRunning_) StartHeartbeat();
    } else {
      Reply(from, MakeError(kBusyText));
      return;
    }
    peerAddress_ = from.address();
    peerPort_ = from.port();
    ticks_ = 0;
    deadline_ = kHeartbeatAllowance;
    UpdateAttached();
    Reply(from, MakeControl(u"conn"));
    return;
  }
  if (!Attached()) {
    Reply(from, MakeError(kNotConnectedText));
    return;
  }
  if (from.address() != peerAddress_) {
    Reply(from, MakeError(kBusyText));
    return;
  }
  if (msg == u"disc") {
    if (from.port() != peerPort_) return;
    Reply(from, MakeControl(u"disc"));
    peerPort_ = 0;
    UpdateAttached();
    Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
    return;
  }
  if (msg == u"heartbeat") {
    Reply(from, MakeControl(u"heartbeat"));
    deadline_ = ticks_ + kHeartbeatAllowance;
    return;
  }
  Notify([&message](INetSessionNotify* n) { n->OnMessage(Direct, message); });
}

void CDirectSession::Reply(const udp::endpoint& to, const JsonPtr& message) {
  SendDatagram(to, std::make_shared<std::string>(EncodeMessageFrame(message)),
               [this](bool ok) { NotifySent(ok, 0); });
}

void CDirectSession::SendDatagram(const udp::endpoint& to, std::shared_ptr<std::string> frame,
                                  WriteDone done) {
  if (!udp_.is_open() || frame->empty()) {
    asio::post(io_, [done] { done(false); });
    return;
  }
  udp_.async_send_to(asio::buffer(*frame), to,
                     [frame, done](const error_code& ec, std::size_t) { done(!ec); });
}

// ---- Heartbeat ----

// One immediate tick; it invalidates any wait still pending, so only one
// chain of ticks ever runs.
void CDirectSession::StartHeartbeat() {
  heartbeatRunning_ = true;
  std::uint64_t generation = ++timerGeneration_;
  asio::post(io_, [this, generation] { Tick(generation); });
}

void CDirectSession::Tick(std::uint64_t generation) {
  if (generation != timerGeneration_) return;
  ++ticks_;
  // Repeated every tick while the silent UDP phone stays attached; once it
  // is dropped or replaced, later ticks have nobody to report on.
  if (peerPort_ != 0 && ticks_ > deadline_) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    bool network = NetworkAlive();
    Notify([network](INetSessionNotify* n) {
      if (network) {
        n->OnPeerLost();
      } else {
        n->OnNetworkLost();
      }
    });
  }
  if (generation == timerGeneration_) ArmTimer();
}

void CDirectSession::ArmTimer() {
  std::uint64_t generation = ++timerGeneration_;
  timer_.expires_after(options_.tick);
  timer_.async_wait([this, generation](const error_code& ec) {
    if (ec == asio::error::operation_aborted) return;
    Tick(generation);
  });
}
