// Test stand-ins for the other end of the direct session: phones that talk
// to it over real loopback sockets, and a receiver that records every
// notification. Every wait is bounded.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include "net/direct_frame.h"
#include "net/direct_session.h"
#include "tests/net/support/session_recorder.h"

namespace direct_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The session under test always listens on the wildcard address; phones
// reach it only through 127.0.0.1, whatever loopback address they bind.
inline boost::asio::ip::address Loopback() { return boost::asio::ip::make_address("127.0.0.1"); }

inline std::string Member(const std::string& json, const char16_t* name) {
  JsonPtr message;
  if (!DecodeMessage(json, message)) return "<unparsable>";
  JsonPtr* member = message.Find(name);
  std::string utf8;
  if (member) ToUtf8(member->AsString(), utf8);
  return utf8;
}

// Runs one asynchronous operation, started by `initiate` with a completion
// handler, until `end`; a late one is cancelled. operation_aborted means late.
template <typename Socket, typename Initiate>
boost::system::error_code RunUntil(boost::asio::io_context& io, Socket& socket,
                                   Clock::time_point end, Initiate initiate, std::size_t& got) {
  bool done = false;
  boost::system::error_code result = boost::asio::error::operation_aborted;
  initiate([&](const boost::system::error_code& ec, std::size_t n) {
    done = true;
    result = ec;
    got = n;
  });
  io.restart();
  io.run_until(end);
  if (!done) {
    socket.cancel();
    io.restart();
    io.run();
  }
  return result;
}

class TcpPhone {
 public:
  explicit TcpPhone(std::uint16_t port, const char* local = "127.0.0.1") : socket_(io_) {
    socket_.open(boost::asio::ip::tcp::v4());
    socket_.bind({boost::asio::ip::make_address(local), 0});
    socket_.connect({Loopback(), port});
  }

  void SendRaw(const std::string& bytes) {
    boost::asio::write(socket_, boost::asio::buffer(bytes));
  }
  void SendJson(const std::string& json) { SendRaw(EncodeFrame(json)); }

  // Next frame's text; false on timeout, end of stream or a bad frame.
  bool Receive(std::string& text, std::chrono::milliseconds limit = 2s) {
    Clock::time_point end = Clock::now() + limit;
    for (;;) {
      std::size_t used = 0;
      FrameReader::Status status = reader_.Feed(pending_.data(), pending_.size(), used);
      pending_.erase(0, used);
      if (status == FrameReader::Status::Frame) {
        text = reader_.Text();
        return true;
      }
      if (status == FrameReader::Status::Invalid) return false;
      if (!ReadSome(end)) return false;
    }
  }

  // True once the session has closed the connection.
  bool WaitClosed(std::chrono::milliseconds limit = 2s) {
    Clock::time_point end = Clock::now() + limit;
    while (ReadSome(end)) pending_.clear();
    return closed_;
  }

 private:
  // False on timeout or end of stream (closed_ tells which).
  bool ReadSome(Clock::time_point end) {
    if (closed_ || Clock::now() >= end) return false;
    char buffer[65536];
    std::size_t got = 0;
    boost::system::error_code ec = RunUntil(
        io_, socket_, end,
        [&](auto handler) { socket_.async_read_some(boost::asio::buffer(buffer), handler); }, got);
    if (ec == boost::asio::error::operation_aborted) return false;
    if (ec) {
      closed_ = true;
      return false;
    }
    pending_.append(buffer, got);
    return true;
  }

  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  FrameReader reader_;
  std::string pending_;
  bool closed_ = false;
};

class UdpPhone {
 public:
  explicit UdpPhone(std::uint16_t port, const char* local = "127.0.0.1")
      : socket_(io_), target_(Loopback(), port) {
    socket_.open(boost::asio::ip::udp::v4());
    socket_.bind({boost::asio::ip::make_address(local), 0});
  }

  void SendRaw(const std::string& bytes) { socket_.send_to(boost::asio::buffer(bytes), target_); }
  void SendJson(const std::string& json) { SendRaw(EncodeFrame(json)); }

  // Next datagram's text; false on timeout or a datagram that is no frame.
  bool Receive(std::string& text, std::chrono::milliseconds limit = 2s) {
    char buffer[65536];
    std::size_t got = 0;
    boost::asio::ip::udp::endpoint from;
    auto receive = [&](auto handler) {
      socket_.async_receive_from(boost::asio::buffer(buffer), from, handler);
    };
    if (RunUntil(io_, socket_, Clock::now() + limit, receive, got)) return false;
    DirectFrameHeader header;
    if (got < kFrameHeaderSize ||
        !DecodeFrameHeader(reinterpret_cast<const unsigned char*>(buffer), header) ||
        header.length + kFrameHeaderSize != got) {
      return false;
    }
    text = FramePayloadText(header.kind, buffer + kFrameHeaderSize, header.length);
    return true;
  }

  // Sends a message and returns the session's answer, or "" without one.
  std::string Ask(const std::string& json, std::chrono::milliseconds limit = 2s) {
    SendJson(json);
    std::string answer;
    return Receive(answer, limit) ? answer : std::string();
  }

  std::uint16_t Port() const { return socket_.local_endpoint().port(); }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::udp::socket socket_;
  boost::asio::ip::udp::endpoint target_;
};

// Whether a datagram sent from a socket bound to 127.0.0.2 arrives with that
// source (Wine's sockets report 127.0.0.1 instead).
inline bool UdpLoopbackAliasesWork() {
  static const bool works = [] {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket receiver(io, {Loopback(), 0});
    boost::asio::ip::udp::socket sender(io, {boost::asio::ip::make_address("127.0.0.2"), 0});
    sender.send_to(boost::asio::buffer("x", 1), receiver.local_endpoint());
    char buffer[8];
    boost::asio::ip::udp::endpoint from;
    receiver.receive_from(boost::asio::buffer(buffer), from);
    return from.address() == boost::asio::ip::make_address("127.0.0.2");
  }();
  return works;
}

using session_test::Event;
using session_test::Recorder;

// A session on ephemeral ports, started, with a recorder attached and a
// network switch the test controls.
class DirectSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { Create(std::chrono::seconds(2)); }

  void TearDown() override { Destroy(); }

  // With externalTicks the heartbeat moves only by session->RunTick().
  void Create(std::chrono::milliseconds tick, bool externalTicks = false) {
    DirectSessionOptions options;
    options.port = 0;
    options.tick = tick;
    options.externalTicks = externalTicks;
    options.networkAlive = [this] { return network.load(); };
    session = new CDirectSession(options);
    session->AddRef();
    session->SetNotify(&recorder);
    ASSERT_TRUE(session->Start(0));
    ASSERT_NE(session->TcpPort(), 0);
    ASSERT_NE(session->UdpPort(), 0);
  }

  void Destroy() {
    if (!session) return;
    session->SetNotify(nullptr);
    session->Release();
    session = nullptr;
  }

  // Sends {"msg":"state"} with `cookie`; the `msg` the phone then gets, or
  // "" when nothing arrives.
  template <typename Phone>
  std::string SendState(Phone& phone, std::int32_t cookie = 0,
                        std::chrono::milliseconds limit = 2s) {
    JsonPtr state = MakeMessage(u"state");
    if (!session->Send(state, cookie)) return "<refused>";
    std::string text;
    return phone.Receive(text, limit) ? Member(text, u"msg") : std::string();
  }

  std::uint16_t Tcp() const { return session->TcpPort(); }
  std::uint16_t Udp() const { return session->UdpPort(); }

  std::atomic<bool> network{true};
  Recorder recorder;
  CDirectSession* session = nullptr;
};

}  // namespace direct_test
