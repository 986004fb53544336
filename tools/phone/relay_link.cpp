// The phone on the cloud relay: an MQTT client on the PC's topic that
// addresses the PC by its client id and leaves a will "lost" for an unclean
// drop. It reconnects by itself after a broker loss, as a phone does, so a
// PC that comes back can greet it again.
#include <MQTTAsync.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>

#include "json/json.h"
#include "tools/phone/phone_link.h"
#if PIVARO_PHONE_NODELAY
#include "net/mqtt_nodelay.h"
#endif

namespace phone {

namespace {

std::string MakePhoneId() {
  std::random_device rd;
  std::mt19937_64 gen(rd() ^ static_cast<std::uint64_t>(std::time(nullptr)));
  char text[40];
  std::snprintf(text, sizeof text, "phone_%016llx", static_cast<unsigned long long>(gen()));
  return text;
}

// Adds the addressing members after those already there.
bool Address(const std::string& json, const std::string& src, const std::string& dst,
             std::string& out) {
  std::u16string wide, wideSrc, wideDst;
  if (!ToWide(json, 65001, wide) || !ToWide(src, 65001, wideSrc) || !ToWide(dst, 65001, wideDst)) {
    return false;
  }
  try {
    JsonPtr object = JsonParse(wide);
    if (object.Kind() != JsonKind::Object) return false;
    object.Append(JsonNewString(u"src", wideSrc));
    object.Append(JsonNewString(u"dst", wideDst));
    return ToUtf8(JsonWrite(object), out);
  } catch (const std::exception&) {
    return false;
  }
}

class RelayLink : public PhoneLink {
 public:
  RelayLink(const PairingAddress& address, const PhoneOptions& options)
      : PhoneLink(options), topic_(address.Topic()), pcId_(address.PcClientId()) {
    if (options_.phoneId.empty()) options_.phoneId = MakePhoneId();
    if (options_.qos < 0 || options_.qos > 2) options_.qos = 2;
    Address(R"({"msg":"lost"})", options_.phoneId, pcId_, will_);
  }

  ~RelayLink() override {
    Close();
    if (client_) MQTTAsync_destroy(&client_);
  }

  bool Connect() override {
    if (will_.empty()) {
      SetError("cannot build the will message");
      return false;
    }
    if (MQTTAsync_create(&client_, options_.brokerUri.c_str(), options_.phoneId.c_str(),
                         MQTTCLIENT_PERSISTENCE_NONE, nullptr) != MQTTASYNC_SUCCESS) {
      client_ = nullptr;
      SetError("cannot create the MQTT client for " + options_.brokerUri);
      return false;
    }
    MQTTAsync_setCallbacks(client_, this, &RelayLink::ConnectionLost, &RelayLink::MessageArrived,
                           nullptr);
    MQTTAsync_setConnected(client_, this, &RelayLink::Connected);
    NoteSockets();

    MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
    will.topicName = topic_.c_str();
    will.message = will_.c_str();
    will.qos = 0;
    will.retained = 0;

    MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
    opts.keepAliveInterval = 30;
    opts.cleansession = 1;
    opts.will = &will;
    opts.connectTimeout = static_cast<int>((options_.connectTimeout.count() + 999) / 1000);
    opts.automaticReconnect = 1;
    opts.minRetryInterval = 1;
    opts.maxRetryInterval = 2;
    opts.onFailure = &RelayLink::ConnectFailed;
    opts.context = this;
    if (MQTTAsync_connect(client_, &opts) != MQTTASYNC_SUCCESS) {
      SetError("the MQTT client refused to connect to " + options_.brokerUri);
      return false;
    }
    std::unique_lock<std::mutex> lock(stateMutex_);
    bool done = stateChanged_.wait_for(lock, options_.connectTimeout,
                                       [this] { return subscribed_ || failed_; });
    if (!done || !subscribed_) {
      lock.unlock();
      SetError(failed_ ? "cannot connect or subscribe at " + options_.brokerUri
                       : "no answer from " + options_.brokerUri + " in time");
      return false;
    }
    return true;
  }

  bool Send(const std::string& json) override {
    std::string payload;
    if (!client_ || !Address(json, options_.phoneId, pcId_, payload)) return false;
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char*>(payload.data());
    message.payloadlen = static_cast<int>(payload.size());
    message.qos = options_.qos;
    message.retained = 0;
    return MQTTAsync_sendMessage(client_, topic_.c_str(), &message, nullptr) == MQTTASYNC_SUCCESS;
  }

  void Close() override {
    if (!client_ || closed_.exchange(true)) return;
    MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
    opts.timeout = 1000;
    opts.onSuccess = &RelayLink::Disconnected;
    opts.onFailure = &RelayLink::DisconnectFailed;
    opts.context = this;
    if (MQTTAsync_disconnect(client_, &opts) != MQTTASYNC_SUCCESS) return;
    std::unique_lock<std::mutex> lock(stateMutex_);
    stateChanged_.wait_for(lock, std::chrono::seconds(3), [this] { return disconnected_; });
  }

  bool IsOpen() override {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return subscribed_ && !closed_;
  }

  bool Accept(const std::string& src, const std::string& dst) override {
    // Everyone on the topic reads everything: keep what is addressed to this
    // phone, and the PC's will, which the broker addresses to "*".
    return dst == options_.phoneId || (dst == "*" && src == pcId_);
  }

 private:
  static void Connected(void* context, char* cause) {
    auto* self = static_cast<RelayLink*>(context);
    self->SendWithoutDelay();
    // A clean session forgets the subscription, so every (re)connection
    // subscribes again.
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.onSuccess = &RelayLink::Subscribed;
    opts.onFailure = &RelayLink::SubscribeFailed;
    opts.context = self;
    if (MQTTAsync_subscribe(self->client_, self->topic_.c_str(), 2, &opts) != MQTTASYNC_SUCCESS) {
      self->Finish(false);
    }
  }
  static void Subscribed(void* context, MQTTAsync_successData*) {
    static_cast<RelayLink*>(context)->Finish(true);
  }
  static void SubscribeFailed(void* context, MQTTAsync_failureData*) {
    static_cast<RelayLink*>(context)->Finish(false);
  }
  static void ConnectFailed(void* context, MQTTAsync_failureData*) {
    static_cast<RelayLink*>(context)->Finish(false);
  }
  static void ConnectionLost(void* context, char* cause) {
    auto* self = static_cast<RelayLink*>(context);
    self->NoteSockets();  // the automatic reconnect opens a new one
    std::lock_guard<std::mutex> lock(self->stateMutex_);
    self->subscribed_ = false;
  }
  static void Disconnected(void* context, MQTTAsync_successData*) {
    static_cast<RelayLink*>(context)->MarkDisconnected();
  }
  static void DisconnectFailed(void* context, MQTTAsync_failureData*) {
    static_cast<RelayLink*>(context)->MarkDisconnected();
  }
  static int MessageArrived(void* context, char* topicName, int, MQTTAsync_message* message) {
    auto* self = static_cast<RelayLink*>(context);
    std::string payload(static_cast<const char*>(message->payload),
                        static_cast<std::size_t>(message->payloadlen));
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topicName);
    try {
      self->Deliver(payload);
    } catch (...) {
      // Nothing may unwind into the library's thread.
    }
    return 1;
  }

  // Paho leaves Nagle's algorithm on, and a QoS 2 exchange is a ping-pong of
  // small packets: the phone's next publish would wait for the broker's
  // delayed ACK (about 40 ms). Phones' MQTT stacks send at once; so does the
  // PC's relay session, which finds its socket the same way.
  void NoteSockets() {
#if PIVARO_PHONE_NODELAY
    std::lock_guard<std::mutex> lock(stateMutex_);
    socketsBefore_ = MqttTcpSockets();
#endif
  }
  void SendWithoutDelay() {
#if PIVARO_PHONE_NODELAY
    std::set<unsigned long long> before;
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      before = socketsBefore_;
    }
    MqttSetNoDelayOnNewSockets(before, MqttUriPort(options_.brokerUri));
#endif
  }

  void Finish(bool ok) {
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      if (ok) {
        subscribed_ = true;
      } else {
        failed_ = true;
      }
    }
    stateChanged_.notify_all();
  }
  void MarkDisconnected() {
    {
      std::lock_guard<std::mutex> lock(stateMutex_);
      disconnected_ = true;
    }
    stateChanged_.notify_all();
  }

  std::string topic_;
  std::string pcId_;
  std::string will_;
  MQTTAsync client_ = nullptr;
  std::atomic<bool> closed_{false};
  std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  bool subscribed_ = false;
  bool failed_ = false;
  bool disconnected_ = false;
  std::set<unsigned long long> socketsBefore_;
};

}  // namespace

std::unique_ptr<PhoneLink> MakeRelayLink(const PairingAddress& address,
                                         const PhoneOptions& options) {
  return std::make_unique<RelayLink>(address, options);
}

}  // namespace phone
