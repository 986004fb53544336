// The phone's messages and the PC's answers.
#include "tests/app/controller_fixture.h"

using State = CMainController;

namespace {

int CountOf(const std::vector<std::string>& calls, const std::string& call) {
  int n = 0;
  for (const auto& c : calls) n += c == call;
  return n;
}

}  // namespace

TEST_F(ControllerTest, CommandsReachThePresentationManager) {
  StartConnected();
  pres->Clear();
  pres->showRunning = true;
  for (const char* m : {"start", "stop", "next", "prev", "first", "last", "pen_up", "erase"}) {
    RelayAt(0)->Message(std::string(R"({"msg":")") + m + "\"}");
  }
  RelayAt(0)->Message(R"({"msg":"pen_down","x":0.25,"y":0.5})");
  RelayAt(0)->Message(R"({"y":0.75,"msg":"pen_move","x":0.5})");
  EXPECT_EQ(pres->Calls(),
            (std::vector<std::string>{"StartShow", "ExitShow", "NextSlide", "PreviousSlide",
                                      "FirstSlide", "LastSlide", "PointerUp", "EraseInk",
                                      "PointerDown(1,0.25,0.5)", "PointerMove(0.5,0.75)"}));
}

TEST_F(ControllerTest, AnyMessageConnectsAWaitingWindowAndByeLetsGo) {
  StartWaiting();
  RelayAt(0)->Message(R"({"msg":"something new"})");
  Drain();
  EXPECT_EQ(ctl->GetState(), State::Connected);
  EXPECT_TRUE(pres->Calls().empty());

  RelayAt(0)->Message(R"({"msg":"bye"})");
  EXPECT_EQ(RelayAt(0)->Count("DropPeer"), 1);
  Drain();
  EXPECT_EQ(ctl->GetState(), State::WaitingForPhone);
}

TEST_F(ControllerTest, MalformedMessagesAreSkippedButCountAsActivity) {
  StartWaiting();
  pres->showRunning = true;
  for (const char* text : {
           R"({"cmd":"next"})",                      // no "msg"
           R"({"msg":5})",                           // not a name
           R"({"msg":["next"]})",                    //
           R"({"msg":"pen_down","x":0.5})",          // no "y"
           R"({"msg":"pen_move","x":"0.5","y":1})",  // text, not a number
           R"({"msg":"laser_down","x":true,"y":0.1})", R"({"msg":"laser_move","x":null,"y":0.1})",
           R"({"msg":"pen_down","x":1e999,"y":0})",  // not finite
           R"([1,2,3])",                             // not an object
           R"({"msg":"NEXT"})",                      // names are case-sensitive
       }) {
    RelayAt(0)->Message(text);
  }
  EXPECT_TRUE(pres->Calls().empty());
  Drain();
  EXPECT_EQ(ctl->GetState(), State::Connected);
}

TEST_F(ControllerTest, LaserUsesTheApplicationsOwnPointerWhenItHasOne) {
  StartConnected();
  pres->Clear();
  pres->showRunning = true;
  pres->nativeLaser = true;
  RelayAt(0)->Message(R"({"msg":"laser_down","x":0.5,"y":0.25})");
  RelayAt(0)->Message(R"({"msg":"laser_move","x":0.6,"y":0.3})");
  RelayAt(0)->Message(R"({"msg":"laser_up"})");
  EXPECT_EQ(pres->Calls(), (std::vector<std::string>{"PointerDown(2,0.5,0.25)",
                                                     "PointerMove(0.6,0.3)", "PointerUp"}));
  Drain();
  EXPECT_EQ(view.dotCreated, 0);
}

TEST_F(ControllerTest, LaserIsDrawnByThePcWithoutNativeLaser) {
  StartConnected();
  pres->Clear();
  // No show: nothing at all.
  RelayAt(0)->Message(R"({"msg":"laser_down","x":0.5,"y":0.5})");
  Drain();
  EXPECT_EQ(view.dotCreated, 0);

  pres->showRunning = true;
  // A move before any press does not make a dot.
  RelayAt(0)->Message(R"({"msg":"laser_move","x":0.1,"y":0.1})");
  Drain();
  EXPECT_FALSE(view.dot);

  RelayAt(0)->Message(R"({"msg":"laser_down","x":0.5,"y":0.5})");
  RelayAt(0)->Message(R"({"msg":"laser_move","x":1.5,"y":-0.25})");  // not clamped
  Drain();
  EXPECT_TRUE(view.dot);
  EXPECT_DOUBLE_EQ(view.dotX, 1.5);
  EXPECT_DOUBLE_EQ(view.dotY, -0.25);

  RelayAt(0)->Message(R"({"msg":"laser_up"})");
  RelayAt(0)->Message(R"({"msg":"laser_up"})");
  Drain();
  EXPECT_FALSE(view.dot);
  EXPECT_EQ(view.dotCreated, 1);
  EXPECT_EQ(view.dotDestroyed, 1);
  EXPECT_TRUE(pres->Calls().empty());
}

TEST_F(ControllerTest, EndOfShowRemovesThePcDrawnDot) {
  StartConnected();
  pres->showRunning = true;
  RelayAt(0)->Message(R"({"msg":"laser_down","x":0.5,"y":0.5})");
  Drain();
  ASSERT_TRUE(view.dot);
  ctl->OnState(true, true);
  Drain();
  EXPECT_TRUE(view.dot);
  ctl->OnState(true, false);
  Drain();
  EXPECT_FALSE(view.dot);
}

TEST_F(ControllerTest, StateAnswersCarryTheWpsExplanationOnlyWhenNothingWasFound) {
  StartConnected();
  pres->userStartedWpp = true;
  ctl->OnState(false, false);
  ctl->OnState(true, false);
  ctl->OnState(false, true);
  ctl->OnCommandFailed(true, true);
  pres->userStartedWpp = false;
  ctl->OnCommandFailed(false, false);
  auto sent = RelayAt(0)->Sent();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(
      sent[0],
      "Send({\"msg\":\"state\",\"state\":0,\"error\":\"您已打开WPS演示。\\nWPS须在Pivaro运行以后"
      "再打开。\\n请重新打开WPS演示。\"},0)");
  EXPECT_EQ(sent[1], R"(Send({"msg":"state","state":1},0))");
  EXPECT_EQ(sent[2], R"(Send({"msg":"state","state":2},0))");
  EXPECT_EQ(sent[3], R"(Send({"msg":"state","state":3},0))");
  EXPECT_EQ(sent[4], R"(Send({"msg":"state","state":0},0))");
}

TEST_F(ControllerTest, NotesFollowTheLatestGreeting) {
  StartConnected(Relay, R"({"msg":"hello","note":1})");
  EXPECT_TRUE(ctl->NotesWanted());
  pres->Clear();
  ctl->OnPresentationEvent(PowerPoint, EventSlideShowNextSlide);
  EXPECT_EQ(pres->Calls(), std::vector<std::string>{"RequestNotes"});
  EXPECT_FALSE(ui.Armed(CMainController::kQueryStateTimer));
  ctl->OnState(true, true);  // a running show asks for the notes too
  EXPECT_EQ(pres->Calls().back(), "RequestNotes");
  ctl->OnNotes(u"第一页\n\"quoted\"");
  EXPECT_EQ(RelayAt(0)->Sent().back(),
            "Send({\"msg\":\"note\",\"note\":\"第一页\\n\\\"quoted\\\"\"},0)");

  RelayAt(0)->Message(R"({"msg":"hello"})");
  EXPECT_FALSE(ctl->NotesWanted());
  RelayAt(0)->Message(R"({"msg":"hello","note":4294967297})");  // low 32 bits are 1
  EXPECT_TRUE(ctl->NotesWanted());
  RelayAt(0)->Message(R"({"msg":"hello","note":0})");
  EXPECT_FALSE(ctl->NotesWanted());
  pres->Clear();
  size_t sent = RelayAt(0)->Sent().size();
  ctl->OnNotes(u"ignored");
  ctl->OnPresentationEvent(PowerPoint, EventSlideShowNextSlide);
  ctl->OnState(true, true);
  EXPECT_EQ(RelayAt(0)->Sent().size(), sent + 1);  // only the state
  EXPECT_EQ(CountOf(pres->Calls(), "RequestNotes"), 0);
}

TEST_F(ControllerTest, PresentationEventsCollapseIntoOneDelayedQuery) {
  StartConnected();
  pres->Clear();
  ctl->OnPresentationEvent(PowerPoint, EventPresentationOpen);
  ctl->OnPresentationEvent(PowerPoint, EventSlideShowBegin);
  Drain();
  EXPECT_EQ(ui.armed[CMainController::kQueryStateTimer], 20u);
  EXPECT_EQ(ui.arms, 2);  // armed again by the second event: delay restarts
  EXPECT_EQ(pres->Calls(), std::vector<std::string>{"RequestVersion(1)"});
  ctl->OnTimer(CMainController::kQueryStateTimer);
  EXPECT_FALSE(ui.Armed(CMainController::kQueryStateTimer));
  EXPECT_EQ(pres->Calls().back(), "QueryState");
  EXPECT_EQ(CountOf(pres->Calls(), "QueryState"), 1);
}

TEST_F(ControllerTest, CommandFailureWithoutShowHidesTheDotTwice) {
  StartConnected();
  pres->showRunning = true;
  RelayAt(0)->Message(R"({"msg":"laser_down","x":0.5,"y":0.5})");
  Drain();
  pres->showRunning = false;
  ctl->OnCommandFailed(true, false);
  Drain();
  EXPECT_FALSE(view.dot);
  EXPECT_EQ(view.dotDestroyed, 1);
  EXPECT_EQ(RelayAt(0)->Sent().back(), R"(Send({"msg":"state","state":1},0))");
}

// The phone's loss and its return, both before the UI thread ran: the window
// ends up connected, not waiting beside an attached phone.
TEST_F(ControllerTest, AMessageAfterAPendingLossStillEndsConnected) {
  StartConnected();
  RelayAt(0)->Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
  RelayAt(0)->Message(R"({"msg":"hello"})");
  Drain();
  EXPECT_EQ(ctl->GetState(), CMainController::Connected);
}
