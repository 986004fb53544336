// The hello timer after a reconnect watches the phone the primary session
// remembered. Found by the sequence test (seed 9): once the sessions are
// re-created that phone is gone, and the timer firing later showed the QR
// code of sessions that had not started yet.
#include <gtest/gtest.h>

#include "tests/app/controller_fixture.h"

namespace {

using Ctl = CMainController;

class HelloTimerTest : public ControllerTest {
 protected:
  // Connected over the relay, the broker connection comes back with the
  // phone still known: the PC greets it and the hello timer is armed.
  void Greeted() {
    configure = [](FakeSession* s) { s->startInline = false; };
    StartConnected(Relay);
    FakeSession* relay = RelayAt(0);
    relay->Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
    Drain();
    relay->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
    Drain();
    ASSERT_EQ(relay->Sent().back(), R"(Send({"msg":"hello"},0))");
    ASSERT_TRUE(ui.Armed(Ctl::kHelloTimer));
    ASSERT_EQ(ctl->GetState(), Ctl::Connecting);
  }
};

TEST_F(HelloTimerTest, RecreatedSessionsStopWaitingForTheOldGreeting) {
  Greeted();
  // The restart fails and the user cancels: the sessions are re-created.
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  Drain();
  ASSERT_EQ(ctl->GetState(), Ctl::NetworkError);
  ctl->OnRetryOrCancel();
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnStopped(true, 1); });
  Drain();
  ASSERT_EQ(made.size(), 4u);
  EXPECT_EQ(ctl->GetState(), Ctl::Connecting);
  EXPECT_FALSE(ui.Armed(Ctl::kHelloTimer));
  // Neither new session has started: no QR code yet, no peer dropped.
  EXPECT_EQ(RelayAt(2)->Count("DropPeer"), 0);
}

TEST_F(HelloTimerTest, GreetingOfReplacedSessionsArmsNoTimer) {
  Greeted();
  ui.KillTimer(Ctl::kHelloTimer);
  // A second greeting is under way (its timer request still queued) when
  // the UI thread re-creates the sessions.
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
  ctl->RecreateSessions();
  Drain();
  EXPECT_FALSE(ui.Armed(Ctl::kHelloTimer));
  EXPECT_EQ(ctl->GetState(), Ctl::Connecting);
}

TEST_F(HelloTimerTest, UnansweredGreetingStillShowsTheQrCode) {
  Greeted();
  ctl->OnTimer(Ctl::kHelloTimer);
  EXPECT_EQ(ctl->GetState(), Ctl::WaitingForPhone);
  EXPECT_EQ(RelayAt(0)->Count("DropPeer"), 1);
}

}  // namespace
