// Relay latency through a local Mosquitto broker at QoS 2: a phone's
// publish to the session's OnMessage, the session's Send to the phone, and
// beside them a bare Paho publish -> message-arrived hop between two plain
// clients in the same process, so the figures show what the session adds.
// The bare hop is like for like: a topic of the session's layout and
// length that both ends subscribe to, as PC and phone do (so each also
// hears its own publications), the phone's very payload, and each QoS 2
// exchange completed (the publisher's PUBCOMP) before the next sample.
// BM_PhoneToOnMessage interleaves its bare hops with the session's samples
// and reports them beside its own (bare_median_us, bare_p99_us). Arguments: pc_nodelay:1 is the
// session's own switch for sending without Nagle's delay (for the bare hop: the receiving client),
// phone_nodelay:1 the same for the phone's connection (the publishing client), broker_nodelay:1
// Mosquitto's set_tcp_nodelay. TouchRate plays a phone dragging the laser at 240 moves a second.
#include <MQTTAsync.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "net/mqtt_nodelay.h"
#include "net/mqtt_session.h"
#include "tests/support/mosquitto_broker.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSamples = 200;

MosquittoBroker& Broker(bool tcpNoDelay) {
  static std::map<bool, std::unique_ptr<MosquittoBroker>> brokers;
  auto& broker = brokers[tcpNoDelay];
  if (!broker) {
    broker = std::make_unique<MosquittoBroker>(tcpNoDelay);
    broker->Start();
  }
  return *broker;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Report(benchmark::State& state, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  state.counters["max_ms"] = ms.back();
}

// One moment a test thread waits for, set from a Paho or session thread.
class Arrival {
 public:
  void Set(Clock::time_point at) {
    std::lock_guard<std::mutex> hold(mutex_);
    at_ = at;
    arrived_ = true;
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> hold(mutex_);
    arrived_ = false;
  }
  bool Wait(Clock::time_point& at) {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!cv_.wait_for(hold, 5s, [this] { return arrived_; })) return false;
    at = at_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool arrived_ = false;
  Clock::time_point at_;
};

// A plain Paho client: the phone, or one end of the bare hop.
class Client {
 public:
  using OnArrival = std::function<void(const std::string&)>;

  // Subscribes to the topic it publishes on unless `subscribe` is false.
  Client(const std::string& uri, const std::string& id, const std::string& topic, bool noDelay,
         OnArrival onArrival, bool subscribe = true)
      : topic_(topic), onArrival_(std::move(onArrival)) {
    auto before = MqttTcpSockets();
    MQTTAsync_create(&client_, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    MQTTAsync_setCallbacks(client_, this, nullptr, &Client::Arrived, nullptr);
    MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
    options.cleansession = 1;
    options.maxInflight = 10;
    std::promise<bool> connected;
    options.onSuccess = [](void* c, MQTTAsync_successData*) {
      static_cast<std::promise<bool>*>(c)->set_value(true);
    };
    options.onFailure = [](void* c, MQTTAsync_failureData*) {
      static_cast<std::promise<bool>*>(c)->set_value(false);
    };
    options.context = &connected;
    auto done = connected.get_future();
    ok_ = MQTTAsync_connect(client_, &options) == MQTTASYNC_SUCCESS &&
          done.wait_for(10s) == std::future_status::ready && done.get();
    if (!ok_) return;
    if (noDelay) MqttSetNoDelayOnNewSockets(before, MqttUriPort(uri));
    if (!subscribe) return;
    std::promise<bool> subscribed;
    MQTTAsync_responseOptions sub = MQTTAsync_responseOptions_initializer;
    sub.onSuccess = options.onSuccess;
    sub.onFailure = [](void* c, MQTTAsync_failureData*) {
      static_cast<std::promise<bool>*>(c)->set_value(false);
    };
    sub.context = &subscribed;
    auto subDone = subscribed.get_future();
    ok_ = MQTTAsync_subscribe(client_, topic_.c_str(), 2, &sub) == MQTTASYNC_SUCCESS &&
          subDone.wait_for(10s) == std::future_status::ready && subDone.get();
  }
  ~Client() {
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    MQTTAsync_disconnect(client_, &options);
    std::this_thread::sleep_for(50ms);
    MQTTAsync_destroy(&client_);
  }
  bool ok() const { return ok_; }
  bool Publish(const std::string& payload) {
    delivered_.Reset();
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    // Runs on Paho's thread at the publisher's PUBCOMP; touches only our
    // own state.
    options.onSuccess = [](void* c, MQTTAsync_successData*) {
      static_cast<Arrival*>(c)->Set(Clock::now());
    };
    options.context = &delivered_;
    return MQTTAsync_send(client_, topic_.c_str(), static_cast<int>(payload.size()), payload.data(),
                          2, 0, &options) == MQTTASYNC_SUCCESS;
  }
  // Waits (bounded) until the last publication's QoS 2 exchange is over.
  bool WaitDelivered() {
    Clock::time_point at;
    return delivered_.Wait(at);
  }

 private:
  static int Arrived(void* context, char* topic, int, MQTTAsync_message* message) {
    auto* self = static_cast<Client*>(context);
    std::string payload(static_cast<const char*>(message->payload), message->payloadlen);
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topic);
    if (self->onArrival_) self->onArrival_(payload);
    return 1;
  }

  MQTTAsync client_ = nullptr;
  std::string topic_;
  OnArrival onArrival_;
  Arrival delivered_;
  bool ok_ = false;
};

class Notify : public INetSessionNotify {
 public:
  std::function<void(JsonPtr&)> onMessage;
  Arrival started;
  void OnStarted(bool ok, std::int32_t) override {
    if (ok) started.Set(Clock::now());
  }
  void OnStopped(bool, std::int32_t) override {}
  std::function<void()> onSent;
  void OnSent(bool, std::int32_t) override {
    if (onSent) onSent();
  }
  void OnNetworkLost() override {}
  void OnPeerLost() override {}
  void OnMessage(SessionType, JsonPtr& message) override {
    if (onMessage) onMessage(message);
  }
};

// A started session with an attached phone whose arrivals go to onPhone.
struct Relay {
  Relay(benchmark::State& state, Client::OnArrival onPhone) {
    MosquittoBroker& broker = Broker(state.range(2) != 0);
    session = new CMqttSession(broker.Uri());
    session->AddRef();
    session->SetSendWithoutDelay(state.range(0) != 0);
    session->SetNotify(&notify);
    Clock::time_point at;
    if (!session->Start(0) || !notify.started.Wait(at)) {
      state.SkipWithError("session did not start");
      return;
    }
    phone = std::make_unique<Client>(broker.Uri(), "phoneA", session->Topic(), state.range(1) != 0,
                                     std::move(onPhone));
    if (!phone->ok()) {
      state.SkipWithError("phone did not connect");
      return;
    }
    Arrival attached;
    notify.onMessage = [&](JsonPtr&) { attached.Set(Clock::now()); };
    if (!phone->Publish(ToPc("hello")) || !attached.Wait(at)) {
      state.SkipWithError("phone did not attach");
      return;
    }
    notify.onMessage = nullptr;
    ok = true;
  }
  ~Relay() {
    session->SetNotify(nullptr);
    session->Close();
    session->Release();
  }
  std::string ToPc(const std::string& msg, const std::string& extra = "") const {
    return R"({"msg":")" + msg + "\"" + extra + R"(,"src":"phoneA","dst":")" + session->ClientId() +
           R"("})";
  }

  Notify notify;
  CMqttSession* session = nullptr;
  std::unique_ptr<Client> phone;
  bool ok = false;
};

// A topic of the session's layout ("kestil/<guid>/<suffix>") and length
// that no session uses: the suffix's last digit changed.
std::string BareTopic(const std::string& sessionTopic) {
  std::string topic = sessionTopic;
  topic.back() = topic.back() == '7' ? '8' : '7';
  return topic;
}

// The two plain clients of a bare hop; the sender plays the phone.
struct BareHop {
  Arrival arrival;
  Client receiver;
  Client sender;
  BareHop(const std::string& uri, const std::string& topic, bool receiverNoDelay,
          bool senderNoDelay)
      : receiver(uri, "bare-rx", topic, receiverNoDelay,
                 [this](const std::string&) { arrival.Set(Clock::now()); }),
        sender(uri, "bare-tx", topic, senderNoDelay, nullptr) {}
  bool ok() const { return receiver.ok() && sender.ok(); }

  // One sample: publish until the receiver's message-arrived, then the
  // end of the exchange outside the sample. False when anything was lost.
  bool Sample(const std::string& payload, Clock::duration& took) {
    arrival.Reset();
    const auto begin = Clock::now();
    Clock::time_point at;
    if (!sender.Publish(payload) || !arrival.Wait(at) || !sender.WaitDelivered()) return false;
    took = at - begin;
    return true;
  }
};

// A payload of the size the session receives: the phone's "next" with its
// source and a PC client id of the session's length.
std::string BarePayload() {
  return R"({"msg":"next","src":"phoneA","dst":"3f9a6c2e8b1d4f7a9c0e5b2d6a8f1c3e_1700000000_12345"})";
}

void BM_BarePahoHop(benchmark::State& state) {
  MosquittoBroker& broker = Broker(state.range(2) != 0);
  BareHop hop(broker.Uri(), BareTopic("kestil/3f9a6c2e8b1d4f7a9c0e5b2d6a8f1c3e/1700000000_12345"),
              state.range(0) != 0, state.range(1) != 0);
  if (!hop.ok()) {
    state.SkipWithError("bare clients did not connect");
    return;
  }
  const std::string payload = BarePayload();
  std::vector<double> samples;
  for (auto _ : state) {
    Clock::duration took{};
    if (!hop.Sample(payload, took)) {
      state.SkipWithError("lost message");
      break;
    }
    samples.push_back(Ms(took));
    state.SetIterationTime(std::chrono::duration<double>(took).count());
  }
  Report(state, samples);
}

double Us(double ms) { return ms * 1000; }

// Phone publish to the session's OnMessage, each sample followed (or, on
// odd iterations, preceded) by a bare hop with the same payload on a topic
// of the same layout, so both see the same moment of the machine.
void BM_PhoneToOnMessage(benchmark::State& state) {
  Arrival arrival;
  Relay relay(state, nullptr);
  if (!relay.ok) return;
  BareHop hop(Broker(state.range(2) != 0).Uri(), BareTopic(relay.session->Topic()),
              state.range(0) != 0, state.range(1) != 0);
  if (!hop.ok()) {
    state.SkipWithError("bare clients did not connect");
    return;
  }
  relay.notify.onMessage = [&](JsonPtr&) { arrival.Set(Clock::now()); };
  const std::string payload = relay.ToPc("next");
  std::vector<double> samples, bare;
  bool bareFirst = false;
  for (auto _ : state) {
    Clock::duration took{}, bareTook{};
    if (bareFirst && !hop.Sample(payload, bareTook)) {
      state.SkipWithError("lost bare message");
      break;
    }
    arrival.Reset();
    auto begin = Clock::now();
    Clock::time_point at;
    if (!relay.phone->Publish(payload) || !arrival.Wait(at) || !relay.phone->WaitDelivered()) {
      state.SkipWithError("lost message");
      break;
    }
    took = at - begin;
    if (!bareFirst && !hop.Sample(payload, bareTook)) {
      state.SkipWithError("lost bare message");
      break;
    }
    bareFirst = !bareFirst;
    samples.push_back(Ms(took));
    bare.push_back(Ms(bareTook));
    state.SetIterationTime(std::chrono::duration<double>(took).count());
  }
  relay.notify.onMessage = nullptr;
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  std::sort(bare.begin(), bare.end());
  const auto p99 = [](const std::vector<double>& v) {
    return v[std::min(v.size() - 1, v.size() * 99 / 100)];
  };
  state.counters["median_us"] = Us(samples[samples.size() / 2]);
  state.counters["p99_us"] = Us(p99(samples));
  state.counters["bare_median_us"] = Us(bare[bare.size() / 2]);
  state.counters["bare_p99_us"] = Us(p99(bare));
}

void BM_SendToPhone(benchmark::State& state) {
  Arrival arrival;
  Relay relay(state, [&](const std::string& payload) {
    // The phone also hears its own publications; only the PC's count.
    if (payload.find(R"("dst":"phoneA")") != std::string::npos) arrival.Set(Clock::now());
  });
  if (!relay.ok) return;
  std::vector<double> samples;
  for (auto _ : state) {
    arrival.Reset();
    JsonPtr message = JsonNew(JsonKind::Object);
    message.Append(JsonNewString(u"msg", u"state"));
    auto begin = Clock::now();
    Clock::time_point at;
    if (!relay.session->Send(message, 0) || !arrival.Wait(at)) {
      state.SkipWithError("lost message");
      break;
    }
    samples.push_back(Ms(at - begin));
    state.SetIterationTime(std::chrono::duration<double>(at - begin).count());
  }
  Report(state, samples);
}

// 100 Send calls at once: the time until the last OnSent.
void BM_SendBurst(benchmark::State& state) {
  constexpr int kBurst = 100;
  std::mutex mutex;
  std::condition_variable cv;
  int sent = 0;
  Relay relay(state, nullptr);
  if (!relay.ok) return;
  relay.notify.onSent = [&] {
    std::lock_guard<std::mutex> hold(mutex);
    ++sent;
    cv.notify_all();
  };
  for (auto _ : state) {
    {
      std::lock_guard<std::mutex> hold(mutex);
      sent = 0;
    }
    auto begin = Clock::now();
    for (int i = 0; i < kBurst; ++i) {
      JsonPtr message = JsonNew(JsonKind::Object);
      message.Append(JsonNewString(u"msg", u"laser_move"));
      relay.session->Send(message, i);
    }
    std::unique_lock<std::mutex> hold(mutex);
    if (!cv.wait_for(hold, 30s, [&] { return sent == kBurst; })) {
      state.SkipWithError("sends did not complete");
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
  }
  relay.notify.onSent = nullptr;
}

// 240 laser moves a second for three seconds; a move that reaches OnMessage
// more than 100 ms after the phone published it shows as a stutter.
void BM_TouchRate(benchmark::State& state) {
  constexpr int kRate = 240;
  constexpr int kMoves = kRate * 3;
  std::vector<Clock::time_point> published(kMoves);
  std::vector<double> delays;
  std::mutex delaysMutex;
  Relay relay(state, nullptr);
  if (!relay.ok) return;
  relay.notify.onMessage = [&](JsonPtr& message) {
    auto now = Clock::now();
    JsonPtr* n = message.Find(u"n");
    if (!n) return;
    std::int64_t seq = n->AsInt64();
    if (seq < 0 || seq >= kMoves) return;
    std::lock_guard<std::mutex> hold(delaysMutex);
    delays.push_back(Ms(now - published[static_cast<std::size_t>(seq)]));
  };
  for (auto _ : state) {
    auto begin = Clock::now();
    for (int i = 0; i < kMoves; ++i) {
      std::this_thread::sleep_until(begin + std::chrono::microseconds(1000000LL * i / kRate));
      published[i] = Clock::now();
      relay.phone->Publish(
          relay.ToPc("laser_move", R"(,"x":0.5123,"y":0.3312,"n":)" + std::to_string(i)));
    }
    // Bounded wait for the tail.
    for (int i = 0; i < 300; ++i) {
      {
        std::lock_guard<std::mutex> hold(delaysMutex);
        if (delays.size() >= static_cast<std::size_t>(kMoves)) break;
      }
      std::this_thread::sleep_for(10ms);
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - begin).count());
  }
  relay.notify.onMessage = nullptr;
  std::lock_guard<std::mutex> hold(delaysMutex);
  state.counters["published"] = kMoves;
  state.counters["received"] = static_cast<double>(delays.size());
  state.counters["late_over_100ms"] = static_cast<double>(
      std::count_if(delays.begin(), delays.end(), [](double d) { return d > 100; }));
  Report(state, delays);
}

void Configurations(benchmark::internal::Benchmark* b) {
  b->ArgNames({"pc_nodelay", "phone_nodelay", "broker_nodelay"});
  b->Args({1, 1, 1})->Args({1, 0, 1})->Args({0, 1, 1})->Args({0, 0, 1})->Args({0, 0, 0});
  b->UseManualTime()->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_BarePahoHop)->Apply(Configurations)->Iterations(kSamples);
BENCHMARK(BM_PhoneToOnMessage)->Apply(Configurations)->Iterations(kSamples);
BENCHMARK(BM_SendToPhone)->Apply(Configurations)->Iterations(kSamples);
BENCHMARK(BM_SendBurst)
    ->ArgNames({"pc_nodelay", "phone_nodelay", "broker_nodelay"})
    ->Args({1, 1, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_TouchRate)->Apply(Configurations)->Iterations(1);

BENCHMARK_MAIN();
