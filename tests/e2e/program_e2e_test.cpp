// The real pivaro program as a person runs it: one copy per user, a phone
// simulator pairing over the direct session and then over the relay, and a
// close that ends the process. The program's LAN port is one found free
// here, so that nothing else on the machine holding 41203 matters.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>

#include "tests/e2e/support/child_process.h"
#include "tests/support/mosquitto_broker.h"

#if defined(PIVARO_PROGRAM) && defined(PIVARO_PHONE_PROGRAM)

namespace e2e {
namespace {

using namespace std::chrono_literals;

// A port free for both TCP and UDP on the wildcard address right now.
std::uint16_t FreeDirectPort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    boost::asio::io_context io;
    boost::system::error_code ec;
    boost::asio::ip::tcp::acceptor tcp(io);
    tcp.open(boost::asio::ip::tcp::v4(), ec);
    if (!ec) tcp.bind({boost::asio::ip::tcp::v4(), 0}, ec);
    if (ec) continue;
    std::uint16_t port = tcp.local_endpoint(ec).port();
    boost::asio::ip::udp::socket udp(io);
    udp.open(boost::asio::ip::udp::v4(), ec);
    if (!ec) udp.bind({boost::asio::ip::udp::v4(), port}, ec);
    if (!ec) return port;
  }
  return 0;
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker_.Start()) << broker_.Error();
    char dir[] = "/tmp/pivaro-program-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    runtimeDir_ = dir;
    std::uint16_t port = FreeDirectPort();
    ASSERT_NE(port, 0);
    env_ = {"PIVARO_RELAY_URI=" + broker_.Uri(), "XDG_RUNTIME_DIR=" + runtimeDir_,
            "PIVARO_DIRECT_PORT=" + std::to_string(port)};
  }
  void TearDown() override {
    ::unlink((runtimeDir_ + "/pivaro.lock").c_str());
    ::rmdir(runtimeDir_.c_str());
  }

  // The next line after `from` that starts with `prefix` and contains `part`.
  bool WaitForLineWith(InteractiveChild& child, const std::string& prefix, const std::string& part,
                       std::size_t& from, std::string& line) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      std::size_t index = 0;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (!child.WaitForLine(prefix, line, left, from, &index)) return false;
      from = index + 1;
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }

  MosquittoBroker broker_;
  std::string runtimeDir_;
  std::vector<std::string> env_;
};

TEST_F(ProgramTest, PairsOverBothTransportsDrivesTheShowAndCloses) {
  InteractiveChild pc;
  ASSERT_TRUE(pc.Start({PIVARO_PROGRAM}, env_));
  std::size_t at = 0;
  std::string line;
  ASSERT_TRUE(WaitForLineWith(pc, "state: ", "WaitingForPhone", at, line)) << pc.Output();
  ASSERT_TRUE(pc.WaitForLine("pairing: ", line, 1s)) << pc.Output();
  std::string address = line.substr(9);
  EXPECT_NE(address.find("?os=1&id="), std::string::npos) << address;
  EXPECT_NE(address.find("&sv="), std::string::npos) << address;

  // A second copy for the same user ends at once with 1.
  ChildResult second = RunChild({PIVARO_PROGRAM}, env_, "", 10s);
  ASSERT_TRUE(second.started);
  EXPECT_FALSE(second.timedOut);
  EXPECT_EQ(second.exitCode, 1);

  // The presenter opens the sample and starts its show.
  ASSERT_TRUE(pc.WriteLine("open"));
  ASSERT_TRUE(pc.WriteLine("start"));
  ASSERT_TRUE(WaitForLineWith(pc, "show: ", "slide 1 of 5", at, line)) << pc.Output();

  // A phone on the LAN asks for notes and turns a slide; leaving says "bye".
  ChildResult direct = RunChild(
      {PIVARO_PHONE_PROGRAM, address, "--direct", "--note", "--wait", "500", "next"}, {}, "", 15s);
  ASSERT_TRUE(direct.started);
  EXPECT_EQ(direct.exitCode, 0) << direct.output;
  EXPECT_NE(direct.output.find(R"({"msg":"note","note":"Agenda: where we are, where we go."})"),
            std::string::npos)
      << direct.output;
  EXPECT_TRUE(WaitForLineWith(pc, "show: ", "slide 2 of 5", at, line)) << pc.Output();

  // After the phone's farewell the window waits again; the address it shows
  // stays valid, and the relay is offered again beside the direct session.
  ASSERT_TRUE(WaitForLineWith(pc, "state: ", "WaitingForPhone", at, line)) << pc.Output();

  // A phone anywhere, through the relay broker.
  ChildResult relay =
      RunChild({PIVARO_PHONE_PROGRAM, address, "--relay", "--wait", "500", "next"}, env_, "", 20s);
  ASSERT_TRUE(relay.started);
  EXPECT_EQ(relay.exitCode, 0) << relay.output;
  EXPECT_NE(relay.output.find(R"("msg":"state")"), std::string::npos) << relay.output;
  EXPECT_TRUE(WaitForLineWith(pc, "show: ", "slide 3 of 5", at, line)) << pc.Output();

  // Closing without a phone needs no confirmation and ends the process.
  ASSERT_TRUE(WaitForLineWith(pc, "state: ", "WaitingForPhone", at, line)) << pc.Output();
  ASSERT_TRUE(pc.WriteLine("close"));
  EXPECT_TRUE(pc.WaitForLine("closed", line, 10s, at)) << pc.Output();
  EXPECT_EQ(pc.WaitExit(15s), 0) << pc.Output();
}

}  // namespace
}  // namespace e2e

#endif
