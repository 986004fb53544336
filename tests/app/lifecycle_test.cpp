// States, session creation and hand-over, the farewell and reconnect flows,
// timers and closing.
#include <algorithm>

#include "app/state_texts.h"
#include "tests/app/controller_fixture.h"

using State = CMainController;

namespace {

bool Contains(const std::vector<std::string>& calls, const std::string& call) {
  for (const auto& c : calls) {
    if (c == call) return true;
  }
  return false;
}

}  // namespace

TEST_F(ControllerTest, FirstStartBuildsAddressAndWaitsForPhone) {
  Make();
  ctl->InitWindow();
  ASSERT_EQ(made.size(), 2u);
  EXPECT_EQ(ctl->PairingAddress(), "http://base/tavmix/?os=1&id=r0&st=t0&sv=d1");
  EXPECT_EQ(view.address, ctl->PairingAddress());
  EXPECT_EQ(ctl->GetState(), State::Connecting);
  EXPECT_TRUE(view.loading && view.animating);
  // Both attached and started, primary first.
  EXPECT_EQ(RelayAt(0)->Calls(), (std::vector<std::string>{"SetNotify(this)", "Start(0)"}));
  EXPECT_TRUE(DirectAt(1)->Attached());

  Drain();
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);
  EXPECT_TRUE(view.qr);
  EXPECT_FALSE(view.loading || view.animating);
  EXPECT_TRUE(ctl->EverConnected());
}

TEST_F(ControllerTest, StartRecordCarriesOutcomeAndTimeSinceConnecting) {
  configure = [](FakeSession* s) { s->startInline = false; };
  Make();
  tick = 5000;
  ctl->InitWindow();
  tick = 5750;
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnStarted(true, 7); });
  auto records = reports.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].cmd, Report::ReportCmdUsage);
  EXPECT_EQ(records[0].Int(1), 1);
  EXPECT_EQ(records[0].Int(6), 750);
  EXPECT_EQ(records[0].Int(99), 1);
  EXPECT_EQ(reports.modes[0], Report::Queued);
}

TEST_F(ControllerTest, RefusedFirstStartShowsRetryAndRetryRecreatesSessions) {
  configure = [](FakeSession* s) {
    s->startInline = false;
    if (s->Kind() == Relay) s->startResult = false;
  };
  Make();
  ctl->InitWindow();
  EXPECT_EQ(ctl->GetState(), State::ConnectFailed);
  EXPECT_TRUE(view.retry);
  EXPECT_FALSE(view.loading);

  configure = nullptr;
  ctl->OnRetryOrCancel();
  EXPECT_FALSE(view.retry);
  ASSERT_EQ(made.size(), 4u);  // new pair
  EXPECT_EQ(RelayAt(0)->Count("SetNotify(null)"), 1);
  EXPECT_FALSE(RelayAt(0)->Attached());
  EXPECT_FALSE(DirectAt(1)->Attached());
  EXPECT_EQ(destroyed.load(), 0);  // the test still holds them
  EXPECT_EQ(RelayAt(0)->RefCount(), 1);
  EXPECT_EQ(ctl->PairingAddress(), "http://base/tavmix/?os=1&id=r2&st=t2&sv=d3");
  Drain();
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);
}

// The state follows whether a phone can pair: one transport that started is
// enough for the code, the other is tried again in the background without a
// state change; only when neither started does the start fail.
TEST_F(ControllerTest, StartOutcomesOfBothTransportsDecideTheState) {
  struct Row {
    const char* name;
    bool relayFirst;  // which session reports first
    bool relayOk;
    bool directOk;
    CMainController::State state;
    bool retried;  // the failed one is tried again and the note says so
  };
  const Row rows[] = {
      {"both up", true, true, true, State::WaitingForPhone, false},
      {"relay down, then LAN up", true, false, true, State::WaitingForPhone, true},
      {"LAN up, then relay down", false, false, true, State::WaitingForPhone, true},
      {"relay up, LAN down", true, true, false, State::WaitingForPhone, true},
      {"both down, relay first", true, false, false, State::ConnectFailed, false},
      {"both down, LAN first", false, false, false, State::ConnectFailed, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TearDown();
    made.clear();
    view = FakeView();
    ui.armed.clear();
    configure = [](FakeSession* s) { s->startInline = false; };
    Make();
    ctl->InitWindow();
    auto report = [](FakeSession* s, bool ok) {
      s->Notify([ok](INetSessionNotify* n) { n->OnStarted(ok, 0); });
    };
    if (row.relayFirst) {
      report(RelayAt(0), row.relayOk);
      report(DirectAt(1), row.directOk);
    } else {
      report(DirectAt(1), row.directOk);
      report(RelayAt(0), row.relayOk);
    }
    Drain();
    EXPECT_EQ(ctl->GetState(), row.state);
    EXPECT_EQ(Contains(RelayAt(0)->Calls(), "Stop(0)"), row.state == State::ConnectFailed);
    EXPECT_EQ(view.qr, row.state == State::WaitingForPhone);
    EXPECT_EQ(!view.note.empty(), row.retried);
    EXPECT_EQ(ui.Armed(CMainController::kRetryTimer), row.retried);
    ASSERT_FALSE(reports.Records().empty());
    EXPECT_EQ(reports.Records().back().Int(1), row.directOk || row.relayOk ? 1 : 2);
  }
}

TEST_F(ControllerTest, UnreachableRelayIsRetriedInTheBackgroundUntilItComes) {
  configure = [](FakeSession* s) { s->startInline = false; };
  Make();
  ctl->InitWindow();
  FakeSession* relay = RelayAt(0);
  DirectAt(1)->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
  const unsigned expected[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
  for (unsigned ms : expected) {
    relay->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
    Drain();
    ASSERT_EQ(ui.armed[CMainController::kRetryTimer], ms);
    relay->ClearCalls();
    ctl->OnTimer(CMainController::kRetryTimer);
    EXPECT_TRUE(Contains(relay->Calls(), "Start(0)"));
    EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);
  }
  const int invalidations = view.invalidations;
  relay->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
  Drain();
  EXPECT_TRUE(view.note.empty());
  EXPECT_FALSE(ui.Armed(CMainController::kRetryTimer));
  EXPECT_EQ(view.invalidations, invalidations);  // no state change
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);
}

TEST_F(ControllerTest, FailedStartOnceConnectedIsNetworkErrorOnlyWithoutAnyTransport) {
  StartConnected(Relay);
  FakeSession* relay = RelayAt(0);
  relay->Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
  Drain();
  relay->ClearCalls();
  relay->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  Drain();
  // The LAN session was stopped by the greeting over the relay.
  EXPECT_EQ(ctl->GetState(), State::NetworkError);
  EXPECT_FALSE(Contains(relay->Calls(), "Stop(0)"));
  EXPECT_TRUE(view.connectButton && view.cancel);
  EXPECT_EQ(view.caption, u"重新连接");
}

// After a LAN phone's "bye" the relay is offered again; when it cannot
// start, the code stays on show.
TEST_F(ControllerTest, ByeOfALanPhoneShowsTheCodeEvenWithoutTheRelay) {
  StartConnected(Direct);
  FakeSession* relay = RelayAt(0);
  DirectAt(1)->Message(R"({"msg":"bye"})");
  Drain();
  ASSERT_EQ(ctl->GetState(), State::WaitingForPhone);
  relay->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  Drain();
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);
  EXPECT_TRUE(view.qr);
  EXPECT_EQ(view.note, kRelayUnreachableNote);
}

TEST_F(ControllerTest, StoppedWithOtherCookieShowsConnectFailed) {
  StartWaiting();
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnStopped(true, 0); });
  Drain();
  EXPECT_EQ(ctl->GetState(), State::ConnectFailed);
  EXPECT_EQ(made.size(), 2u);
}

TEST_F(ControllerTest, StateTableShowsAndHidesControls) {
  StartWaiting();
  ctl->SetState(State::Connected);
  EXPECT_FALSE(view.qr);
  EXPECT_TRUE(view.connectButton);
  EXPECT_EQ(view.caption, u"断开连接");
  EXPECT_FALSE(view.cancel);
  int invalidations = view.invalidations;
  ctl->SetState(State::Connected);  // same state: nothing at all
  EXPECT_EQ(view.invalidations, invalidations);

  ctl->SetState(State::NetworkError);
  EXPECT_TRUE(view.connectButton && view.cancel);
  ctl->SetState(State::Connecting);
  EXPECT_FALSE(view.connectButton || view.cancel);
  EXPECT_TRUE(view.loading && view.animating);
  ctl->SetState(State::ConnectFailed);
  EXPECT_TRUE(view.retry);
  EXPECT_FALSE(view.loading || view.animating);
}

TEST_F(ControllerTest, EnteringWaitingOffersTheOtherTransportAgain) {
  StartConnected();
  FakeSession* direct = DirectAt(1);
  EXPECT_FALSE(direct->Attached());  // retired by the greeting
  direct->ClearCalls();
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
  Drain();
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);
  EXPECT_TRUE(Contains(RelayAt(0)->Calls(), "DropPeer"));
  EXPECT_EQ(direct->Calls().front(), "Start(0)");
  EXPECT_TRUE(direct->Attached());
  EXPECT_EQ(reports.Records().back().Int(5), 1);
}

TEST_F(ControllerTest, DisconnectButtonSaysByeAndEndsWithNewPairing) {
  StartConnected();
  std::string before = ctl->PairingAddress();
  ctl->OnConnectButton();
  EXPECT_EQ(ctl->GetState(), State::Connecting);
  EXPECT_FALSE(ctl->EverConnected());
  FakeSession* relay = RelayAt(0);
  EXPECT_EQ(relay->Sent().back(), R"(Send({"msg":"bye"},1))");

  relay->Notify([](INetSessionNotify* n) { n->OnSent(true, 0); });  // someone else's send
  EXPECT_FALSE(Contains(relay->Calls(), "Stop(1)"));
  relay->Notify([](INetSessionNotify* n) { n->OnSent(true, 1); });
  EXPECT_TRUE(Contains(relay->Calls(), "Stop(1)"));
  relay->Notify([](INetSessionNotify* n) { n->OnStopped(true, 1); });
  Drain();
  ASSERT_EQ(made.size(), 4u);
  EXPECT_NE(ctl->PairingAddress(), before);
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);  // the new direct started at once
  RelayAt(2)->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
  Drain();
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);
}

// The presenter sees which address holds the remote and, by disconnecting,
// keeps that address out of the sessions that follow, until the next
// disconnect.
TEST_F(ControllerTest, DisconnectRefusesTheDroppedAddressUntilTheNextDisconnect) {
  Make();
  ctl->InitWindow();
  Drain();
  auto connectOver = [&](FakeSession* direct, const char* address) {
    direct->peerAddress = address;
    direct->peerDescription = std::string(address) + " TCP";
    direct->connected = true;
    direct->Message(R"({"msg":"hello"})");
    Drain();
    ASSERT_EQ(ctl->GetState(), State::Connected);
  };
  auto disconnect = [&](FakeSession* primary) {
    ctl->OnConnectButton();
    primary->Notify([](INetSessionNotify* n) { n->OnSent(true, 1); });
    primary->Notify([](INetSessionNotify* n) { n->OnStopped(true, 1); });
    Drain();
  };
  EXPECT_EQ(DirectAt(1)->refused, "");
  connectOver(DirectAt(1), "10.0.0.5");
  EXPECT_EQ(view.phone, u"10.0.0.5 TCP");
  disconnect(DirectAt(1));
  EXPECT_EQ(view.phone, u"");
  ASSERT_EQ(made.size(), 4u);
  EXPECT_EQ(At(2)->refused, "10.0.0.5");
  EXPECT_EQ(At(3)->refused, "10.0.0.5");
  // The next disconnect replaces it.
  FakeSession* direct = At(2)->Kind() == Direct ? At(2) : At(3);
  connectOver(direct, "10.0.0.6");
  disconnect(direct);
  ASSERT_EQ(made.size(), 6u);
  EXPECT_EQ(At(4)->refused, "10.0.0.6");
  EXPECT_EQ(At(5)->refused, "10.0.0.6");
}

TEST_F(ControllerTest, FarewellWhosePrimaryRefusesToStopRecreatesAtOnce) {
  StartConnected();
  RelayAt(0)->stopResult = false;
  ctl->OnConnectButton();
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnSent(true, 1); });
  Drain();
  EXPECT_EQ(made.size(), 4u);
}

TEST_F(ControllerTest, RefusedFarewellLeavesWindowConnecting) {
  StartConnected();
  RelayAt(0)->sendResult = false;
  ctl->OnConnectButton();
  Drain();
  EXPECT_EQ(ctl->GetState(), State::Connecting);
  EXPECT_EQ(made.size(), 2u);
}

TEST_F(ControllerTest, ReconnectGreetsRememberedPhoneAndItsHelloCompletes) {
  StartConnected();
  FakeSession* relay = RelayAt(0);
  relay->ClearCalls();
  relay->Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
  // The re-start waits for the UI thread: the notification may come from
  // a thread of the MQTT library, which must not be called back from there.
  EXPECT_FALSE(Contains(relay->Calls(), "Start(0)"));
  Drain();
  EXPECT_TRUE(Contains(relay->Calls(), "Start(0)"));
  EXPECT_EQ(ctl->GetState(), State::Connecting);
  EXPECT_EQ(reports.Records().back().Int(5), 2);
  size_t records = reports.Records().size();

  relay->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
  EXPECT_EQ(relay->Sent().back(), R"(Send({"msg":"hello"},0))");
  Drain();
  EXPECT_EQ(ctl->GetState(), State::Connecting);  // no change, no record
  EXPECT_EQ(reports.Records().size(), records);
  ASSERT_TRUE(ui.Armed(CMainController::kHelloTimer));
  EXPECT_EQ(ui.armed[CMainController::kHelloTimer], 5000u);

  relay->Message(R"({"msg":"hello"})");
  Drain();
  EXPECT_FALSE(ui.Armed(CMainController::kHelloTimer));
  EXPECT_EQ(ctl->GetState(), State::Connected);
  EXPECT_EQ(made.size(), 2u);  // same pairing, no new scan
}

TEST_F(ControllerTest, SilentRememberedPhoneIsForgottenAfterHelloTimeout) {
  StartConnected();
  FakeSession* relay = RelayAt(0);
  relay->Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
  relay->Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
  Drain();
  ASSERT_TRUE(ui.Armed(CMainController::kHelloTimer));
  relay->ClearCalls();
  ctl->OnTimer(CMainController::kHelloTimer);
  EXPECT_FALSE(ui.Armed(CMainController::kHelloTimer));
  EXPECT_TRUE(Contains(relay->Calls(), "DropPeer"));
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);

  // Expiring outside Connecting (the phone came back meanwhile) keeps it.
  ctl->SetState(State::Connected);
  relay->ClearCalls();
  ctl->OnTimer(CMainController::kHelloTimer);
  EXPECT_EQ(ctl->GetState(), State::Connected);
  EXPECT_FALSE(Contains(relay->Calls(), "DropPeer"));
}

TEST_F(ControllerTest, NetworkLostWithRefusedRestartShowsNetworkError) {
  StartConnected();
  RelayAt(0)->startResult = false;
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
  Drain();
  EXPECT_EQ(ctl->GetState(), State::NetworkError);

  // Reconnect keeps the sessions and the pairing.
  RelayAt(0)->startResult = true;
  ctl->OnConnectButton();
  EXPECT_EQ(ctl->GetState(), State::Connecting);
  EXPECT_EQ(made.size(), 2u);
  EXPECT_TRUE(DirectAt(1)->Attached());

  // Cancel stops the primary with the farewell cookie, whose OnStopped
  // re-creates the sessions.
  ctl->SetState(State::NetworkError);
  ctl->OnRetryOrCancel();
  EXPECT_TRUE(Contains(RelayAt(0)->Calls(), "Stop(1)"));
  EXPECT_EQ(made.size(), 2u);
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnStopped(true, 1); });
  Drain();
  EXPECT_EQ(made.size(), 4u);
}

TEST_F(ControllerTest, RetryTextIgnoredOutsideItsStates) {
  StartConnected();
  ctl->OnRetryOrCancel();
  EXPECT_EQ(ctl->GetState(), State::Connected);
  EXPECT_TRUE(ctl->EverConnected());
}

TEST_F(ControllerTest, GreetingOnDirectMakesItPrimaryAcrossRecreation) {
  StartConnected(Direct);
  EXPECT_EQ(ctl->PrimaryKind(), Direct);
  FakeSession* relay = RelayAt(0);
  // The relay is detached before it is stopped: a stop it reports at once
  // must not read as a failed start.
  auto calls = relay->Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "SetNotify(null)");
  EXPECT_EQ(calls.back(), "Stop(0)");
  EXPECT_EQ(DirectAt(1)->Sent().size(), 0u);
  EXPECT_EQ(pres->Calls().back(), "QueryState");

  // Answers go to the direct session now.
  ctl->OnState(true, false);
  EXPECT_EQ(DirectAt(1)->Sent().back(), R"(Send({"msg":"state","state":1},0))");
  EXPECT_TRUE(relay->Sent().empty());

  ctl->OnConnectButton();
  DirectAt(1)->Notify([](INetSessionNotify* n) { n->OnSent(true, 1); });
  DirectAt(1)->Notify([](INetSessionNotify* n) { n->OnStopped(true, 1); });
  Drain();
  ASSERT_EQ(made.size(), 4u);
  EXPECT_EQ(At(2)->Kind(), Direct);
  EXPECT_EQ(ctl->PairingAddress(), "http://base/tavmix/?os=1&sv=d2&id=r3&st=t3");
}

TEST_F(ControllerTest, RetiredSessionThatStopsInlineDoesNotUndoTheConnection) {
  configure = [](FakeSession* s) { s->stopInline = true; };
  StartConnected(Relay);
  EXPECT_EQ(ctl->GetState(), State::Connected);
  EXPECT_TRUE(Contains(DirectAt(1)->Calls(), "Stop(0)"));
}

TEST_F(ControllerTest, MessagesFromRetiredSessionAreDroppedUntilItIsDetached) {
  StartWaiting();
  RelayAt(0)->Message(R"({"msg":"hello"})");
  // The direct session is retired but not detached yet (that runs on the
  // UI thread); a greeting there now loses the race.
  DirectAt(1)->Message(R"({"msg":"hello"})");
  DirectAt(1)->Message(R"({"msg":"next"})");
  Drain();
  EXPECT_EQ(ctl->PrimaryKind(), Relay);
  EXPECT_TRUE(RelayAt(0)->Attached());
  EXPECT_FALSE(DirectAt(1)->Attached());
  int nexts = 0;
  for (const auto& c : pres->Calls()) nexts += c == "NextSlide";
  EXPECT_EQ(nexts, 0);
}

TEST_F(ControllerTest, CloseAsksOnlyWhileConnectedAndSaysQuit) {
  StartConnected();
  view.confirmAnswer = false;
  EXPECT_FALSE(ctl->OnClose());
  EXPECT_EQ(view.confirmAsked, 1);
  EXPECT_EQ(view.endResult, 0);
  EXPECT_FALSE(Contains(RelayAt(0)->Calls(), "Close"));

  view.confirmAnswer = true;
  ui.SetTimer(CMainController::kQueryStateTimer, 20);
  EXPECT_TRUE(ctl->OnClose());
  EXPECT_EQ(view.endResult, 2);
  EXPECT_FALSE(ui.Armed(CMainController::kQueryStateTimer));
  auto calls = RelayAt(0)->Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], R"(SendSync({"msg":"quit"}))");
  EXPECT_EQ(calls.back(), "Close");
}

TEST_F(ControllerTest, CloseWhileWaitingAsksNothing) {
  StartWaiting();
  EXPECT_TRUE(ctl->OnClose());
  EXPECT_EQ(view.confirmAsked, 0);
  EXPECT_TRUE(Contains(RelayAt(0)->Calls(), R"(SendSync({"msg":"quit"}))"));
}

TEST_F(ControllerTest, RequiredUpdateCreatesNoSession) {
  Make(CMainController::kUpdateRequired);
  ctl->InitWindow();
  EXPECT_TRUE(view.requiredUpdate);
  EXPECT_TRUE(made.empty());
}

TEST_F(ControllerTest, DestructionDetachesDropsQueueAndReleasesSessions) {
  StartConnected();
  bool ran = false;
  ctl->PostToUi([&ran] { ran = true; });
  FakeSession* relay = RelayAt(0);
  ctl.reset();
  EXPECT_FALSE(ran);
  EXPECT_FALSE(relay->Attached());
  EXPECT_EQ(relay->RefCount(), 1);  // only the test's reference is left
  EXPECT_EQ(DirectAt(1)->RefCount(), 1);
}

TEST_F(ControllerTest, PostedCallsRunInOrderAndMayPostMore) {
  Make();
  std::vector<int> order;
  ctl->PostToUi([&] {
    order.push_back(1);
    ctl->PostToUi([&] { order.push_back(3); });
  });
  ctl->PostToUi([&] { order.push_back(2); });
  EXPECT_EQ(ui.wakes.load(), 2);
  Drain();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(ControllerTest, VersionRecordNamesTheApplication) {
  Make();
  ctl->OnVersion(Wps, u"9.1.0");
  ctl->OnVersion(PowerPoint, u"16.0");
  auto r = reports.Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].WString(9), u"wps");
  EXPECT_EQ(r[0].WString(10), u"9.1.0");
  EXPECT_EQ(r[1].WString(9), u"office");
  EXPECT_EQ(r[1].Int(99), 1);
}

// A session that refuses to start (its port held by another program) is
// left out of the pairing address, so no phone is sent to that port.
TEST_F(ControllerTest, PairingAddressOffersOnlySessionsThatStarted) {
  struct Case {
    bool relayStarts, directStarts;
    bool hasRelay, hasDirect;
  };
  for (const Case& c : {Case{true, true, true, true}, Case{true, false, true, false},
                        Case{false, true, false, true}}) {
    configure = [&](FakeSession* f) {
      f->startResult = f->Kind() == Relay ? c.relayStarts : c.directStarts;
    };
    Make();
    std::string relay = "id=r" + std::to_string(made.size());
    std::string direct = "sv=d" + std::to_string(made.size() + 1);
    ctl->InitWindow();
    Drain();
    std::string address = ctl->PairingAddress();
    EXPECT_EQ(address.find(relay) != std::string::npos, c.hasRelay) << address;
    EXPECT_EQ(address.find(direct) != std::string::npos, c.hasDirect) << address;
    EXPECT_EQ(view.address, address);
    ctl.reset();
  }
}

// After a greeting on the direct session retires the relay, whatever the
// relay still reports before it is detached speaks for nobody.
TEST_F(ControllerTest, RetiredSessionsNotificationsAreIgnored) {
  StartWaiting();
  FakeSession* relay = RelayAt(0);
  FakeSession* direct = DirectAt(1);
  direct->connected = true;
  direct->Message(R"({"msg":"hello"})");
  // Not drained: the relay is retired but still attached.
  ASSERT_TRUE(relay->Attached());
  relay->ClearCalls();
  direct->ClearCalls();
  relay->Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
  relay->Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
  relay->Notify([](INetSessionNotify* n) { n->OnStarted(false, 0); });
  relay->Message(R"({"msg":"next"})");
  Drain();
  EXPECT_EQ(ctl->GetState(), State::Connected);
  EXPECT_EQ(direct->Count("DropPeer"), 0);
  EXPECT_EQ(direct->Count("Start(0)"), 0);
  std::vector<std::string> shown = pres->Calls();
  EXPECT_EQ(std::count(shown.begin(), shown.end(), "NextSlide"), 0);
  EXPECT_FALSE(relay->Attached());
}
