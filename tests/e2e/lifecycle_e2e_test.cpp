// The conversation's life: the PC's disconnect button, the broker going away
// and coming back, the hello timeout, the PC closing, the phone's will, and
// the pivaro-phone program itself.
#include <gtest/gtest.h>

#include <thread>

#include "tests/e2e/support/child_process.h"
#include "tests/e2e/support/e2e_fixture.h"
#include "tests/e2e/support/tcp_cutter.h"

namespace e2e {
namespace {

class DisconnectTest : public E2eTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(DisconnectTest, ButtonSaysByeAndOffersANewAddress) {
  auto link = Pair(GetParam());
  ASSERT_TRUE(link);
  const std::string before = pc_->PairingAddress();

  pc_->PressConnectButton();
  PhoneMessage m;
  ASSERT_TRUE(link->WaitFor("bye", m, kAnswer));
  EXPECT_TRUE(pc_->WaitState(State::WaitingForPhone, kAnswer)) << "state " << pc_->GetState();
  const std::string after = pc_->PairingAddress();
  EXPECT_NE(after, before);

  // The session that carried the greeting stays primary and leads the
  // new address.
  phone::PairingAddress address;
  ASSERT_TRUE(phone::ParsePairingAddress(after, address, nullptr));
  ASSERT_FALSE(address.params.empty());
  EXPECT_EQ(address.params[0].first, GetParam() == Transport::Relay ? "id" : "sv");

  link->Close();
  if (GetParam() == Transport::DirectTcp) {
    // The dropped phone's address is refused from now on: a peer that
    // seized the remote cannot simply come back.
    std::string error;
    auto dropped = pc_->JoinPhone(GetParam(), false, &error);
    ASSERT_TRUE(dropped) << error;
    ASSERT_TRUE(dropped->SendHello());
    PhoneMessage busy;
    ASSERT_TRUE(dropped->WaitFor("error", busy, kAnswer));
    EXPECT_EQ(pc_->GetState(), State::WaitingForPhone);
  }
  // Another phone pairs with the new address.
  auto again = Pair(GetParam(), false, 1, "127.0.0.2");
  ASSERT_TRUE(again);
}

INSTANTIATE_TEST_SUITE_P(Transports, DisconnectTest,
                         ::testing::Values(Transport::Relay, Transport::DirectTcp),
                         [](const auto& info) { return std::string(TransportName(info.param)); });

// A venue without internet: the relay's broker cannot be reached, the LAN
// works. The code is shown and a phone pairs over the LAN, the code comes
// back after its farewell, and the broker's return is picked up in the
// background without a change of state.
TEST(OfflineVenueTest, LanPairsWhileTheRelayIsRetried) {
  MosquittoBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Error();
  broker.Stop();  // its port is now closed
  PcOptions options;
  options.brokerUri = broker.Uri();
  PcHarness pc(std::move(options));
  pc.Start(std::chrono::milliseconds(1));  // the relay will not subscribe
  ASSERT_TRUE(pc.WaitState(State::WaitingForPhone, kAnswer)) << "state " << pc.GetState();
  auto bounded = [](auto condition) {
    for (auto end = std::chrono::steady_clock::now() + kAnswer;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms)) {
      if (condition()) return true;
    }
    return false;
  };
  EXPECT_TRUE(bounded([&] { return !pc.View().TransportNote().empty(); }));

  std::string error;
  auto phone = pc.JoinPhone(Transport::DirectTcp, false, &error);
  ASSERT_TRUE(phone) << error;
  ASSERT_TRUE(phone->SendHello());
  ASSERT_TRUE(pc.WaitState(State::Connected, kAnswer));
  ASSERT_TRUE(phone->Send(R"({"msg":"bye"})"));
  ASSERT_TRUE(pc.WaitState(State::WaitingForPhone, kAnswer)) << "state " << pc.GetState();
  phone->Close();

  // The relay is offered again and fails again: the code stays.
  EXPECT_FALSE(pc.WaitState(State::NetworkError, 1500ms));
  EXPECT_EQ(pc.GetState(), State::WaitingForPhone);

  ASSERT_TRUE(broker.Start()) << broker.Error();
  // Retried 1 s after a failure, doubling: well within 20 s here.
  EXPECT_TRUE(pc.WaitRelayStarted(1, 20s));
  EXPECT_TRUE(bounded([&] { return pc.View().TransportNote().empty(); }));
  EXPECT_EQ(pc.GetState(), State::WaitingForPhone);
}

class CloseTest : public E2eTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(CloseTest, ClosingThePcSendsQuit) {
  auto link = Pair(GetParam());
  ASSERT_TRUE(link);
  pc_->Close();
  PhoneMessage m;
  EXPECT_TRUE(link->WaitFor("quit", m, kAnswer));
}

INSTANTIATE_TEST_SUITE_P(AllTransports, CloseTest,
                         ::testing::Values(Transport::Relay, Transport::DirectTcp,
                                           Transport::DirectUdp),
                         [](const auto& info) { return std::string(TransportName(info.param)); });

// Crashes the broker while a relay phone is connected (a broker that shuts
// down in order would publish both wills and so end the pairing), brings it
// back on the same port and presses the reconnect button once both ends are
// back.
class BrokerRestartTest : public E2eTest {
 protected:
  std::unique_ptr<PhoneLink> PairThenRestartBroker(bool phoneAnswersHello) {
    std::string error;
    phone::PairingAddress address;
    EXPECT_TRUE(phone::ParsePairingAddress(pc_->PairingAddress(), address, &error));
    phone::PhoneOptions options = pc_->PhoneOptionsFor(Transport::Relay);
    options.answerHello = phoneAnswersHello;
    auto link = phone::MakePhoneLink(address, options, &error);
    EXPECT_TRUE(link && link->Connect()) << error;
    if (!link) return nullptr;
    EXPECT_TRUE(link->SendHello());
    EXPECT_EQ(NextState(*link), 1);
    EXPECT_TRUE(pc_->WaitState(State::Connected, kAnswer));

    broker_.Kill();
    // The PC tries once at once, fails and shows the reconnect button.
    EXPECT_TRUE(pc_->WaitState(State::NetworkError, 10s)) << "state " << pc_->GetState();
    EXPECT_TRUE(link->WaitOpen(false, 5s));
    EXPECT_TRUE(broker_.Start()) << broker_.Error();
    // The phone comes back by itself.
    EXPECT_TRUE(link->WaitOpen(true, 10s));
    pc_->PressConnectButton();
    return link;
  }
};

TEST_F(BrokerRestartTest, RememberedPhoneIsGreetedAndAnswers) {
  auto link = PairThenRestartBroker(/*phoneAnswersHello=*/true);
  ASSERT_TRUE(link);
  PhoneMessage m;
  ASSERT_TRUE(link->WaitFor("hello", m, kAnswer)) << "state " << pc_->GetState();
  // The phone's own greeting (sent by the link) reconnects without a scan.
  EXPECT_EQ(NextState(*link), 1);
  EXPECT_TRUE(pc_->WaitState(State::Connected, kAnswer)) << "state " << pc_->GetState();
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  EXPECT_EQ(NextState(*link), 1);
}

TEST_F(BrokerRestartTest, SilentPhoneIsForgottenAfterFiveSeconds) {
  auto link = PairThenRestartBroker(/*phoneAnswersHello=*/false);
  ASSERT_TRUE(link);
  const std::string address = pc_->PairingAddress();
  PhoneMessage m;
  ASSERT_TRUE(link->WaitFor("hello", m, kAnswer)) << "state " << pc_->GetState();
  const auto greeted = m.received;
  EXPECT_EQ(pc_->GetState(), State::Connecting);
  ASSERT_TRUE(pc_->WaitState(State::WaitingForPhone, 10s)) << "state " << pc_->GetState();
  const auto waited = std::chrono::steady_clock::now() - greeted;
  EXPECT_GE(waited, 4500ms);
  EXPECT_LE(waited, 7000ms);
  // The pairing stays, but the phone was dropped: its commands connect anew.
  EXPECT_EQ(pc_->PairingAddress(), address);
}

TEST_F(E2eTest, PhoneDroppedWithoutGoodbyeIsForgottenThroughItsWill) {
  TcpCutter cutter(broker_.Port());
  phone::PairingAddress address;
  ASSERT_TRUE(phone::ParsePairingAddress(pc_->PairingAddress(), address, nullptr));
  phone::PhoneOptions options = pc_->PhoneOptionsFor(Transport::Relay);
  options.brokerUri = "tcp://127.0.0.1:" + std::to_string(cutter.Port());
  std::string error;
  auto link = phone::MakePhoneLink(address, options, &error);
  ASSERT_TRUE(link) << error;
  ASSERT_TRUE(link->Connect()) << link->LastError();
  ASSERT_TRUE(link->SendHello());
  EXPECT_EQ(NextState(*link), 1);
  ASSERT_TRUE(pc_->WaitState(State::Connected, kAnswer));

  cutter.CutAll();  // the phone's network drops; the broker sends its will
  EXPECT_TRUE(pc_->WaitState(State::WaitingForPhone, kAnswer)) << "state " << pc_->GetState();
  EXPECT_EQ(pc_->GetState(), State::WaitingForPhone);

  // Back on the network, the phone greets again and is the PC's phone.
  ASSERT_TRUE(link->WaitOpen(true, 10s));
  ASSERT_TRUE(link->SendHello());
  EXPECT_EQ(NextState(*link), 1);
  EXPECT_TRUE(pc_->WaitState(State::Connected, kAnswer));
}

TEST_F(E2eTest, PhoneProgramPrintsTheAnswersOfItsCommands) {
  const std::string address = pc_->PairingAddress();
  ChildResult relay =
      RunChild({PIVARO_PHONE_PROGRAM, address, "--relay", "--wait", "500", "next", "laser_up"},
               {"PIVARO_RELAY_URI=" + broker_.Uri()}, "", 15s);
  ASSERT_TRUE(relay.started);
  EXPECT_FALSE(relay.timedOut);
  EXPECT_EQ(relay.exitCode, 0);
  // The greeting's answer and the answer to "next", one object per line.
  EXPECT_NE(relay.output.find("{\"msg\":\"state\",\"state\":1,\"src\":"), std::string::npos)
      << relay.output;
  std::size_t lines = 0;
  for (char c : relay.output) lines += c == '\n';
  EXPECT_GE(lines, 2u) << relay.output;
  // It said "bye" on leaving.
  EXPECT_TRUE(pc_->WaitState(State::WaitingForPhone, kAnswer));

  // The direct session, commands from standard input.
  auto options = pc_->PhoneOptionsFor(Transport::DirectTcp);
  ChildResult direct =
      RunChild({PIVARO_PHONE_PROGRAM, address, "--direct", "--host", "127.0.0.1", "--port",
                std::to_string(options.directPort), "--note", "--wait", "500", "--keep"},
               {}, "start\nsleep 50\n{\"msg\":\"next\"}\nlaser_down oops\n", 15s);
  ASSERT_TRUE(direct.started);
  EXPECT_EQ(direct.exitCode, 0) << direct.output;
  EXPECT_NE(direct.output.find(R"({"msg":"state","state":3})"), std::string::npos) << direct.output;
  EXPECT_NE(direct.output.find(R"({"msg":"note","note":"Agenda: where we are, where we go."})"),
            std::string::npos)
      << direct.output;
  EXPECT_EQ(pc_->Controller().PrimaryKind(), Direct);

  // Bad input is refused before anything is sent.
  ChildResult bad = RunChild({PIVARO_PHONE_PROGRAM, address, "laser_down 0.5"}, {}, "", 5s);
  EXPECT_EQ(bad.exitCode, 2);
  ChildResult noAddress = RunChild({PIVARO_PHONE_PROGRAM, "http://h/no-marker"}, {}, "", 5s);
  EXPECT_EQ(noAddress.exitCode, 2);
}

}  // namespace
}  // namespace e2e
