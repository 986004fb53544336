// The session contract as the controller sees it: reference counting,
// CreateSession, the notification rules, and survival of hostile traffic.
#include <random>

#include "tests/net/direct_test_phone.h"

namespace {

using namespace direct_test;

class Counted : public referenced_base {
 public:
  explicit Counted(int& destroyed) : destroyed_(destroyed) {}
  void Destroy() override {
    ++destroyed_;
    referenced_base::Destroy();
  }

 private:
  int& destroyed_;
};

TEST(ReferencedBase, LastReleaseDestroysOnceAndNullIsTolerated) {
  int destroyed = 0;
  Counted* object = new Counted(destroyed);
  EXPECT_EQ(object->RefCount(), 0);
  AddRef(object);
  AddRef(object);
  Release(object);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(object->RefCount(), 1);
  Release(object);
  EXPECT_EQ(destroyed, 1);
  AddRef(nullptr);
  Release(nullptr);
}

TEST(CreateSession, DirectComesWithOneReferenceAndItsPairingParameter) {
  INetSession* session = CreateSession(Direct);
  ASSERT_NE(session, nullptr);
  EXPECT_NE(dynamic_cast<CDirectSession*>(session), nullptr);
  EXPECT_EQ(session->RefCount(), 1);
  std::vector<PairingParam> params = session->GetPairingParams();
  ASSERT_EQ(params.size(), 1u);
  EXPECT_EQ(params[0].first, "sv");
  EXPECT_EQ(params[0].second.size() % 12, 0u);
  EXPECT_FALSE(session->IsConnected());
  session->Release();

  EXPECT_EQ(CreateSession(static_cast<SessionType>(7)), nullptr);
}

using DirectNotify = DirectSessionTest;

// Every notification comes from the I/O thread, Start's and Stop's too: a
// receiver may then call back into the session without waiting on itself.
TEST_F(DirectNotify, StartAndStopNotifyFromTheIoThread) {
  std::thread::id self = std::this_thread::get_id();
  ASSERT_TRUE(recorder.WaitFor(Event::Started));
  std::vector<Event> events = recorder.Events();
  ASSERT_EQ(events.size(), 1u);  // the fixture's Start(0)
  EXPECT_TRUE(events[0].ok);
  EXPECT_NE(events[0].thread, self);

  TcpPhone phone(Tcp());
  phone.SendJson("{\"msg\":\"hello\"}");
  ASSERT_FALSE(recorder.MessageText(0).empty());
  EXPECT_EQ(recorder.Events().back().thread, events[0].thread);

  ASSERT_TRUE(session->Stop(3));
  EXPECT_FALSE(session->IsConnected());
  EXPECT_EQ(session->TcpPort(), 0);
  ASSERT_TRUE(recorder.WaitFor(Event::Stopped));
  events = recorder.Events();
  EXPECT_TRUE(events.back().ok);
  EXPECT_EQ(events.back().cookie, 3);
  EXPECT_EQ(events.back().thread, events[0].thread);
  EXPECT_TRUE(phone.WaitClosed());

  // A stopped session starts again on fresh sockets.
  ASSERT_TRUE(session->Start(4));
  ASSERT_TRUE(recorder.WaitFor(Event::Started, 2));
  EXPECT_EQ(recorder.Events().back().cookie, 4);
  UdpPhone udp(Udp());
  EXPECT_EQ(udp.Ask("{\"msg\":\"conn\",\"cuid\":\"c\"}"), "{\"msg\":\"conn\"}");
}

// A receiver that closes the session from inside its start notification
// (the controller stops a primary whose start failed) while the I/O thread
// has a message to deliver: neither waits for the other.
TEST_F(DirectNotify, ReceiverMayCloseTheSessionFromInsideItsNotification) {
  ASSERT_TRUE(recorder.WaitFor(Event::Started));
  TcpPhone phone(Tcp());
  std::atomic<int> closes{0};
  recorder.SetOnMessage([&](JsonPtr&) {
    if (closes++ == 0) session->Close();
  });
  auto began = std::chrono::steady_clock::now();
  phone.SendJson("{\"msg\":\"hello\"}");
  ASSERT_TRUE(recorder.WaitFor(Event::Message));
  EXPECT_TRUE(phone.WaitClosed());
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
}

TEST_F(DirectNotify, StartWithoutNetworkReportsFailureButIsAccepted) {
  ASSERT_TRUE(recorder.WaitFor(Event::Started));
  session->Close();
  network = false;
  ASSERT_TRUE(session->Start(8));
  ASSERT_TRUE(recorder.WaitFor(Event::Started, 2));
  Event last = recorder.Events().back();
  EXPECT_FALSE(last.ok);
  EXPECT_EQ(last.cookie, 8);
  EXPECT_EQ(session->TcpPort(), 0);
}

TEST_F(DirectNotify, StartFailsWithoutNotificationWhenThePortIsTaken) {
  DirectSessionOptions options;
  options.port = Tcp();
  options.networkAlive = [] { return true; };
  CDirectSession* other = new CDirectSession(options);
  other->AddRef();
  Recorder otherRecorder;
  other->SetNotify(&otherRecorder);
  EXPECT_FALSE(other->Start(1));
  EXPECT_TRUE(otherRecorder.Events().empty());
  other->SetNotify(nullptr);
  other->Release();
}

TEST_F(DirectNotify, SendWithoutPhoneIsRefusedSilently) {
  JsonPtr message = MakeMessage(u"state");
  EXPECT_FALSE(session->Send(message, 1));
  EXPECT_FALSE(session->SendSync(message));
  JsonPtr notAnObject = JsonNew(JsonKind::Number);
  EXPECT_FALSE(session->Send(notAnObject, 1));
  // A window in which no completion may come.
  EXPECT_TRUE(recorder.None(Event::Sent, 200ms));
}

TEST_F(DirectNotify, ReceiverMayAnswerFromInsideOnMessage) {
  recorder.SetOnMessage([this](JsonPtr& message) {
    JsonPtr answer = MakeMessage(u"echo");
    answer.Append(JsonNewString(u"of", message.Find(u"msg")->AsString()));
    session->Send(answer, 2);
  });
  TcpPhone tcp(Tcp());
  for (const char* msg : {"a", "b", "c"}) {
    tcp.SendJson(std::string("{\"msg\":\"") + msg + "\"}");
    std::string text;
    ASSERT_TRUE(tcp.Receive(text));
    EXPECT_EQ(Member(text, u"of"), msg);
  }
  EXPECT_TRUE(recorder.WaitFor(Event::Sent, 3));
}

TEST_F(DirectNotify, NothingArrivesAfterSetNotifyNullReturns) {
  std::atomic<bool> detached{false};
  std::atomic<int> late{0};
  recorder.SetOnMessage([&](JsonPtr&) {
    std::this_thread::sleep_for(1ms);  // widen the window of a delivery in progress
    if (detached) ++late;
  });
  UdpPhone phone(Udp());
  ASSERT_EQ(Member(phone.Ask("{\"msg\":\"conn\",\"cuid\":\"c\"}"), u"msg"), "conn");
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    for (int i = 0; i < 2000 && !stop; ++i) {
      phone.SendJson("{\"msg\":\"next\"}");
      std::this_thread::sleep_for(200us);
    }
  });
  ASSERT_TRUE(recorder.WaitFor(Event::Message, 20));
  session->SetNotify(nullptr);
  detached = true;
  std::size_t seen = recorder.Count(Event::Message);
  // A window in which the sender goes on and nothing may be told.
  std::this_thread::sleep_for(100ms);
  stop = true;
  sender.join();
  EXPECT_EQ(late.load(), 0);
  EXPECT_EQ(recorder.Count(Event::Message), seen);
}

// Random malformed traffic on both transports: whatever arrives, the session
// neither crashes nor hangs, and a well-behaved phone is still served.
TEST_F(DirectNotify, SurvivesRandomMalformedFramesAndJson) {
  std::mt19937 random(12345);
  auto bytes = [&](std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random() & 0xff);
    return s;
  };
  const std::vector<std::string> texts = {"",
                                          "{",
                                          "}",
                                          "{\"msg\":",
                                          "{\"msg\":\"conn\",\"cuid\":",
                                          "[\"msg\"]",
                                          "{\"msg\":1e999}",
                                          "{\"msg\":\"\\ud800\"}",
                                          "{\"msg\":{\"msg\":\"x\"}}",
                                          "{\"a\":[[[[[[[[[[[[[[]]]]]]]]]]]]]]}",
                                          "null",
                                          "\xc0\xaf",
                                          "{\"msg\":\"heartbeat\"",
                                          "{\"msg\":\"disc\"}x"};
  auto frame = [&](int variant) {
    std::string text = texts[random() % texts.size()];
    if (variant == 0) return EncodeFrame(text);
    if (variant == 1) return EncodeFrame(text + bytes(random() % 40));
    std::string f = EncodeFrame(bytes(random() % 200));
    if (variant == 2) f[8] = static_cast<char>(random());  // another kind
    if (variant == 3) f[4] = static_cast<char>(random());  // another length
    if (variant == 4) f[0] = 'X';
    return f;
  };

  recorder.SetOnMessage([this](JsonPtr&) {
    JsonPtr answer = MakeMessage(u"alive");
    session->Send(answer, 0);
  });
  // The TCP phones stay open until the session has read them: closing a
  // socket with unread answers resets it, and the reset discards the rest.
  std::vector<std::unique_ptr<TcpPhone>> tcpPhones;
  Clock::time_point end = Clock::now() + 3s;
  int rounds = 0;
  for (; rounds < 200 && Clock::now() < end; ++rounds) {
    UdpPhone udp(Udp(), rounds % 2 ? "127.0.0.1" : "127.0.0.3");
    if (rounds % 5 == 0) udp.SendJson("{\"msg\":\"conn\",\"cuid\":\"fuzz\"}");
    for (int i = 0; i < 5; ++i) udp.SendRaw(frame(random() % 5).substr(0, 256));
    udp.SendRaw(bytes(random() % 300));

    tcpPhones.push_back(std::make_unique<TcpPhone>(Tcp(), rounds % 3 ? "127.0.0.1" : "127.0.0.3"));
    std::string stream;
    for (int i = 0; i < 4; ++i) stream += frame(random() % 4);
    if (rounds % 4 == 0) stream += bytes(random() % 64);
    tcpPhones.back()->SendRaw(stream);
    if (rounds % 10 == 0) session->DropPeer();
  }
  EXPECT_GT(rounds, 20);
  // Well-formed objects among the noise do reach the receiver (how many
  // depends on which phone held the slot when).
  EXPECT_TRUE(recorder.WaitFor(Event::Message, 1, 3s));
  tcpPhones.clear();

  // Fresh sockets, so that no late fuzz frame holds the session.
  ASSERT_TRUE(session->Close());
  ASSERT_TRUE(session->Start(0));
  TcpPhone good(Tcp(), "127.0.0.4");
  good.SendJson("{\"msg\":\"ping\"}");
  std::string text;
  ASSERT_TRUE(good.Receive(text, 5s));
  EXPECT_EQ(Member(text, u"msg"), "alive");
}

}  // namespace

// The controller may drop the last reference inside a notification, that is
// on the session's own I/O thread; the session then ends elsewhere.
TEST_F(DirectNotify, LastReleaseInsideANotificationEndsTheSession) {
  TcpPhone phone(Tcp());
  CDirectSession* owned = session;
  session = nullptr;  // released below, not by the fixture
  // The session's thread is still inside this receiver when the test ends.
  static Recorder lasting;
  owned->SetNotify(&lasting);
  lasting.SetOnMessage([owned](JsonPtr&) {
    owned->SetNotify(nullptr);
    owned->Release();
  });
  phone.SendJson("{\"msg\":\"hello\"}");
  ASSERT_TRUE(lasting.WaitFor(Event::Message));
  EXPECT_TRUE(phone.WaitClosed());
}
