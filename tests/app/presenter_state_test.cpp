// The presenter view in the controller: where the show stands reaches a
// browser phone in its "state" message and again at every move, while app
// phones (relay or LAN) hear exactly what they always heard; "goto" takes
// whole slide numbers of the deck only; and slide pictures are asked of the
// manager through the controller's cache.
#include <memory>
#include <string>
#include <vector>

#include "tests/app/controller_fixture.h"

namespace {

SlidePosition Place(std::int32_t index, std::int32_t count = 12) {
  SlidePosition p;
  p.index = index;
  p.count = count;
  p.aspect = 16.0 / 9;
  p.revision = "k3j9x0a1b2";
  p.images = true;
  return p;
}

std::string BrowserState(int state, int index) {
  return R"(Send({"msg":"state","state":)" + std::to_string(state) + R"(,"slide":{"index":)" +
         std::to_string(index) +
         R"(,"count":12,"aspect":1.7778,"revision":"k3j9x0a1b2","images":true}},0))";
}

class PresenterStateTest : public ControllerTest {
 protected:
  // Connected over `kind`, the session's phone a browser or not, and the
  // calls so far forgotten.
  FakeSession* Connect(SessionType kind, bool browser) {
    StartConnected(kind);
    FakeSession* s = kind == Relay ? RelayAt(0) : DirectAt(1);
    s->browserPeer = browser;
    s->ClearCalls();
    pres->Clear();
    return s;
  }
};

TEST_F(PresenterStateTest, OnlyABrowserHearsWhereTheShowStands) {
  struct Case {
    const char* name;
    SessionType kind;
    bool browser;
    std::vector<std::string> sent;
  } cases[] = {
      // App phones: one state message, the same text as ever, and nothing
      // when the slide changes.
      {"relay app", Relay, false, {R"(Send({"msg":"state","state":3},0))"}},
      {"LAN app", Direct, false, {R"(Send({"msg":"state","state":3},0))"}},
      // A browser: the state with the slide, then a fresh one per move.
      {"browser", Direct, true, {BrowserState(3, 3), BrowserState(3, 4), BrowserState(3, 5)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSession* s = Connect(c.kind, c.browser);
    IPowerPointMgrNotify* manager = pres->notify;
    manager->OnSlidePosition(Place(3));
    manager->OnState(true, true);
    manager->OnSlidePosition(Place(3));  // repeated with every state answer: no news
    manager->OnSlidePosition(Place(4));
    manager->OnSlidePosition(Place(4));
    manager->OnSlidePosition(Place(5));
    Drain();
    EXPECT_EQ(s->Sent(), c.sent);
    EXPECT_EQ(ctl->Position(), Place(5));
    TearDown();
    made.clear();
  }
}

TEST_F(PresenterStateTest, NoStateYetMeansNoMoveToTell) {
  FakeSession* s = Connect(Direct, true);
  pres->notify->OnSlidePosition(Place(2));
  EXPECT_TRUE(s->Sent().empty());
  // The first state carries the position learnt before it.
  pres->notify->OnState(true, false);
  EXPECT_EQ(s->Sent(), std::vector<std::string>{BrowserState(1, 2)});
}

TEST_F(PresenterStateTest, GotoTakesWholeSlideNumbersOfTheDeckOnly) {
  Connect(Direct, true);
  // Before the deck is known, nothing is a slide.
  JsonPtr early = Parse(R"({"msg":"goto","slide":1})");
  ctl->OnMessage(Direct, early);
  EXPECT_TRUE(pres->Calls().empty());

  pres->notify->OnSlidePosition(Place(5));
  struct Case {
    const char* message;
    const char* call;  // null: dropped
  } cases[] = {
      {R"({"msg":"goto","slide":1})", "GotoSlide(1)"},
      {R"({"msg":"goto","slide":12})", "GotoSlide(12)"},
      {R"({"msg":"goto","slide":7.0})", "GotoSlide(7)"},
      {R"({"msg":"goto","slide":0})", nullptr},
      {R"({"msg":"goto","slide":13})", nullptr},
      {R"({"msg":"goto","slide":-1})", nullptr},
      {R"({"msg":"goto","slide":2.5})", nullptr},
      {R"({"msg":"goto","slide":1e300})", nullptr},
      {R"({"msg":"goto","slide":-1e300})", nullptr},
      {R"({"msg":"goto","slide":"3"})", nullptr},
      {R"({"msg":"goto","slide":true})", nullptr},
      {R"({"msg":"goto","slide":null})", nullptr},
      {R"({"msg":"goto","slide":[3]})", nullptr},
      {R"({"msg":"goto"})", nullptr},
      {R"({"msg":"goto","index":3})", nullptr},
  };
  for (const Case& c : cases) {
    pres->Clear();
    JsonPtr m = Parse(c.message);
    ctl->OnMessage(Direct, m);
    std::vector<std::string> expected;
    if (c.call) expected.push_back(c.call);
    EXPECT_EQ(pres->Calls(), expected) << c.message;
  }
  Drain();
  EXPECT_EQ(ctl->GetState(), CMainController::Connected);
}

TEST_F(PresenterStateTest, PicturesAreAskedOfTheManagerOnceAndServedFromTheCache) {
  Connect(Direct, true);
  pres->notify->OnSlidePosition(Place(2));
  std::vector<std::string> heard;
  auto get = [&](std::int32_t index) {
    ctl->SlideImages().GetSlidePicture(
        "k3j9x0a1b2", index, 320,
        [&](ISlidePictureSource::Status s, std::shared_ptr<const std::string> png) {
          heard.push_back(s == ISlidePictureSource::Status::Ok ? *png : "failed");
        });
  };
  get(2);
  get(2);
  EXPECT_EQ(pres->Calls(), std::vector<std::string>{"RequestSlideImage(k3j9x0a1b2,2,320)"});
  pres->notify->OnSlideImage(SlideImage{"k3j9x0a1b2", 2, 320, "png:2"});
  EXPECT_EQ(heard, (std::vector<std::string>{"png:2", "png:2"}));

  // The next move prefetches around the new slide at the width asked for.
  pres->Clear();
  pres->answerPictures = true;
  pres->notify->OnSlidePosition(Place(3));
  EXPECT_EQ(pres->Calls(), (std::vector<std::string>{"RequestSlideImage(k3j9x0a1b2,3,320)",
                                                     "RequestSlideImage(k3j9x0a1b2,4,320)"}));
  get(4);
  EXPECT_EQ(heard.back(), "png:4");
  EXPECT_EQ(pres->Calls().size(), 2u);
}

}  // namespace
