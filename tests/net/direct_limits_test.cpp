// What anyone on the LAN can make the direct session hold: frames in
// progress are bounded in bytes (across all connections) and in time, and
// connections that carry no phone are bounded in number. The attached phone
// is served throughout.
#include <fstream>
#include <memory>
#include <thread>

#include "tests/net/direct_test_phone.h"

namespace direct_test {
namespace {

// A frame header announcing `length` bytes of counted text.
std::string HeaderFor(std::uint32_t length) {
  std::string header = EncodeFrame(std::string());
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return header;
}

// The process's peak resident size in KiB (0 where /proc has none).
long PeakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

bool UnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#endif
#endif
  return false;
}

class DirectLimits : public DirectSessionTest {
 protected:
  void SetUp() override {}

  void Create(const DirectSessionOptions& limits) {
    DirectSessionOptions options = limits;
    options.port = 0;
    options.networkAlive = [] { return true; };
    session = new CDirectSession(options);
    session->AddRef();
    session->SetNotify(&recorder);
    ASSERT_TRUE(session->Start(0));
    // The phone everyone else competes with, attached from 127.0.0.1.
    phone = std::make_unique<TcpPhone>(Tcp());
    phone->SendJson("{\"msg\":\"hello\"}");
    ASSERT_FALSE(recorder.MessageText(0).empty());
  }

  void ExpectPhoneServed() {
    EXPECT_EQ(SendState(*phone), "state");
    std::size_t before = recorder.Count(Event::Message);
    phone->SendJson("{\"msg\":\"next\"}");
    EXPECT_EQ(Member(recorder.MessageText(before), u"msg"), "next");
    EXPECT_TRUE(session->IsConnected());
  }

  std::unique_ptr<TcpPhone> phone;
};

TEST_F(DirectLimits, FrameNotFinishedInTimeClosesItsConnection) {
  DirectSessionOptions options;
  options.frameDeadline = 300ms;
  Create(options);
  // A peer that trickles: the header's first half, then a byte at a time.
  TcpPhone slow(Tcp(), "127.0.0.2");
  std::string header = HeaderFor(100);
  slow.SendRaw(header.substr(0, 8));
  std::this_thread::sleep_for(100ms);  // pacing of the trickle, not a wait
  slow.SendRaw(header.substr(8));
  slow.SendRaw("{");
  EXPECT_TRUE(slow.WaitClosed(3s));
  // A peer whose frames finish in time stays, however long it lives.
  TcpPhone steady(Tcp(), "127.0.0.3");
  for (int i = 0; i < 4; ++i) {
    steady.SendJson("{\"msg\":\"next\"}");
    std::this_thread::sleep_for(150ms);  // pacing: the peer outlives the deadline
  }
  std::string busy;
  EXPECT_TRUE(steady.Receive(busy, 1s));
  EXPECT_EQ(Member(busy, u"msg"), "error");
  EXPECT_FALSE(steady.WaitClosed(200ms));
  ExpectPhoneServed();
}

TEST_F(DirectLimits, BufferedBytesOverTheLimitRefuseTheNewestFrame) {
  DirectSessionOptions options;
  options.bufferLimit = 300 * 1024;
  Create(options);
  // Each holds about 128 KiB: two fit, the third goes over.
  std::vector<std::unique_ptr<TcpPhone>> peers;
  for (const char* address : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
    peers.push_back(std::make_unique<TcpPhone>(Tcp(), address));
    try {
      peers.back()->SendRaw(HeaderFor(1000000) + std::string(100000, 'x'));
    } catch (const std::exception&) {
      // Refused while still sending; which one was is checked below.
    }
    // Room for the session to read this peer before the next one comes; the
    // session shows no count of what it holds that a test could poll.
    std::this_thread::sleep_for(150ms);
  }
  EXPECT_TRUE(peers[2]->WaitClosed(2s));
  EXPECT_FALSE(peers[0]->WaitClosed(200ms));
  EXPECT_FALSE(peers[1]->WaitClosed(200ms));
  ExpectPhoneServed();
  // The phone's own frames still fit beside them.
  std::size_t before = recorder.Count(Event::Message);
  phone->SendJson("{\"msg\":\"pad\",\"x\":\"" + std::string(60000, 'y') + "\"}");
  EXPECT_EQ(Member(recorder.MessageText(before), u"msg"), "pad");
  ExpectPhoneServed();
}

TEST_F(DirectLimits, ConnectionsWithoutAPhoneMakeRoomOldestFirst) {
  DirectSessionOptions options;
  options.idleConnectionLimit = 3;
  Create(options);
  std::vector<std::unique_ptr<TcpPhone>> idle;
  for (int i = 0; i < 4; ++i) {
    idle.push_back(std::make_unique<TcpPhone>(Tcp(), "127.0.0.2"));
    // Room to be accepted in this order; the session shows no count of its
    // connections that a test could poll.
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(idle[0]->WaitClosed(2s));
  for (int i = 1; i < 4; ++i) EXPECT_FALSE(idle[i]->WaitClosed(100ms)) << i;
  ExpectPhoneServed();  // the phone's connection never counts
}

// A refused peer that floods commands and never reads its busy answers is
// dropped once they fill its small room; the phone is served throughout.
TEST_F(DirectLimits, RefusedPeerThatDoesNotReadItsAnswersIsDropped) {
  Create(DirectSessionOptions());
  TcpPhone flood(Tcp(), "127.0.0.2");
  std::string frames;
  for (int i = 0; i < 1000; ++i) frames += EncodeFrame(R"({"msg":"next"})");
  // About 70 bytes of answer for every 30-byte command: the answers stop
  // fitting in the socket buffers well before 2,000 rounds.
  bool refused = false;
  for (int i = 0; i < 2000 && !refused; ++i) {
    try {
      flood.SendRaw(frames);
    } catch (const std::exception&) {
      refused = true;  // the session closed it while it was still sending
    }
  }
  EXPECT_TRUE(refused || flood.WaitClosed(3s));
  EXPECT_EQ(recorder.Count(Event::Message), 1u);  // the phone's hello alone
  ExpectPhoneServed();
}

// Thirty peers each sending most of a 10 MB frame: the session holds at
// most its buffer limit, and the phone goes on being served.
TEST_F(DirectLimits, ThirtyLargeFramesKeepMemoryBounded) {
  Create(DirectSessionOptions());
  const std::string body(9 * 1000 * 1000, 'x');  // one copy, shared by all senders
  const std::string header = HeaderFor(10 * 1000 * 1000);
  std::vector<std::thread> senders;
  std::atomic<int> refused{0};
  for (int i = 0; i < 30; ++i) {
    std::string address = "127.0.1." + std::to_string(i + 1);
    senders.emplace_back([&, address] {
      try {
        TcpPhone peer(Tcp(), address.c_str());
        peer.SendRaw(header);
        peer.SendRaw(body);
        // Held open, unfinished, until every sender is done.
        peer.WaitClosed(3s);
      } catch (const std::exception&) {
        ++refused;  // closed by the session while sending
      }
    });
  }
  for (std::thread& t : senders) t.join();
  EXPECT_GT(refused.load(), 0);
  ExpectPhoneServed();
  long peakKiB = PeakResidentKiB();
  RecordProperty("peak_resident_kib", std::to_string(peakKiB));
  if (UnderSanitizer() || peakKiB == 0) GTEST_SKIP() << "resident size not meaningful here";
  EXPECT_LT(peakKiB, 100 * 1024);
}

}  // namespace
}  // namespace direct_test
