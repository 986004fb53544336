// The status line's view of the transports: a watched session records each
// start's outcome, loss and stop on the way, and passes every call and
// notification through unchanged.
#ifndef _WIN32

#include "ui/terminal/transport_status.h"

#include <gtest/gtest.h>

#include <functional>
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
    // Everything passed through as it came.
    EXPECT_EQ(watched->GetPairingParams(), fake->GetPairingParams());
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

#endif
