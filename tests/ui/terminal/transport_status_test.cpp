// The status line's view of the transports: a watched session records each
// start's outcome, loss and stop on the way, and passes every call and
// notification through unchanged.
#ifndef _WIN32

#include "ui/terminal/transport_status.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/app/fakes.h"

namespace {

// Counts what reaches the controller's side.
struct Receiver : INetSessionNotify {
  std::vector<std::string> seen;
  void OnStarted(bool ok, std::int32_t) override { seen.push_back(ok ? "started" : "failed"); }
  void OnStopped(bool, std::int32_t) override { seen.push_back("stopped"); }
  void OnSent(bool, std::int32_t) override { seen.push_back("sent"); }
  void OnNetworkLost() override { seen.push_back("lost"); }
  void OnPeerLost() override { seen.push_back("peer"); }
  void OnMessage(SessionType, JsonPtr&) override { seen.push_back("message"); }
};

// A session with a browser remote, like the direct session.
struct BrowserFakeSession : FakeSession, IBrowserRemoteSource {
  using FakeSession::FakeSession;
  std::string BrowserAddress() override { return "http://192.0.2.7:41204/r/0123"; }
  void SetSlidePictures(std::shared_ptr<ISlidePictureSource> source) override {
    pictures = std::move(source);
  }
  std::shared_ptr<ISlidePictureSource> pictures;
};

struct NoPictures : ISlidePictureSource {
  void GetSlidePicture(const std::string&, std::int32_t, std::int32_t, Answer answer) override {
    answer(Status::NotFound, nullptr);
  }
};

struct Step {
  const char* what;
  std::function<void(INetSession&, FakeSession&)> act;
  const char* status;
};

}  // namespace

TEST(TransportStatus, WatchedSessionsReportReachedBoundLostAndStopped) {
  const struct {
    SessionType kind;
    std::vector<Step> steps;
  } cases[] = {
      {Relay,
       {{"start", [](INetSession& s, FakeSession&) { s.Start(0); },
         "relay: reaching the broker...   LAN: off"},
        {"reached",
         [](INetSession&, FakeSession& f) {
           f.Notify([](INetSessionNotify* n) { n->OnStarted(true, 0); });
         },
         "relay: broker reached   LAN: off"},
        {"lost",
         [](INetSession&, FakeSession& f) {
           f.Notify([](INetSessionNotify* n) { n->OnNetworkLost(); });
         },
         "relay: broker not reached   LAN: off"},
        {"refused",
         [](INetSession& s, FakeSession& f) {
           f.startResult = false;
           s.Start(0);
         },
         "relay: broker not reached   LAN: off"},
        {"stopped", [](INetSession& s, FakeSession&) { s.Stop(1); }, "relay: off   LAN: off"}}},
      {Direct,
       {{"bound inside Start",
         [](INetSession& s, FakeSession& f) {
           f.startInline = true;
           s.Start(0);
         },
         "relay: off   LAN: port 5000 bound"},
        {"closed", [](INetSession& s, FakeSession&) { s.Close(); }, "relay: off   LAN: off"},
        {"port taken",
         [](INetSession& s, FakeSession& f) {
           f.startResult = false;
           s.Start(0);
         },
         "relay: off   LAN: port 5000 not bound"}}},
  };
  for (const auto& c : cases) {
    TransportStatus status;
    status.Set(Direct, LinkState::Off, 41203);
    int changes = 0;
    status.OnChange([&changes] { ++changes; });
    auto* fake = new FakeSession(c.kind, {{"k", "v"}}, nullptr);
    fake->AddRef();  // the test's
    fake->AddRef();  // the wrapper's
    auto* watched =
        new CWatchedSession(fake, c.kind, status, [] { return static_cast<std::uint16_t>(5000); });
    watched->AddRef();
    Receiver receiver;
    watched->SetNotify(&receiver);
    for (const Step& step : c.steps) {
      step.act(*watched, *fake);
      EXPECT_EQ(status.Text(), step.status) << step.what;
    }
    EXPECT_GT(changes, 0);
    // Everything passed through as it came, including the choice between a
    // browser's message and an app's, which only the session inside can make.
    EXPECT_EQ(watched->GetPairingParams(), fake->GetPairingParams());
    fake->browserPeer = true;
    fake->ClearCalls();
    JsonPtr app = JsonParse(u"{\"msg\":\"state\",\"state\":3}");
    JsonPtr browser = JsonParse(u"{\"msg\":\"state\",\"state\":3,\"slide\":{}}");
    EXPECT_TRUE(watched->SendByKind(app, browser, 7));
    EXPECT_EQ(fake->Calls(),
              std::vector<std::string>{c.kind == Direct
                                           ? "Send({\"msg\":\"state\",\"state\":3,\"slide\":{}},7)"
                                           : "Send({\"msg\":\"state\",\"state\":3},7)"});
    fake->Notify([](INetSessionNotify* n) {
      JsonPtr m = JsonParse(u"{}");
      n->OnMessage(Relay, m);
      n->OnPeerLost();
    });
    EXPECT_EQ(receiver.seen.back(), "peer");
    EXPECT_EQ(receiver.seen[receiver.seen.size() - 2], "message");
    // Detached: nothing reaches the receiver any more.
    watched->SetNotify(nullptr);
    std::size_t before = receiver.seen.size();
    fake->Notify([](INetSessionNotify* n) { n->OnPeerLost(); });
    EXPECT_EQ(receiver.seen.size(), before);
    watched->Release();
    fake->Release();
  }
}

// The browser remote of the session inside is the watched session's: its
// address shows, and the slide pictures handed to the watched session reach it.
TEST(TransportStatus, WatchedSessionPassesItsBrowserRemoteThrough) {
  TransportStatus status;
  auto* browser = new BrowserFakeSession(Direct, {}, nullptr);
  auto* plain = new FakeSession(Relay, {}, nullptr);
  const struct {
    FakeSession* inner;
    BrowserFakeSession* remote;
    std::string address;
  } cases[] = {{browser, browser, "http://192.0.2.7:41204/r/0123"}, {plain, nullptr, ""}};
  for (const auto& c : cases) {
    c.inner->AddRef();  // the test's
    c.inner->AddRef();  // the wrapper's
    auto* watched = new CWatchedSession(c.inner, Direct, status);
    watched->AddRef();
    auto pictures = std::make_shared<NoPictures>();
    EXPECT_EQ(watched->BrowserAddress(), c.address);
    watched->SetSlidePictures(pictures);
    if (c.remote) {
      EXPECT_EQ(c.remote->pictures, pictures);
    }
    watched->Release();
    c.inner->Release();
  }
}

#endif
