// The phone on the local network: one TCP connection carrying frames, or UDP
// datagrams with the attach ("conn"), keep-alive ("heartbeat") and detach
// ("disc") exchange. All socket work runs on the link's own I/O thread.
#include <boost/asio.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "net/direct_frame.h"
#include "tools/phone/phone_link.h"

namespace phone {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

std::vector<asio::ip::address_v4> TargetAddresses(const PairingAddress& address,
                                                  const PhoneOptions& options,
                                                  std::vector<std::uint16_t>& ports) {
  std::vector<asio::ip::address_v4> out;
  std::vector<DirectEndpoint> endpoints;
  DecodeDirectEndpoints(address.Value("sv"), endpoints);
  if (!options.directHost.empty()) {
    boost::system::error_code ec;
    auto host = asio::ip::make_address_v4(options.directHost, ec);
    if (ec) return out;
    out.push_back(host);
    ports.push_back(options.directPort ? options.directPort
                                       : (endpoints.empty() ? 41203 : endpoints[0].port));
    return out;
  }
  for (const auto& e : endpoints) {
    out.push_back(asio::ip::address_v4({e.address[0], e.address[1], e.address[2], e.address[3]}));
    ports.push_back(options.directPort ? options.directPort : e.port);
  }
  return out;
}

// Runs the I/O service on a thread of its own from construction until the
// destructor of the derived link has closed its sockets.
class IoLink : public PhoneLink {
 protected:
  IoLink(const PairingAddress& address, const PhoneOptions& options) : PhoneLink(options) {
    addresses_ = TargetAddresses(address, options_, ports_);
    thread_ = std::thread([this] {
      io_.run();
      ended_.set_value();
    });
  }

  // Lets the handlers of the closed sockets finish, then ends the thread;
  // a service still busy after two seconds is stopped.
  void StopIo() {
    if (!thread_.joinable()) return;
    work_.reset();
    if (ended_.get_future().wait_for(std::chrono::seconds(2)) != std::future_status::ready) {
      io_.stop();
    }
    thread_.join();
  }

  // Runs `fn` on the I/O thread and waits for it (bounded).
  template <typename Fn>
  void RunOnIo(Fn fn) {
    auto done = std::make_shared<std::promise<void>>();
    auto result = done->get_future();
    asio::post(io_, [fn, done]() mutable {
      fn();
      done->set_value();
    });
    result.wait_for(std::chrono::seconds(5));
  }

  // Opens the socket and binds it to the configured local address, if any.
  template <typename Socket>
  bool BindLocal(Socket& socket, boost::system::error_code& ec) {
    using Protocol = typename Socket::protocol_type;
    if (!socket.is_open()) socket.open(Protocol::v4(), ec);
    if (ec || options_.bindAddress.empty()) return !ec;
    auto local = asio::ip::make_address_v4(options_.bindAddress, ec);
    if (!ec) socket.bind(typename Protocol::endpoint(local, 0), ec);
    return !ec;
  }

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  std::vector<asio::ip::address_v4> addresses_;
  std::vector<std::uint16_t> ports_;

 private:
  std::promise<void> ended_;
  std::thread thread_;
};

class TcpLink : public IoLink {
 public:
  TcpLink(const PairingAddress& address, const PhoneOptions& options) : IoLink(address, options) {}
  ~TcpLink() override {
    Close();
    StopIo();
  }

  bool Connect() override {
    if (addresses_.empty()) {
      SetError("no direct endpoint to connect to");
      return false;
    }
    // The phone tries the PC's addresses in the order the PC listed them.
    for (std::size_t i = 0; i < addresses_.size(); ++i) {
      tcp::endpoint target(addresses_[i], ports_[i]);
      auto outcome = std::make_shared<std::promise<boost::system::error_code>>();
      auto future = outcome->get_future();
      asio::post(io_, [this, target, outcome] {
        socket_ = std::make_shared<tcp::socket>(io_);
        boost::system::error_code ec;
        if (!BindLocal(*socket_, ec)) {
          outcome->set_value(ec);
          return;
        }
        socket_->async_connect(
            target, [outcome](const boost::system::error_code& ec) { outcome->set_value(ec); });
      });
      if (future.wait_for(options_.connectTimeout) != std::future_status::ready) {
        RunOnIo([this] { CloseSocket(); });
        future.wait_for(std::chrono::seconds(1));
        SetError("no TCP connection to " + target.address().to_string() + " in time");
        continue;
      }
      auto ec = future.get();
      if (ec) {
        SetError("TCP connection to " + target.address().to_string() + ":" +
                 std::to_string(target.port()) + " failed: " + ec.message());
        continue;
      }
      open_ = true;
      RunOnIo([this] {
        // Frames are small and often follow one another ("start", "next"):
        // without this the second waits for the PC's delayed ACK.
        boost::system::error_code ignored;
        if (socket_) socket_->set_option(tcp::no_delay(true), ignored);
        ReadMore(socket_);
      });
      return true;
    }
    return false;
  }

  bool Send(const std::string& json) override {
    if (!open_) return false;
    asio::post(io_, [this, frame = EncodeFrame(json)]() mutable {
      if (!socket_) return;
      outbox_.push_back(std::move(frame));
      // One write at a time keeps frames whole and in call order.
      if (outbox_.size() == 1) WriteNext(socket_);
    });
    return true;
  }

  void Close() override {
    RunOnIo([this] { CloseSocket(); });
  }

  bool IsOpen() override { return open_; }

 private:
  void ReadMore(std::shared_ptr<tcp::socket> socket) {
    if (socket != socket_) return;
    socket->async_read_some(asio::buffer(buffer_),
                            [this, socket](const boost::system::error_code& ec, std::size_t n) {
                              OnRead(socket, ec, n);
                            });
  }

  void OnRead(const std::shared_ptr<tcp::socket>& socket, const boost::system::error_code& ec,
              std::size_t n) {
    if (ec || socket != socket_) {
      if (socket == socket_) CloseSocket();
      return;
    }
    std::size_t pos = 0;
    while (pos < n) {
      std::size_t used = 0;
      auto result = reader_.Feed(buffer_.data() + pos, n - pos, used);
      pos += used;
      if (result == FrameReader::Status::Invalid) {
        CloseSocket();
        return;
      }
      if (result == FrameReader::Status::Frame) Deliver(reader_.Text());
    }
    ReadMore(socket);
  }

  void WriteNext(std::shared_ptr<tcp::socket> socket) {
    asio::async_write(*socket, asio::buffer(outbox_.front()),
                      [this, socket](const boost::system::error_code& ec, std::size_t) {
                        if (socket != socket_) return;
                        outbox_.pop_front();
                        if (ec) {
                          CloseSocket();
                          return;
                        }
                        if (!outbox_.empty()) WriteNext(socket);
                      });
  }

  void CloseSocket() {
    open_ = false;
    if (socket_) {
      boost::system::error_code ignored;
      socket_->shutdown(tcp::socket::shutdown_both, ignored);
      socket_->close(ignored);
      socket_.reset();
    }
    outbox_.clear();
  }

  std::shared_ptr<tcp::socket> socket_;
  std::array<char, 4096> buffer_{};
  FrameReader reader_;
  std::deque<std::string> outbox_;
  std::atomic<bool> open_{false};
};

std::string MakeCuid() {
  std::random_device rd;
  char text[32];
  std::snprintf(text, sizeof text, "phone-%08x%08x", rd(), rd());
  return text;
}

class UdpLink : public IoLink {
 public:
  UdpLink(const PairingAddress& address, const PhoneOptions& options)
      : IoLink(address, options), socket_(io_), heartbeat_(io_) {
    if (options_.cuid.empty()) options_.cuid = MakeCuid();
  }
  ~UdpLink() override {
    Close();
    RunOnIo([this] {
      boost::system::error_code ignored;
      heartbeat_.cancel();
      socket_.close(ignored);
    });
    StopIo();
  }

  bool Connect() override {
    if (addresses_.empty()) {
      SetError("no direct endpoint to send to");
      return false;
    }
    for (std::size_t i = 0; i < addresses_.size(); ++i) {
      udp::endpoint target(addresses_[i], ports_[i]);
      bool opened = false;
      RunOnIo([this, target, &opened] {
        boost::system::error_code ec;
        if (socket_.is_open()) socket_.close(ec);
        socket_.open(udp::v4(), ec);
        if (!ec) BindLocal(socket_, ec);
        if (!ec) socket_.connect(target, ec);
        if (ec) return;
        opened = true;
        Receive();
      });
      if (!opened) {
        SetError("cannot open a UDP socket to " + target.address().to_string());
        continue;
      }
      // Datagrams may be lost: say "conn" again until it is answered.
      const std::string conn = R"({"msg":"conn","cuid":")" + options_.cuid + "\"}";
      auto deadline = std::chrono::steady_clock::now() + options_.connectTimeout;
      std::unique_lock<std::mutex> lock(mutex_);
      connAnswer_.clear();
      while (connAnswer_.empty() && std::chrono::steady_clock::now() < deadline) {
        lock.unlock();
        SendFrame(conn);
        lock.lock();
        auto step = std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(500), deadline - std::chrono::steady_clock::now());
        changed_.wait_for(lock, step, [this] { return !connAnswer_.empty(); });
      }
      if (connAnswer_ == "conn") {
        attached_ = true;
        lock.unlock();
        asio::post(io_, [this] { ArmHeartbeat(); });
        return true;
      }
      SetError(connAnswer_.empty() ? "no answer to conn from " + target.address().to_string()
                                   : "conn refused: " + connAnswer_);
    }
    return false;
  }

  bool Send(const std::string& json) override {
    if (!IsOpen()) return false;
    SendFrame(json);
    return true;
  }

  void Close() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!attached_) return;
    lock.unlock();
    SendFrame(R"({"msg":"disc"})");
    lock.lock();
    changed_.wait_for(lock, std::chrono::seconds(1), [this] { return !attached_; });
    attached_ = false;
    lock.unlock();
    RunOnIo([this] { heartbeat_.cancel(); });
  }

  bool IsOpen() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return attached_;
  }

  // Heartbeats the PC answered so far (tests check the keep-alive runs).
  int HeartbeatAnswers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heartbeatAnswers_;
  }

 private:
  void SendFrame(const std::string& json) {
    auto frame = std::make_shared<std::string>(EncodeFrame(json));
    asio::post(io_, [this, frame] {
      if (!socket_.is_open()) return;
      socket_.async_send(asio::buffer(*frame),
                         [frame](const boost::system::error_code&, std::size_t) {});
    });
  }

  void Receive() {
    socket_.async_receive(asio::buffer(buffer_),
                          [this](const boost::system::error_code& ec, std::size_t n) {
                            if (ec == asio::error::operation_aborted || !socket_.is_open()) return;
                            // An ICMP "port unreachable" surfaces as an error on
                            // the next receive; keep listening.
                            if (!ec) Take(n);
                            Receive();
                          });
  }

  void Take(std::size_t n) {
    std::string payload;
    if (!DecodeDatagram(buffer_.data(), n, payload)) return;
    std::string msg = MemberText(payload, "msg");
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (msg == "conn" || (!attached_ && msg == "error")) {
        // The answer to the attach belongs to Connect, not to the inbox.
        connAnswer_ = msg == "conn" ? "conn" : MemberText(payload, "error");
        changed_.notify_all();
        return;
      } else if (msg == "heartbeat") {
        ++heartbeatAnswers_;
        return;
      } else if (msg == "disc") {
        attached_ = false;
        changed_.notify_all();
        return;
      }
    }
    Deliver(payload);
  }

  void ArmHeartbeat() {
    heartbeat_.expires_after(options_.heartbeat);
    heartbeat_.async_wait([this](const boost::system::error_code& ec) {
      if (ec) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!attached_) return;
      }
      SendFrame(R"({"msg":"heartbeat"})");
      ArmHeartbeat();
    });
  }

  udp::socket socket_;
  asio::steady_timer heartbeat_;
  std::array<char, 65536> buffer_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string connAnswer_;
  bool attached_ = false;
  int heartbeatAnswers_ = 0;
};

}  // namespace

std::unique_ptr<PhoneLink> MakeDirectLink(const PairingAddress& address,
                                          const PhoneOptions& options) {
  if (options.transport == Transport::DirectUdp) return std::make_unique<UdpLink>(address, options);
  return std::make_unique<TcpLink>(address, options);
}

}  // namespace phone
