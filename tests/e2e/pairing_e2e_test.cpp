// Pairing over each transport, the first answers, the hand-over between the
// two sessions and the refusal of a second phone.
#include <gtest/gtest.h>

#include <thread>

#include "tests/e2e/support/e2e_fixture.h"

namespace e2e {
namespace {

class PairingTest : public E2eTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(PairingTest, GreetingConnectsAndIsAnsweredWithTheState) {
  auto link = Pair(GetParam());
  ASSERT_TRUE(link);
  EXPECT_EQ(pc_->Controller().PrimaryKind(), GetParam() == Transport::Relay ? Relay : Direct);
  EXPECT_FALSE(pc_->Controller().NotesWanted());

  // Navigation without a running show is answered with the current state.
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  EXPECT_EQ(NextState(*link), 1);
}

INSTANTIATE_TEST_SUITE_P(AllTransports, PairingTest,
                         ::testing::Values(Transport::Relay, Transport::DirectTcp,
                                           Transport::DirectUdp),
                         [](const auto& info) { return std::string(TransportName(info.param)); });

TEST_F(E2eTest, RelayMessagesCarryTheAddressesOfBothEnds) {
  auto link = Pair(Transport::Relay);
  ASSERT_TRUE(link);
  phone::PairingAddress address;
  ASSERT_TRUE(phone::ParsePairingAddress(pc_->PairingAddress(), address, nullptr));
  ASSERT_TRUE(link->Send(R"({"msg":"state"})"));  // unknown to the PC: no answer
  ASSERT_TRUE(link->Send(R"({"msg":"first"})"));
  PhoneMessage m;
  ASSERT_TRUE(link->WaitFor("state", m, kAnswer));
  EXPECT_EQ(phone::MemberText(m.text, "src"), address.PcClientId());
  EXPECT_FALSE(phone::MemberText(m.text, "dst").empty());
  EXPECT_EQ(m.text.find(R"({"msg":"state","state":1,"src":)"), 0u) << m.text;
}

class NoPresentationTest : public E2eTest {
 protected:
  PcOptions Options() override {
    PcOptions options;
    options.openPresentation = false;
    return options;
  }
};

TEST_F(NoPresentationTest, NextAnswersStateZero) {
  for (Transport t : {Transport::Relay, Transport::DirectTcp}) {
    SCOPED_TRACE(TransportName(t));
    std::string error;
    auto link = pc_->JoinPhone(t, false, &error);
    ASSERT_TRUE(link) << error;
    if (t != Transport::Relay) {
      // Only a greeting moves the conversation to the direct session.
      ASSERT_TRUE(link->SendHello());
      EXPECT_EQ(NextState(*link), 0);
    }
    // On the relay this is the first message: it connects a waiting PC,
    // and "next" finds nothing to move.
    ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
    PhoneMessage m;
    ASSERT_TRUE(link->WaitFor("state", m, kAnswer));
    EXPECT_EQ(StateValue(m), 0);
    EXPECT_EQ(phone::MemberText(m.text, "error"), "") << "no WPS was started by the user";
    EXPECT_TRUE(pc_->WaitState(State::Connected, kAnswer));
    ASSERT_TRUE(link->Send(R"({"msg":"bye"})"));
    EXPECT_TRUE(pc_->WaitState(State::WaitingForPhone, kAnswer));
    link->Close();
  }
}

TEST_F(E2eTest, GreetingOnTheDirectSessionMakesItPrimaryAndStopsTheRelay) {
  EXPECT_EQ(pc_->Controller().PrimaryKind(), Relay);
  auto direct = Pair(Transport::DirectTcp, /*notes=*/true);
  ASSERT_TRUE(direct);
  EXPECT_EQ(pc_->Controller().PrimaryKind(), Direct);
  EXPECT_TRUE(pc_->Controller().NotesWanted());

  // The relay is stopped and detached: a phone there gets no answer at all.
  std::string error;
  auto relay = pc_->JoinPhone(Transport::Relay, false, &error);
  ASSERT_TRUE(relay) << error;
  ASSERT_TRUE(relay->SendHello());
  ASSERT_TRUE(relay->Send(R"({"msg":"next"})"));
  PhoneMessage m;
  EXPECT_FALSE(relay->Next(m, 1500ms)) << m.text;
  EXPECT_EQ(pc_->Controller().PrimaryKind(), Direct);

  // The direct phone still drives the PC.
  ASSERT_TRUE(direct->Send(R"({"msg":"last"})"));
  EXPECT_EQ(NextState(*direct), 1);
}

class KeepAliveTest : public E2eTest {
 protected:
  PcOptions Options() override {
    PcOptions options;
    options.directExternalTicks = true;
    return options;
  }
  // Ticks a silent phone is allowed after its "conn" or last heartbeat.
  static constexpr int kAllowance = 3;
};

TEST_F(KeepAliveTest, HeartbeatsKeepAUdpPhoneAndSilenceLosesIt) {
  phone::PairingAddress address;
  ASSERT_TRUE(phone::ParsePairingAddress(pc_->PairingAddress(), address, nullptr));
  phone::PhoneOptions options = pc_->PhoneOptionsFor(Transport::DirectUdp);
  options.heartbeat = 50ms;
  auto link = phone::MakePhoneLink(address, options, nullptr);
  ASSERT_TRUE(link && link->Connect()) << (link ? link->LastError() : "");
  ASSERT_TRUE(link->SendHello());
  EXPECT_EQ(NextState(*link), 1);
  ASSERT_TRUE(pc_->WaitState(State::Connected, kAnswer));
  // Eight ticks, each after four of the phone's heartbeat periods: it would
  // have to miss every beat of three of them in a row to be lost.
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(pc_->TickDirect());
  }
  pc_->OnUi([] {});  // whatever the ticks told the UI thread has been done
  EXPECT_EQ(pc_->GetState(), State::Connected);
  ASSERT_TRUE(link->Send(R"({"msg":"next"})"));
  EXPECT_EQ(NextState(*link), 1);
  link->Close();
  EXPECT_TRUE(pc_->WaitState(State::WaitingForPhone, kAnswer));

  // A phone that attaches and then says nothing is given up.
  options.heartbeat = 1h;
  options.cuid = "silent-phone";
  auto silent = phone::MakePhoneLink(address, options, nullptr);
  ASSERT_TRUE(silent && silent->Connect()) << (silent ? silent->LastError() : "");
  ASSERT_TRUE(silent->SendHello());
  EXPECT_EQ(NextState(*silent), 1);
  ASSERT_TRUE(pc_->WaitState(State::Connected, kAnswer));
  for (int i = 0; i < kAllowance; ++i) ASSERT_TRUE(pc_->TickDirect());
  pc_->OnUi([] {});
  EXPECT_EQ(pc_->GetState(), State::Connected);
  ASSERT_TRUE(pc_->TickDirect());  // the next tick gives it up
  EXPECT_TRUE(pc_->WaitState(State::WaitingForPhone, kAnswer)) << "state " << pc_->GetState();
}

class SecondPhoneTest : public E2eTest, public ::testing::WithParamInterface<Transport> {};

TEST_P(SecondPhoneTest, IsRefusedWhileTheFirstKeepsControl) {
  const Transport t = GetParam();
  auto first = Pair(t);
  ASSERT_TRUE(first);

  phone::PairingAddress address;
  ASSERT_TRUE(phone::ParsePairingAddress(pc_->PairingAddress(), address, nullptr));
  phone::PhoneOptions options = pc_->PhoneOptionsFor(t);
  options.bindAddress = "127.0.0.2";  // the PC tells phones apart by address
  options.cuid = "second-phone";
  std::string error;
  auto second = phone::MakePhoneLink(address, options, &error);
  ASSERT_TRUE(second) << error;

  PhoneMessage m;
  if (t == Transport::DirectUdp) {
    // The attach itself is refused.
    EXPECT_FALSE(second->Connect());
    EXPECT_EQ(second->LastError(), std::string("conn refused: ") + kBusyError);
  } else {
    ASSERT_TRUE(second->Connect()) << second->LastError();
    ASSERT_TRUE(second->SendHello());
    ASSERT_TRUE(second->WaitFor("error", m, kAnswer));
    EXPECT_EQ(phone::MemberText(m.text, "error"), kBusyError);
    // Every further message gets the same answer and nothing else.
    ASSERT_TRUE(second->Send(R"({"msg":"next"})"));
    ASSERT_TRUE(second->Next(m, kAnswer));
    EXPECT_EQ(m.msg, "error");
  }

  // The first phone is undisturbed.
  ASSERT_TRUE(first->Send(R"({"msg":"prev"})"));
  EXPECT_EQ(NextState(*first), 1);
  EXPECT_EQ(pc_->GetState(), State::Connected);
  EXPECT_FALSE(second->Next(m, 300ms)) << m.text;
}

INSTANTIATE_TEST_SUITE_P(AllTransports, SecondPhoneTest,
                         ::testing::Values(Transport::Relay, Transport::DirectTcp,
                                           Transport::DirectUdp),
                         [](const auto& info) { return std::string(TransportName(info.param)); });

}  // namespace
}  // namespace e2e
