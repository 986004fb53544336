#include "tests/net/support/test_phone.h"

#include <MQTTAsync.h>

#include <future>
#include <memory>

namespace {

// Shared with the handler, which may come after the waiter gave up.
struct Outcome {
  std::promise<bool> done;
};

std::shared_ptr<Outcome> NewOutcome() { return std::make_shared<Outcome>(); }

void* ContextOf(const std::shared_ptr<Outcome>& outcome) {
  return new std::shared_ptr<Outcome>(outcome);
}

void Finish(void* context, bool ok) {
  auto* holder = static_cast<std::shared_ptr<Outcome>*>(context);
  (*holder)->done.set_value(ok);
  delete holder;
}
void Succeeded(void* context, MQTTAsync_successData*) { Finish(context, true); }
void Failed(void* context, MQTTAsync_failureData*) { Finish(context, false); }

bool Await(std::future<bool> result) {
  return result.wait_for(std::chrono::seconds(10)) == std::future_status::ready && result.get();
}

int Arrived(void* context, char* topic, int, MQTTAsync_message* message) {
  TestPhone::OnMessage(static_cast<TestPhone*>(context), static_cast<const char*>(message->payload),
                       static_cast<std::size_t>(message->payloadlen));
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topic);
  return 1;
}

void Lost(void*, char* cause) {
  if (cause) MQTTAsync_free(cause);
}

}  // namespace

void TestPhone::OnMessage(TestPhone* phone, const char* data, std::size_t size) {
  std::lock_guard<std::mutex> hold(phone->mutex_);
  phone->inbox_.emplace_back(data, size);
  phone->arrived_.notify_all();
}

TestPhone::TestPhone(const std::string& uri, const std::string& clientId, const std::string& topic)
    : topic_(topic) {
  MQTTAsync client = nullptr;
  if (MQTTAsync_create(&client, uri.c_str(), clientId.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                       nullptr) != MQTTASYNC_SUCCESS) {
    return;
  }
  client_ = client;
  MQTTAsync_setCallbacks(client_, this, &Lost, &Arrived, nullptr);
  auto connected = NewOutcome();
  auto connectedResult = connected->done.get_future();
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  options.keepAliveInterval = 30;
  options.cleansession = 1;
  options.connectTimeout = 5;
  options.onSuccess = &Succeeded;
  options.onFailure = &Failed;
  options.context = ContextOf(connected);
  if (MQTTAsync_connect(client_, &options) != MQTTASYNC_SUCCESS ||
      !Await(std::move(connectedResult)))
    return;
  auto subscribed = NewOutcome();
  auto subscribedResult = subscribed->done.get_future();
  MQTTAsync_responseOptions sub = MQTTAsync_responseOptions_initializer;
  sub.onSuccess = &Succeeded;
  sub.onFailure = &Failed;
  sub.context = ContextOf(subscribed);
  if (MQTTAsync_subscribe(client_, topic_.c_str(), 2, &sub) != MQTTASYNC_SUCCESS) return;
  ok_ = Await(std::move(subscribedResult));
}

TestPhone::~TestPhone() {
  if (!client_) return;
  MQTTAsync client = client_;
  if (MQTTAsync_isConnected(client)) {
    auto disconnected = NewOutcome();
    auto disconnectedResult = disconnected->done.get_future();
    MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
    options.timeout = 0;
    options.onSuccess = &Succeeded;
    options.onFailure = &Failed;
    options.context = ContextOf(disconnected);
    if (MQTTAsync_disconnect(client, &options) == MQTTASYNC_SUCCESS)
      Await(std::move(disconnectedResult));
  }
  MQTTAsync_destroy(&client);
}

bool TestPhone::Publish(const std::string& payload, int qos) {
  if (!client_) return false;
  auto sent = NewOutcome();
  auto sentResult = sent->done.get_future();
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = &Succeeded;
  options.onFailure = &Failed;
  options.context = ContextOf(sent);
  if (MQTTAsync_send(client_, topic_.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                     0, &options) != MQTTASYNC_SUCCESS) {
    return false;
  }
  return Await(std::move(sentResult));
}

bool TestPhone::Next(std::string& payload, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> hold(mutex_);
  if (!arrived_.wait_for(hold, limit, [this] { return !inbox_.empty(); })) return false;
  payload = inbox_.front();
  inbox_.pop_front();
  return true;
}

bool TestPhone::NextContaining(const std::string& part, std::string& payload,
                               std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !Next(payload, left)) return false;
    if (payload.find(part) != std::string::npos) return true;
  }
}
