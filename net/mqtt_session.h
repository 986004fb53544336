// The cloud relay session: PC and phone both connect out to an MQTT broker,
// share one topic, and name sender and receiver (`src`, `dst`) inside every
// JSON message. The MQTT protocol is Eclipse Paho's asynchronous C client;
// every Paho handler runs on Paho's threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "net/mqtt_publish_window.h"
#include "net/session.h"

struct MqttOperation;
struct MqttWaiter;

class CMqttSession : public INetSession {
 public:
  // Empty server URI: the relay broker, "tcp://" PIVARO_RELAY_HOST ":443".
  explicit CMqttSession(const std::string& serverUri = std::string());

  std::vector<PairingParam> GetPairingParams() override;
  bool Start(std::int32_t cookie) override;
  bool Stop(std::int32_t cookie) override;
  bool Close() override;
  bool DropPeer() override;
  bool IsConnected() override;
  bool Send(JsonPtr& message, std::int32_t cookie) override;
  bool SendSync(JsonPtr& message) override;
  void SetNotify(INetSessionNotify* notify) override;

  // The last reference may be dropped by a completion on Paho's thread,
  // where the client must not be destroyed: destruction moves elsewhere.
  void Destroy() override;

  const std::string& ClientId() const { return clientId_; }
  const std::string& Topic() const { return topic_; }
  const std::string& WillText() const { return willText_; }
  const std::string& ServerUri() const { return serverUri_; }

  // How long Close and SendSync wait for the broker (30 s unless a test
  // shortens it).
  void SetBlockingLimit(std::chrono::milliseconds limit);
  // Whether the connection to the broker sends without Nagle's delay (on
  // unless a benchmark compares).
  void SetSendWithoutDelay(bool on);

  // Sessions not yet destroyed in this process.
  static int LiveSessions();

  // Paho's largest number of unacknowledged publishes per client; further
  // publishes wait in the session, not in Paho.
  static constexpr int kMaxInFlight = 10;

 private:
  friend struct MqttCallbacks;

  ~CMqttSession() override;

  bool Publish(JsonPtr& message, const std::u16string& receiver, MqttOperation* op);
  int SendToPaho(const std::string& payload, MqttOperation* op);
  void FailPublish(MqttOperation* op);
  void OnPublishDone(MqttOperation* op, bool ok);
  bool Disconnect(MqttOperation* op);
  bool WaitFor(const std::shared_ptr<MqttWaiter>& waiter);
  void Complete(MqttOperation* op, bool ok, void (INetSessionNotify::*notify)(bool, std::int32_t));

  void HandleConnected();
  void HandleConnectFailed();
  // Asks Paho to subscribe for a start; false when Paho refused.
  bool Subscribe(MqttOperation* op);
  void MarkDisconnected();
  void HandleMessage(const std::string& payload);
  void HandleConnectionLost();
  // Fails the requests the ended connection took with it.
  void FailOrphans(bool subscribesToo);

  std::u16string PeerId();
  void SetPeerId(const std::u16string& id);

  std::string serverUri_;
  std::string guid_;
  std::string suffix_;
  std::string clientId_;
  std::u16string clientIdWide_;
  std::string topic_;
  std::vector<PairingParam> pairingParams_;
  std::string willText_;
  void* client_ = nullptr;  // MQTTAsync
  // Paho's context for the connect and for the connection-wide handlers;
  // never reused, so a late call for a destroyed session finds nothing.
  std::uintptr_t ticket_ = 0;

  // Paho keeps one connect per client: a connect requested while another is
  // under way, or copied by Paho's own retries, reports through the same
  // handlers and context. So the starts waiting for a connect wait here, and
  // whichever connect outcome comes next settles all of them.
  std::mutex startMutex_;
  std::vector<MqttOperation*> starting_;
  // False after Stop or Close: a connect that still succeeds is ended again.
  bool wanted_ = false;
  // Whether Paho reported the connection up and has not reported it ended.
  bool connected_ = false;

  std::recursive_mutex lock_;  // guards notify_; held while notifying
  INetSessionNotify* notify_ = nullptr;

  std::mutex peerMutex_;
  std::u16string peerId_;

  // The publishes in flight and those waiting for room.
  PublishWindow window_;

  std::mutex optionsMutex_;
  std::chrono::milliseconds blockingLimit_{30000};
  bool sendWithoutDelay_ = true;
  // TCP sockets of the process when the last connect began; the new one to
  // the broker is the connection of this client.
  std::set<unsigned long long> socketsBeforeConnect_;
};
