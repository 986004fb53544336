// Shared pieces of the end-to-end tests: a broker per test, a PC, and reads
// of the PC's answers at the phone. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "tests/e2e/support/pc_harness.h"
#include "tests/support/mosquitto_broker.h"
#include "tools/phone/phone_link.h"

namespace e2e {

using namespace std::chrono_literals;
using phone::PhoneLink;
using phone::PhoneMessage;
using phone::Transport;
using State = CMainController::State;

constexpr auto kAnswer = 5s;  // longest wait for any single answer

inline const char kBusyError[] = "您的电脑已与其他手机建立连接。";

// The "state" value of a message, -1 when it has none.
inline int StateValue(const PhoneMessage& m) {
  double v = -1;
  return phone::MemberNumber(m.text, "state", v) ? static_cast<int>(v) : -1;
}

// Waits for the next "state" message and returns its value (-1: none came).
inline int NextState(PhoneLink& link, std::chrono::milliseconds limit = kAnswer) {
  PhoneMessage m;
  return link.WaitFor("state", m, limit) ? StateValue(m) : -1;
}

// Waits for "state" messages until one has `value`; false when none did.
inline bool WaitForState(PhoneLink& link, int value, std::chrono::milliseconds limit = kAnswer) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  PhoneMessage m;
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!link.WaitFor("state", m, left)) return false;
    if (StateValue(m) == value) return true;
  }
  return false;
}

// Waits for a "note" with this text; earlier notes (a show start may bring
// one for its first slide twice) are skipped.
inline bool WaitForNote(PhoneLink& link, const std::string& text) {
  auto deadline = std::chrono::steady_clock::now() + kAnswer;
  PhoneMessage m;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!link.WaitFor("note", m, std::chrono::milliseconds(500))) continue;
    if (phone::MemberText(m.text, "note") == text) return true;
  }
  return false;
}

inline const char* TransportName(Transport t) {
  switch (t) {
    case Transport::Relay:
      return "Relay";
    case Transport::DirectTcp:
      return "DirectTcp";
    case Transport::DirectUdp:
      return "DirectUdp";
  }
  return "?";
}

// A running broker and a PC waiting for a phone.
class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(broker_.Start()) << broker_.Error();
    StartPc(Options());
  }

  // What the PC of the test is built with (the broker is filled in).
  virtual PcOptions Options() { return {}; }

  void StartPc(PcOptions options) {
    options.brokerUri = broker_.Uri();
    pc_ = std::make_unique<PcHarness>(std::move(options));
    ASSERT_TRUE(pc_->Start()) << "state " << pc_->GetState();
  }

  // Joins over `t`, greets and takes the first "state" answer; the PC is
  // then Connected.
  std::unique_ptr<PhoneLink> Pair(Transport t, bool notes = false, int expectedState = 1,
                                  const std::string& from = std::string()) {
    if (t == Transport::Relay) {
      EXPECT_TRUE(pc_->WaitRelayStarted(1, kAnswer));
    }
    std::string error;
    auto link = pc_->JoinPhone(t, notes, &error, from);
    EXPECT_TRUE(link) << TransportName(t) << ": " << error;
    if (!link) return nullptr;
    EXPECT_TRUE(link->SendHello());
    EXPECT_EQ(NextState(*link), expectedState) << TransportName(t);
    EXPECT_TRUE(pc_->WaitState(State::Connected, kAnswer)) << "state " << pc_->GetState();
    return link;
  }

  MosquittoBroker broker_;
  std::unique_ptr<PcHarness> pc_;
};

}  // namespace e2e
