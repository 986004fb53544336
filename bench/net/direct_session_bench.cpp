// Round trip of a 150-byte message through the direct session (phone socket
// -> OnMessage -> Send -> phone socket) over TCP and UDP, beside a bare
// Boost.Asio echo of the same frames in the same process, so the figures
// show what the session itself adds. Samples alternate between the two, so
// both meet the same moments of a shared machine's load, and every answer
// must carry the message that was sent.
//
// Left to itself, the scheduler keeps each server thread either beside the
// phone's thread or on another CPU for a whole run, and which server gets
// which is decided by little more than the order the threads were made in
// (the later one tends to land beside the phone): one side then pays a
// cross-CPU wake-up per message and the other does not. The *Split cases
// take that out: both servers run on one CPU and the phone on another, so
// both pay the same wake-ups.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "net/direct_frame.h"
#include "net/direct_session.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

const std::string& Payload() {
  static const std::string text = [] {
    std::string head = "{\"msg\":\"next\",\"pad\":\"";
    return head + std::string(150 - head.size() - 2, 'x') + "\"}";
  }();
  return text;
}

// The phone: a plain socket with a receive time limit, so a lost answer
// ends the run instead of hanging it.
class Phone {
 public:
  Phone(int type, std::uint16_t port) : fd_(socket(AF_INET, type, 0)) {
    timeval limit{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    int one = 1;
    if (type == SOCK_STREAM) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    stream_ = type == SOCK_STREAM;
  }
  ~Phone() { close(fd_); }

  // Sends the frame and waits for one frame back.
  bool RoundTrip(const std::string& frame) {
    if (!ok_ || send(fd_, frame.data(), frame.size(), 0) != static_cast<ssize_t>(frame.size())) {
      return false;
    }
    if (!stream_) {
      const ssize_t n = recv(fd_, buffer_.data(), buffer_.size(), 0);
      if (n < 16) return false;
      received_ = static_cast<std::size_t>(n);
      return true;
    }
    if (!ReadExactly(16, 0)) return false;
    DirectFrameHeader header;
    if (!DecodeFrameHeader(reinterpret_cast<unsigned char*>(buffer_.data()), header)) return false;
    if (header.length > buffer_.size() - 16 || !ReadExactly(header.length, 16)) return false;
    received_ = 16 + header.length;
    return true;
  }

  // The payload of the last frame received (after its 16-byte header).
  std::string Answer() const { return std::string(buffer_.data() + 16, received_ - 16); }

 private:
  bool ReadExactly(std::size_t size, std::size_t at) {
    for (std::size_t got = 0; got < size;) {
      ssize_t n = recv(fd_, buffer_.data() + at + got, size - got, 0);
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  }

  int fd_;
  bool ok_ = false;
  bool stream_ = false;
  std::size_t received_ = 0;
  std::array<char, 4096> buffer_{};
};

class EchoReceiver : public INetSessionNotify {
 public:
  explicit EchoReceiver(INetSession* session) : session_(session) {}
  void OnStarted(bool, std::int32_t) override {}
  void OnStopped(bool, std::int32_t) override {}
  void OnSent(bool, std::int32_t) override {}
  void OnNetworkLost() override {}
  void OnPeerLost() override {}
  void OnMessage(SessionType, JsonPtr& message) override { session_->Send(message, 0); }

 private:
  INetSession* session_;
};

// Bare Asio echo on its own thread: read a header and payload, write the
// frame back in one write; datagrams go straight back.
class BareEcho {
 public:
  BareEcho() : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}), udp_(io_) {
    udp_.open(udp::v4());
    udp_.bind({asio::ip::make_address("127.0.0.1"), 0});
    Accept();
    Receive();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~BareEcho() {
    io_.stop();
    thread_.join();
  }
  std::uint16_t TcpPort() const { return acceptor_.local_endpoint().port(); }
  std::uint16_t UdpPort() const { return udp_.local_endpoint().port(); }

 private:
  struct Conn {
    explicit Conn(asio::io_context& io) : socket(io) {}
    tcp::socket socket;
    std::string frame;
  };

  void Accept() {
    auto conn = std::make_shared<Conn>(io_);
    acceptor_.async_accept(conn->socket, [this, conn](const boost::system::error_code& ec) {
      if (ec) return;
      conn->socket.set_option(tcp::no_delay(true));
      ReadFrame(conn);
      Accept();
    });
  }

  void ReadFrame(const std::shared_ptr<Conn>& conn) {
    conn->frame.resize(16);
    asio::async_read(
        conn->socket, asio::buffer(&conn->frame[0], 16),
        [conn, this](const boost::system::error_code& ec, std::size_t) {
          DirectFrameHeader header;
          if (ec || !DecodeFrameHeader(reinterpret_cast<unsigned char*>(&conn->frame[0]), header)) {
            return;
          }
          conn->frame.resize(16 + header.length);
          asio::async_read(conn->socket, asio::buffer(&conn->frame[16], header.length),
                           [conn, this](const boost::system::error_code& ec, std::size_t) {
                             if (!ec) WriteFrame(conn);
                           });
        });
  }

  void WriteFrame(const std::shared_ptr<Conn>& conn) {
    asio::async_write(conn->socket, asio::buffer(conn->frame),
                      [conn, this](const boost::system::error_code& ec, std::size_t) {
                        if (!ec) ReadFrame(conn);
                      });
  }

  void Receive() {
    udp_.async_receive_from(asio::buffer(datagram_), from_,
                            [this](const boost::system::error_code& ec, std::size_t n) {
                              if (ec) return;
                              udp_.send_to(asio::buffer(datagram_.data(), n), from_);
                              Receive();
                            });
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  udp::socket udp_;
  std::array<char, 512> datagram_{};
  udp::endpoint from_;
  std::thread thread_;
};

double Percentile(std::vector<double>& micros, std::size_t percent) {
  std::sort(micros.begin(), micros.end());
  return micros[std::min(micros.size() - 1, micros.size() * percent / 100)];
}

// One timed round trip whose answer must be the message sent.
bool Sample(Phone& phone, const std::string& frame, std::vector<double>& micros) {
  auto start = std::chrono::steady_clock::now();
  if (!phone.RoundTrip(frame)) return false;
  micros.push_back(
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  return phone.Answer() == Payload();
}

// Alternates samples between the session and the bare echo (which goes
// first alternates too) and reports both, and the session's factor.
void MeasureInterleaved(benchmark::State& state, Phone& session, Phone& bare) {
  const std::string frame = EncodeFrame(Payload());
  std::vector<double> warm;
  for (int i = 0; i < 200; ++i) {
    if (!Sample(session, frame, warm) || !Sample(bare, frame, warm)) {
      state.SkipWithError("no answer, or a wrong one, during warm-up");
      return;
    }
  }
  std::vector<double> sessionMicros, bareMicros;
  sessionMicros.reserve(static_cast<std::size_t>(state.max_iterations));
  bareMicros.reserve(static_cast<std::size_t>(state.max_iterations));
  bool sessionFirst = true;
  for (auto _ : state) {
    const bool ok = sessionFirst
                        ? Sample(session, frame, sessionMicros) && Sample(bare, frame, bareMicros)
                        : Sample(bare, frame, bareMicros) && Sample(session, frame, sessionMicros);
    if (!ok) {
      state.SkipWithError("no answer, or an answer that is not the message sent");
      return;
    }
    sessionFirst = !sessionFirst;
  }
  if (sessionMicros.empty() || bareMicros.empty()) return;
  const double p50 = Percentile(sessionMicros, 50), p99 = Percentile(sessionMicros, 99);
  const double bareP50 = Percentile(bareMicros, 50), bareP99 = Percentile(bareMicros, 99);
  state.counters["median_us"] = p50;
  state.counters["p99_us"] = p99;
  state.counters["bare_median_us"] = bareP50;
  state.counters["bare_p99_us"] = bareP99;
  state.counters["p50_x"] = p50 / bareP50;
  state.counters["p99_x"] = p99 / bareP99;
}

struct SessionUnderTest {
  SessionUnderTest() {
    DirectSessionOptions options;
    options.port = 0;
    options.tick = std::chrono::hours(1);  // no heartbeat traffic during the run
    options.networkAlive = [] { return true; };
    session = new CDirectSession(options);
    session->AddRef();
    echo = std::make_unique<EchoReceiver>(session);
    session->SetNotify(echo.get());
    session->Start(0);
  }
  ~SessionUnderTest() {
    session->Close();
    session->SetNotify(nullptr);
    session->Release();
  }
  CDirectSession* session;
  std::unique_ptr<EchoReceiver> echo;
};

// With `split`, the servers' threads are made while this thread may only
// run on one allowed CPU (threads inherit that), and this thread, the
// phone, then moves to another. Restores this thread's CPUs when it goes.
class Placement {
 public:
  explicit Placement(bool split) {
    pthread_getaffinity_np(pthread_self(), sizeof allowed_, &allowed_);
    if (!split) return;
    int cpus[2];
    int found = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && found < 2; ++cpu) {
      if (CPU_ISSET(cpu, &allowed_)) cpus[found++] = cpu;
    }
    if (found < 2) return;
    servers_ = cpus[0];
    phone_ = cpus[1];
    Only(servers_);
  }
  ~Placement() { pthread_setaffinity_np(pthread_self(), sizeof allowed_, &allowed_); }
  bool Possible() const { return phone_ >= 0; }
  // Called once the servers' threads exist.
  void PhoneAside() const {
    if (phone_ >= 0) Only(phone_);
  }

 private:
  static void Only(int cpu) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    pthread_setaffinity_np(pthread_self(), sizeof one, &one);
  }
  cpu_set_t allowed_;
  int servers_ = -1;
  int phone_ = -1;
};

void TcpRoundTrip(benchmark::State& state, bool split) {
  Placement placement(split);
  if (split && !placement.Possible()) {
    state.SkipWithError("needs two CPUs");
    return;
  }
  SessionUnderTest s;
  BareEcho echo;
  placement.PhoneAside();
  Phone session(SOCK_STREAM, s.session->TcpPort());
  Phone bare(SOCK_STREAM, echo.TcpPort());
  MeasureInterleaved(state, session, bare);
}

void UdpRoundTrip(benchmark::State& state, bool split) {
  Placement placement(split);
  if (split && !placement.Possible()) {
    state.SkipWithError("needs two CPUs");
    return;
  }
  SessionUnderTest s;
  BareEcho echo;
  placement.PhoneAside();
  Phone session(SOCK_DGRAM, s.session->UdpPort());
  if (!session.RoundTrip(EncodeFrame("{\"msg\":\"conn\",\"cuid\":\"bench\"}"))) {
    state.SkipWithError("conn not answered");
    return;
  }
  Phone bare(SOCK_DGRAM, echo.UdpPort());
  MeasureInterleaved(state, session, bare);
}

void BM_TcpRoundTrip(benchmark::State& state) { TcpRoundTrip(state, false); }
void BM_UdpRoundTrip(benchmark::State& state) { UdpRoundTrip(state, false); }
void BM_TcpRoundTripSplit(benchmark::State& state) { TcpRoundTrip(state, true); }
void BM_UdpRoundTripSplit(benchmark::State& state) { UdpRoundTrip(state, true); }

// Each iteration is one session sample and one bare sample.
constexpr int kRoundTrips = 20000;
BENCHMARK(BM_TcpRoundTrip)->Iterations(kRoundTrips)->UseRealTime();
BENCHMARK(BM_UdpRoundTrip)->Iterations(kRoundTrips)->UseRealTime();
BENCHMARK(BM_TcpRoundTripSplit)->Iterations(kRoundTrips)->UseRealTime();
BENCHMARK(BM_UdpRoundTripSplit)->Iterations(kRoundTrips)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
