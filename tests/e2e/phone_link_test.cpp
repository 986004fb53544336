// The phone simulator's transports against small scripted PCs on loopback:
// the UDP attach, keep-alive and detach, and a TCP stream that turns bad.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio.hpp>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "net/direct_frame.h"
#include "tests/support/wait_until.h"
#include "tools/phone/phone_link.h"

namespace phone {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using namespace std::chrono_literals;

using test_support::WaitUntil;

PairingAddress DirectAddress(std::uint16_t port) {
  PairingAddress a;
  char sv[13];
  std::snprintf(sv, sizeof sv, "0100007f%04x", port);
  EXPECT_TRUE(ParsePairingAddress(std::string("http://127.0.0.1/?os=1&sv=") + sv, a, nullptr));
  return a;
}

// Answers "conn", "heartbeat" and "disc" as the PC does and records every
// message name it received.
class ScriptedUdpPc {
 public:
  ScriptedUdpPc() : socket_(io_, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedUdpPc() {
    stop_ = true;
    // Shutting a datagram socket down wakes a receive blocked on it.
    boost::system::error_code ignored;
    socket_.shutdown(udp::socket::shutdown_both, ignored);
    thread_.join();
  }
  std::uint16_t Port() const { return socket_.local_endpoint().port(); }
  std::size_t Count(const std::string& msg) {
    std::lock_guard<std::mutex> lock(lock_);
    std::size_t n = 0;
    for (const auto& m : received_) n += m == msg;
    return n;
  }
  std::atomic<bool> refuse{false};

 private:
  void Serve() {
    char buffer[2048];
    for (;;) {
      udp::endpoint from;
      boost::system::error_code ec;
      std::size_t n = socket_.receive_from(asio::buffer(buffer), from, 0, ec);
      if (ec || stop_) return;
      std::string payload;
      if (!DecodeDatagram(buffer, n, payload)) continue;
      std::string msg = MemberText(payload, "msg");
      {
        std::lock_guard<std::mutex> lock(lock_);
        received_.push_back(msg);
      }
      std::string answer = R"({"msg":")" + msg + "\"}";
      if (refuse) answer = R"({"msg":"error","error":"busy"})";
      std::string frame = EncodeFrame(answer);
      socket_.send_to(asio::buffer(frame), from, 0, ec);
    }
  }

  asio::io_context io_;
  udp::socket socket_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> received_;
};

TEST(PhoneUdpLink, AttachesKeepsAliveAndDetaches) {
  ScriptedUdpPc pc;
  PhoneOptions options;
  options.transport = Transport::DirectUdp;
  options.heartbeat = 30ms;
  options.cuid = "phone-under-test";
  auto link = MakePhoneLink(DirectAddress(pc.Port()), options, nullptr);
  ASSERT_TRUE(link);
  ASSERT_TRUE(link->Connect()) << link->LastError();
  EXPECT_TRUE(link->IsOpen());
  EXPECT_EQ(pc.Count("conn"), 1u);
  EXPECT_TRUE(WaitUntil([&] { return pc.Count("heartbeat") >= 3; }, 2s));

  // Answers to the session's own messages stay out of the inbox.
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  PhoneMessage m;
  ASSERT_TRUE(link->Next(m, 2s));
  EXPECT_EQ(m.msg, "next");
  EXPECT_FALSE(link->Next(m, 100ms)) << m.text;

  link->Close();
  EXPECT_EQ(pc.Count("disc"), 1u);
  EXPECT_FALSE(link->IsOpen());
  EXPECT_FALSE(link->Send(R"({"msg":"next"})"));
  const auto beats = pc.Count("heartbeat");
  // A window in which nothing may happen: five keep-alive periods.
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(pc.Count("heartbeat"), beats) << "no keep-alive after leaving";
}

TEST(PhoneUdpLink, RefusedAttachReportsTheReason) {
  ScriptedUdpPc pc;
  pc.refuse = true;
  PhoneOptions options;
  options.transport = Transport::DirectUdp;
  options.connectTimeout = 2s;
  auto link = MakePhoneLink(DirectAddress(pc.Port()), options, nullptr);
  ASSERT_TRUE(link);
  EXPECT_FALSE(link->Connect());
  EXPECT_EQ(link->LastError(), "conn refused: busy");
  EXPECT_EQ(link->Pending(), 0u);
}

TEST(PhoneTcpLink, DeliversSplitFramesAndDropsABadStream) {
  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  PhoneOptions options;
  options.transport = Transport::DirectTcp;
  auto link = MakePhoneLink(DirectAddress(acceptor.local_endpoint().port()), options, nullptr);
  ASSERT_TRUE(link);
  tcp::socket pc(io);
  std::thread accept([&] { acceptor.accept(pc); });
  ASSERT_TRUE(link->Connect()) << link->LastError();
  accept.join();

  // One frame in two writes, then a garbage header.
  std::string frame = EncodeFrame(R"({"msg":"state","state":1})");
  asio::write(pc, asio::buffer(frame.substr(0, 7)));
  // Not a wait for anything: the pause only makes the two writes likely to
  // arrive in separate reads; the checks hold either way.
  std::this_thread::sleep_for(20ms);
  asio::write(pc, asio::buffer(frame.substr(7)));
  PhoneMessage m;
  ASSERT_TRUE(link->Next(m, 2s));
  EXPECT_EQ(m.text, R"({"msg":"state","state":1})");
  asio::write(pc, asio::buffer(std::string(16, 'x')));
  EXPECT_TRUE(link->WaitOpen(false, 2s));
  EXPECT_FALSE(link->Send(R"({"msg":"next"})"));
}

TEST(PhoneLinks, ConnectFailsInTimeWhereNobodyListens) {
  // A port that was just free: nothing answers there.
  asio::io_context io;
  std::uint16_t port;
  {
    tcp::acceptor probe(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    port = probe.local_endpoint().port();
  }
  PairingAddress address = DirectAddress(port);
  address.params.emplace_back("id", "0123");
  address.params.emplace_back("st", "1_2");
  for (Transport t : {Transport::Relay, Transport::DirectTcp}) {
    PhoneOptions options;
    options.transport = t;
    options.brokerUri = "tcp://127.0.0.1:" + std::to_string(port);
    options.connectTimeout = 2s;
    auto link = MakePhoneLink(address, options, nullptr);
    ASSERT_TRUE(link);
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(link->Connect());
    EXPECT_LT(std::chrono::steady_clock::now() - begun, 5s);
    EXPECT_FALSE(link->LastError().empty());
  }
  std::string error;
  PhoneOptions relay;
  EXPECT_FALSE(MakePhoneLink(address, relay, &error)) << "no broker given";
  EXPECT_NE(error.find("broker"), std::string::npos);
}

}  // namespace
}  // namespace phone
