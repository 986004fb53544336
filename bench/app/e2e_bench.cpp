// End-to-end latency on loopback: a phone command until the presentation
// application's automation member runs, and until the PC's "state" answer is
// back at the phone, over the direct session (TCP) and the relay (a local
// Mosquitto). Bare transports run in the same process for comparison, one
// way against one way and round trip against round trip: a frame written
// until the receiving thread has read it, and an Asio TCP echo of it; a
// Paho QoS 2 publish until the other client's message-arrived, and the same
// publish answered by the other client. Both Paho clients share one topic
// of the session's layout, as PC and phone do, and send payloads of the
// product's size; every QoS 2 exchange ends before the next sample. Each benchmark reports the
// median and the 99th percentile of its iterations in microseconds (and the slowest).
#include <MQTTAsync.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/app/timed_automation.h"
#include "net/direct_frame.h"
#include "net/mqtt_nodelay.h"
#include "presentation/automation.h"
#include "tests/e2e/support/pc_harness.h"
#include "tests/support/mosquitto_broker.h"
#include "tools/phone/phone_link.h"

namespace {

using bench::Clock;
using bench::kLimit;
using bench::Micros;
using bench::NavigationClock;
using bench::Report;
using bench::TimedFactory;
using namespace std::chrono_literals;

// --- One PC and one broker for the whole run --------------------------------

struct World {
  MosquittoBroker broker;
  std::shared_ptr<NavigationClock> clock = std::make_shared<NavigationClock>();
  std::unique_ptr<e2e::PcHarness> pc;
  bool ok = false;

  World() {
    if (!broker.Start()) {
      std::fprintf(stderr, "broker: %s\n", broker.Error().c_str());
      return;
    }
    ok = true;
  }

  // A fresh PC (so each transport pairs from WaitingForPhone) and a phone
  // greeted over `transport`.
  std::unique_ptr<phone::PhoneLink> PairedPhone(phone::Transport transport, std::string& why) {
    if (pc) {
      pc.reset();
      // Relay sessions made within the same second share their client id;
      // the next PC's must not take over the last one's.
      std::this_thread::sleep_for(1100ms);
    }
    e2e::PcOptions options;
    options.brokerUri = broker.Uri();
    auto clockRef = clock;
    options.wrapAutomation = [clockRef](std::shared_ptr<IAutomationFactory> inner) {
      return TimedFactory(std::move(inner), clockRef);
    };
    pc = std::make_unique<e2e::PcHarness>(options);
    if (!pc->Start()) {
      why = "the PC did not start, state " + std::to_string(pc->GetState());
      return nullptr;
    }
    auto link = pc->JoinPhone(transport, false, &why);
    phone::PhoneMessage m;
    if (link && !(link->SendHello() && link->WaitFor("state", m, kLimit))) {
      why = "no answer to the greeting";
      link.reset();
    }
    return link;
  }
};

World& TheWorld() {
  static World world;
  return world;
}

// A phone greeted over `transport` by a fresh PC; null (and the benchmark
// marked failed) when pairing did not work.
std::unique_ptr<phone::PhoneLink> PairOrSkip(benchmark::State& state, phone::Transport transport) {
  World& w = TheWorld();
  std::string why = "no broker";
  auto link = w.ok ? w.PairedPhone(transport, why) : nullptr;
  if (!link) state.SkipWithError(("no paired phone: " + why).c_str());
  return link;
}

// Phone "next"/"prev" during a show until View.Next/Previous runs.
void CommandToAutomation(benchmark::State& state, phone::Transport transport) {
  World& w = TheWorld();
  auto link = PairOrSkip(state, transport);
  if (!link) return;
  link->Send(R"({"msg":"start"})");
  e2e::WaitUntil([&] { return w.pc->App()->Snapshot().showRunning; }, kLimit);
  std::vector<double> micros;
  bool forward = true;
  for (auto _ : state) {
    const std::uint64_t target = w.clock->Calls() + 1;
    const auto sent = Clock::now();
    link->Send(forward ? R"({"msg":"next"})" : R"({"msg":"prev"})");
    forward = !forward;
    Clock::time_point called;
    if (!w.clock->WaitCall(target, called)) {
      state.SkipWithError("no automation call");
      break;
    }
    micros.push_back(Micros(called - sent));
    state.SetIterationTime(std::chrono::duration<double>(called - sent).count());
  }
  link->Send(R"({"msg":"stop"})");
  Report(state, micros);
}

// Phone "next" with no show running until the "state" answer is back.
void CommandToStateAnswer(benchmark::State& state, phone::Transport transport) {
  auto link = PairOrSkip(state, transport);
  if (!link) return;
  std::vector<double> micros;
  phone::PhoneMessage m;
  for (auto _ : state) {
    const auto sent = Clock::now();
    link->Send(R"({"msg":"next"})");
    if (!link->WaitFor("state", m, kLimit)) {
      state.SkipWithError("no state answer");
      break;
    }
    micros.push_back(Micros(m.received - sent));
    state.SetIterationTime(std::chrono::duration<double>(m.received - sent).count());
  }
  Report(state, micros);
}

// --- Bare transports ----------------------------------------------------------

// A frame of the size of {"msg":"next"} to an Asio echo server and back.
void BM_BareTcpEcho(benchmark::State& state) {
  namespace asio = boost::asio;
  using asio::ip::tcp;
  asio::io_context serverIo;
  tcp::acceptor acceptor(serverIo, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  std::thread server([&] {
    boost::system::error_code ec;
    tcp::socket peer(serverIo);
    acceptor.accept(peer, ec);
    if (ec) return;
    peer.set_option(tcp::no_delay(true), ec);
    char buffer[4096];
    for (;;) {
      std::size_t n = peer.read_some(asio::buffer(buffer), ec);
      if (ec) return;
      asio::write(peer, asio::buffer(buffer, n), ec);
      if (ec) return;
    }
  });
  asio::io_context io;
  tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect(acceptor.local_endpoint(), ec);
  socket.set_option(tcp::no_delay(true), ec);
  const std::string frame = EncodeFrame(R"({"msg":"next"})");
  std::string back(frame.size(), '\0');
  std::vector<double> micros;
  for (auto _ : state) {
    const auto sent = Clock::now();
    asio::write(socket, asio::buffer(frame), ec);
    if (!ec) asio::read(socket, asio::buffer(back), ec);
    if (ec) {
      state.SkipWithError("echo failed");
      break;
    }
    const auto done = Clock::now();
    micros.push_back(Micros(done - sent));
    state.SetIterationTime(std::chrono::duration<double>(done - sent).count());
  }
  socket.close(ec);
  server.join();
  Report(state, micros);
}

// A frame of the size of {"msg":"next"} until the receiving thread's read
// of it returns; the bytes are checked there. `posted`: the sender hands
// the write to its own io thread, as the phone simulator's links do, so
// that the one-way commands, which are sent that way, are compared with
// a transport that pays the same hand-off on the phone's side.
void BareTcpOneWay(benchmark::State& state, bool posted) {
  namespace asio = boost::asio;
  using asio::ip::tcp;
  asio::io_context serverIo;
  tcp::acceptor acceptor(serverIo, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
  const std::string frame = EncodeFrame(R"({"msg":"next"})");
  std::mutex lock;
  std::condition_variable arrived;
  std::uint64_t frames = 0;
  bool wrong = false;
  Clock::time_point readAt;
  std::thread server([&] {
    boost::system::error_code ec;
    tcp::socket peer(serverIo);
    acceptor.accept(peer, ec);
    if (ec) return;
    peer.set_option(tcp::no_delay(true), ec);
    std::string got(frame.size(), '\0');
    for (;;) {
      asio::read(peer, asio::buffer(&got[0], got.size()), ec);
      const auto now = Clock::now();
      if (ec) return;
      {
        std::lock_guard<std::mutex> guard(lock);
        ++frames;
        readAt = now;
        wrong = wrong || got != frame;
      }
      arrived.notify_all();
    }
  });
  asio::io_context io;
  tcp::socket socket(io);
  boost::system::error_code ec;
  socket.connect(acceptor.local_endpoint(), ec);
  socket.set_option(tcp::no_delay(true), ec);
  auto work = asio::make_work_guard(io);
  std::thread sender;
  if (posted) sender = std::thread([&io] { io.run(); });
  std::vector<double> micros;
  std::uint64_t sent = 0;
  for (auto _ : state) {
    const auto begin = Clock::now();
    if (posted) {
      asio::post(io, [&] {
        asio::async_write(socket, asio::buffer(frame),
                          [](const boost::system::error_code&, std::size_t) {});
      });
    } else {
      asio::write(socket, asio::buffer(frame), ec);
    }
    ++sent;
    std::unique_lock<std::mutex> guard(lock);
    if (ec || !arrived.wait_for(guard, kLimit, [&] { return frames >= sent; }) || wrong) {
      state.SkipWithError(wrong ? "frame changed on the way" : "frame not received");
      break;
    }
    const auto took = readAt - begin;
    guard.unlock();
    micros.push_back(Micros(took));
    state.SetIterationTime(std::chrono::duration<double>(took).count());
  }
  if (posted) {
    asio::post(io, [&] {
      boost::system::error_code ignored;
      socket.close(ignored);
    });
    work.reset();
    sender.join();
  } else {
    socket.close(ec);
  }
  server.join();
  Report(state, micros);
}

void BM_BareTcpOneWay(benchmark::State& state) { BareTcpOneWay(state, false); }
void BM_BareTcpOneWayPosted(benchmark::State& state) { BareTcpOneWay(state, true); }

// The product's relay layout: one topic "kestil/<guid>/<suffix>" for both
// ends, and payloads addressed with the phone's and the PC's ids.
constexpr char kBareTopic[] = "kestil/3f9a6c2e8b1d4f7a9c0e5b2d6a8f1c3e/1700000000_12349";
constexpr char kBareCommand[] =
    R"({"msg":"next","src":"phone_0123456789abcdef","dst":"3f9a6c2e8b1d4f7a9c0e5b2d6a8f1c3e_1700000000_12349"})";
constexpr char kBareAnswer[] =
    R"({"msg":"state","state":1,"src":"3f9a6c2e8b1d4f7a9c0e5b2d6a8f1c3e_1700000000_12349","dst":"phone_0123456789abcdef"})";

// Two Paho asynchronous clients on the broker, both subscribed to the one
// shared topic: the asker publishes a command at QoS 2; the answerer notes
// its arrival and, when answering, publishes the answer at QoS 2 on the
// same topic (the shape of a phone command and the PC's answer). Each
// hears its own publications too and tells them apart by the payload.
class PahoPair {
 public:
  explicit PahoPair(const std::string& uri) : uri_(uri) {}
  ~PahoPair() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      closing_ = true;
    }
    changed_.notify_all();
    if (answering_.joinable()) answering_.join();
    for (MQTTAsync* c : {&asker_, &answerer_}) {
      if (!*c) continue;
      MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
      opts.timeout = 1000;
      MQTTAsync_disconnect(*c, &opts);
    }
    std::this_thread::sleep_for(200ms);
    for (MQTTAsync* c : {&asker_, &answerer_}) {
      if (*c) MQTTAsync_destroy(c);
    }
  }

  bool Setup(bool answer) {
    answer_ = answer;
    if (!Join(&answerer_, "bench-answerer", kBareTopic, &PahoPair::Arrived) ||
        !Join(&asker_, "bench-asker", kBareTopic, &PahoPair::Answered)) {
      return false;
    }
    if (answer_) answering_ = std::thread([this] { AnswerCommands(); });
    return true;
  }

  // Command until the answer is back at the asker (answering pair), or
  // until the command reaches the answerer (one way); then, outside the
  // sample, until every QoS 2 exchange of it has ended.
  bool Sample(Clock::duration& took) {
    std::unique_lock<std::mutex> guard(lock_);
    const std::uint64_t target = (answer_ ? answers_ : commands_) + 1;
    const std::uint64_t sentTarget = completed_ + (answer_ ? 2 : 1);
    guard.unlock();
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    options.onSuccess = &PahoPair::Completed;
    options.context = this;
    const auto sent = Clock::now();
    if (MQTTAsync_send(asker_, kBareTopic, sizeof kBareCommand - 1, kBareCommand, 2, 0, &options) !=
        MQTTASYNC_SUCCESS) {
      return false;
    }
    guard.lock();
    if (!changed_.wait_for(guard, kLimit, [&] {
          return (answer_ ? answers_ : commands_) >= target && completed_ >= sentTarget;
        })) {
      return false;
    }
    took = (answer_ ? answeredAt_ : commandAt_) - sent;
    return true;
  }

 private:
  bool Join(MQTTAsync* client, const char* id, const char* topic, MQTTAsync_messageArrived* on) {
    if (MQTTAsync_create(client, uri_.c_str(), id, MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
        MQTTASYNC_SUCCESS) {
      *client = nullptr;
      return false;
    }
    MQTTAsync_setCallbacks(*client, this, nullptr, on, nullptr);
    // Without Nagle's algorithm, like the relay session and the phone.
    const auto before = MqttTcpSockets();
    MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
    opts.cleansession = 1;
    opts.keepAliveInterval = 30;
    opts.onSuccess = &PahoPair::Done;
    opts.context = this;
    if (MQTTAsync_connect(*client, &opts) != MQTTASYNC_SUCCESS || !WaitDone()) return false;
    // Subscribed from here, not from the connect callback: Paho's own
    // functions are never called on its threads.
    MQTTAsync_responseOptions sub = MQTTAsync_responseOptions_initializer;
    sub.onSuccess = &PahoPair::Done;
    sub.context = this;
    if (MQTTAsync_subscribe(*client, topic, 2, &sub) != MQTTASYNC_SUCCESS || !WaitDone()) {
      return false;
    }
    MqttSetNoDelayOnNewSockets(before, MqttUriPort(uri_));
    return true;
  }
  bool WaitDone() {
    std::unique_lock<std::mutex> guard(lock_);
    if (!changed_.wait_for(guard, kLimit, [&] { return done_; })) return false;
    done_ = false;
    return true;
  }
  static void Done(void* context, MQTTAsync_successData*) {
    auto* self = static_cast<PahoPair*>(context);
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      self->done_ = true;
    }
    self->changed_.notify_all();
  }
  // The answering client's own thread: each command noted by Arrived is
  // answered from here.
  void AnswerCommands() {
    std::uint64_t answered = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return closing_ || commands_ > answered; });
        if (closing_) return;
        answered = commands_;
      }
      MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
      options.onSuccess = &PahoPair::Completed;
      options.context = this;
      MQTTAsync_send(answerer_, kBareTopic, sizeof kBareAnswer - 1, kBareAnswer, 2, 0, &options);
    }
  }
  static bool Is(const MQTTAsync_message* message, const char* payload, std::size_t size) {
    return static_cast<std::size_t>(message->payloadlen) == size &&
           std::memcmp(message->payload, payload, size) == 0;
  }
  // Paho's thread: counts a message carrying `payload` and notes when it
  // came, which also hands a command on to the answering thread.
  template <std::size_t N>
  static int Heard(void* context, char* topic, MQTTAsync_message* message, const char (&payload)[N],
                   std::uint64_t PahoPair::*count, Clock::time_point PahoPair::*at) {
    auto* self = static_cast<PahoPair*>(context);
    if (Is(message, payload, N - 1)) {
      const auto now = Clock::now();
      {
        std::lock_guard<std::mutex> guard(self->lock_);
        ++(self->*count);
        self->*at = now;
      }
      self->changed_.notify_all();
    }
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    return 1;
  }
  static int Arrived(void* context, char* topic, int, MQTTAsync_message* message) {
    return Heard(context, topic, message, kBareCommand, &PahoPair::commands_,
                 &PahoPair::commandAt_);
  }
  static int Answered(void* context, char* topic, int, MQTTAsync_message* message) {
    return Heard(context, topic, message, kBareAnswer, &PahoPair::answers_, &PahoPair::answeredAt_);
  }
  // A publication's QoS 2 exchange has ended (its PUBCOMP).
  static void Completed(void* context, MQTTAsync_successData*) {
    auto* self = static_cast<PahoPair*>(context);
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      ++self->completed_;
    }
    self->changed_.notify_all();
  }

  std::string uri_;
  MQTTAsync asker_ = nullptr;
  MQTTAsync answerer_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  bool done_ = false;
  bool closing_ = false;
  bool answer_ = true;
  std::thread answering_;
  std::uint64_t answers_ = 0;
  std::uint64_t commands_ = 0;
  std::uint64_t completed_ = 0;
  Clock::time_point answeredAt_;
  Clock::time_point commandAt_;
};

void BarePaho(benchmark::State& state, bool answer) {
  World& w = TheWorld();
  PahoPair pair(w.broker.Uri());
  if (!w.ok || !pair.Setup(answer)) {
    state.SkipWithError("no MQTT clients");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    Clock::duration took{};
    if (!pair.Sample(took)) {
      state.SkipWithError(answer ? "no answer" : "command not received");
      break;
    }
    micros.push_back(Micros(took));
    state.SetIterationTime(std::chrono::duration<double>(took).count());
  }
  Report(state, micros);
}

void BM_BarePahoRoundTrip(benchmark::State& state) { BarePaho(state, true); }
void BM_BarePahoOneWay(benchmark::State& state) { BarePaho(state, false); }

// Bare transports first, then the whole road over each session.
void RegisterAll() {
  struct Entry {
    const char* name;
    void (*run)(benchmark::State&, phone::Transport);
    phone::Transport transport;
  };
  auto timed = [](benchmark::internal::Benchmark* b, int iterations) {
    b->UseManualTime()->Iterations(iterations)->Unit(benchmark::kMicrosecond);
  };
  timed(benchmark::RegisterBenchmark("BM_BareTcpOneWay", BM_BareTcpOneWay), 2000);
  timed(benchmark::RegisterBenchmark("BM_BareTcpOneWayPosted", BM_BareTcpOneWayPosted), 2000);
  timed(benchmark::RegisterBenchmark("BM_BareTcpEcho", BM_BareTcpEcho), 2000);
  const Entry direct[] = {
      {"BM_DirectCommandToAutomation", CommandToAutomation, phone::Transport::DirectTcp},
      {"BM_DirectCommandToStateAnswer", CommandToStateAnswer, phone::Transport::DirectTcp}};
  const Entry relay[] = {
      {"BM_RelayCommandToAutomation", CommandToAutomation, phone::Transport::Relay},
      {"BM_RelayCommandToStateAnswer", CommandToStateAnswer, phone::Transport::Relay}};
  for (const auto& e : direct)
    timed(benchmark::RegisterBenchmark(e.name, e.run, e.transport), 1000);
  timed(benchmark::RegisterBenchmark("BM_BarePahoOneWay", BM_BarePahoOneWay), 1000);
  timed(benchmark::RegisterBenchmark("BM_BarePahoRoundTrip", BM_BarePahoRoundTrip), 1000);
  for (const auto& e : relay) timed(benchmark::RegisterBenchmark(e.name, e.run, e.transport), 1000);
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The PC goes before the broker and before static destruction begins.
  TheWorld().pc.reset();
  return 0;
}
