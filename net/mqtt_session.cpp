// The relay session's own work: who it is (client id, topic, will), the
// connect and subscribe that make a start, the stop, the publishes with
// their sender and receiver, and the messages that arrive. Paho's handlers
// and the tables that lead them here live in mqtt_paho_handlers.cpp, the
// window that keeps publishes beyond Paho's in-flight limit in
// mqtt_publish_window.cpp. This file never holds one of its own locks while
// calling into Paho, and never calls a Paho function that takes Paho's lock
// from one of Paho's threads.
#include "net/mqtt_session.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <utility>

#include "net/mqtt_nodelay.h"
#include "net/mqtt_paho_handlers.h"
#include "net/relay_payload.h"
#include "services/machine_guid.h"

namespace {

std::atomic<int> gLiveSessions{0};

// The process-wide tables below are used by Paho's threads and by sessions
// destroyed on a detached thread, which may still run while the process
// exits: they are allocated once and never destroyed.
std::mutex& gProcessMutex = *new std::mutex;
bool gProcessReady = false;
std::string& gGuid = *new std::string;

// Paho's global initialisation and the machine GUID, once per process.
std::string ProcessGuid() {
  std::lock_guard<std::mutex> hold(gProcessMutex);
  if (!gProcessReady) {
    MQTTAsync_init_options init = MQTTAsync_init_options_initializer;
    init.do_openssl_init = 0;
    MQTTAsync_global_init(&init);
    char text[260];
    if (Base::GUID::GetMachineGuidString(text)) gGuid = text;
    gProcessReady = true;
  }
  return gGuid;
}

// "<seconds>_<rand>": sessions made within one second share it.
std::string MakeSuffix() {
  long long now = static_cast<long long>(std::time(nullptr));
  std::srand(static_cast<unsigned>(now));
  int value = std::rand() % 32768;
  char text[64];
  std::snprintf(text, sizeof text, "%lld_%d", now, value);
  return text;
}

std::string Utf8Of(const JsonPtr& value) {
  std::string text;
  if (!ToUtf8(JsonWrite(value), text)) text.clear();
  return text;
}

}  // namespace

int MqttUriPort(const std::string& uri) {
  std::size_t scheme = uri.find("://");
  std::size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
  std::size_t colon = uri.rfind(':');
  if (colon == std::string::npos || colon < hostStart) return 1883;
  int port = std::atoi(uri.c_str() + colon + 1);
  return port > 0 && port < 65536 ? port : 1883;
}

CMqttSession::CMqttSession(const std::string& serverUri)
    : serverUri_(serverUri.empty() ? std::string("tcp://") + PIVARO_RELAY_HOST + ":443"
                                   : serverUri),
      window_(
          kMaxInFlight,
          [this](const std::string& payload, PublishWindow::Item item, unsigned long generation) {
            auto* op = static_cast<MqttOperation*>(item);
            op->generation = generation;
            return SendToPaho(payload, op) == MQTTASYNC_SUCCESS;
          },
          [this](PublishWindow::Item item) { FailPublish(static_cast<MqttOperation*>(item)); }) {
  ++gLiveSessions;
  OpenGate(this);
  ticket_ = RegisterSession(this);
  guid_ = ProcessGuid();
  suffix_ = MakeSuffix();
  clientId_ = guid_ + "_" + suffix_;
  if (!ToWide(clientId_, 0, clientIdWide_)) clientIdWide_.clear();
  topic_ = "kestil/" + guid_ + "/" + suffix_;
  pairingParams_ = {{"id", guid_}, {"st", suffix_}};

  MQTTAsync client = nullptr;
  if (MQTTAsync_create(&client, serverUri_.c_str(), clientId_.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                       nullptr) == MQTTASYNC_SUCCESS) {
    client_ = client;
    MQTTAsync_setCallbacks(client_, reinterpret_cast<void*>(ticket_),
                           &MqttCallbacks::ConnectionLost, &MqttCallbacks::MessageArrived, nullptr);
  }

  JsonPtr will = JsonNew(JsonKind::Object);
  will.Append(JsonNewString(u"src", clientIdWide_));
  will.Append(JsonNewString(u"dst", u"*"));
  will.Append(JsonNewString(u"msg", u"lost"));
  willText_ = Utf8Of(will);
}

CMqttSession::~CMqttSession() {
  CloseGate(this);
  ForgetSession(ticket_);
  // Only operations without a reference can be left: replies of its own and
  // starts. Paho completes none of them once the client is destroyed, and
  // a handler that still comes finds neither ticket.
  for (MqttOperation* op : TakeAll(this)) delete op;
  for (MqttOperation* op : starting_) delete op;
  starting_.clear();
  for (auto& pending : window_.Abandon()) delete static_cast<MqttOperation*>(pending.item);
  if (client_) {
    MQTTAsync client = client_;
    MQTTAsync_destroy(&client);
  }
  --gLiveSessions;
}

int CMqttSession::LiveSessions() { return gLiveSessions.load(); }

void CMqttSession::Destroy() {
  if (InPahoHandler()) {
    // Paho's own thread may not destroy its client.
    std::thread([this] { delete this; }).detach();
  } else {
    delete this;
  }
}

std::vector<PairingParam> CMqttSession::GetPairingParams() { return pairingParams_; }

void CMqttSession::SetNotify(INetSessionNotify* notify) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  notify_ = notify;
}

void CMqttSession::SetBlockingLimit(std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> hold(optionsMutex_);
  blockingLimit_ = limit;
}

void CMqttSession::SetSendWithoutDelay(bool on) {
  std::lock_guard<std::mutex> hold(optionsMutex_);
  sendWithoutDelay_ = on;
}

std::u16string CMqttSession::PeerId() {
  std::lock_guard<std::mutex> hold(peerMutex_);
  return peerId_;
}

void CMqttSession::SetPeerId(const std::u16string& id) {
  std::lock_guard<std::mutex> hold(peerMutex_);
  peerId_ = id;
}

bool CMqttSession::DropPeer() {
  SetPeerId(std::u16string());
  return true;
}

bool CMqttSession::IsConnected() { return !PeerId().empty(); }

// A start does not keep the session alive: one released while connecting
// is destroyed at once, with its pending starts.
//
// Start may be called from any thread but Paho's own: the controller moves a
// re-start after a lost connection to its UI thread. Whether the client is
// connected is read from the session's own flag: MQTTAsync_isConnected takes
// the mutex Paho holds around its handlers.
bool CMqttSession::Start(std::int32_t cookie) {
  if (!client_) return false;
  auto* op = new MqttOperation(this, cookie, nullptr, false);
  bool connected;
  bool joining = false;
  {
    std::lock_guard<std::mutex> hold(startMutex_);
    wanted_ = true;
    connected = connected_;
    // Decided under the same lock that HandleConnected takes the waiting
    // starts under, so a connect completing now cannot miss this one.
    if (!connected) {
      joining = !starting_.empty();
      starting_.push_back(op);
    }
  }
  // Already connected (a connect that Paho completed after its start was
  // reported as failed, or a start while started): Paho would drop another
  // connect without a word, so only the subscribe is asked for.
  if (connected) {
    if (Subscribe(op)) return true;
    // The connection went meanwhile; connect anew.
    std::lock_guard<std::mutex> hold(startMutex_);
    connected_ = false;
    joining = !starting_.empty();
    starting_.push_back(op);
  }
  // A connect already asked for settles this start too; asking again would
  // rewrite the options Paho is connecting with.
  if (joining) return true;

  {
    std::lock_guard<std::mutex> hold(optionsMutex_);
    socketsBeforeConnect_ = sendWithoutDelay_ ? MqttTcpSockets() : std::set<unsigned long long>();
  }
  // Paho stores a connect's handlers in the client before it takes its
  // lock, and its handling of a lost connection, which runs under that lock,
  // ends by failing whatever connect handlers the client holds by then: a
  // connect asked for meanwhile would be failed for the old connection and
  // its own outcome never told. Taking Paho's lock once waits for that
  // handling to end. (Never on Paho's own threads, which hold the lock.)
  if (!InPahoHandler()) MQTTAsync_isConnected(client_);
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  will.topicName = topic_.c_str();
  will.message = willText_.c_str();
  will.retained = 0;
  will.qos = 0;

  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  options.keepAliveInterval = 30;
  options.cleansession = 1;
  options.maxInflight = kMaxInFlight;
  options.will = &will;
  options.username = nullptr;
  options.password = nullptr;
  options.connectTimeout = 5;
  options.retryInterval = 0;
  options.ssl = nullptr;
  options.onSuccess = &MqttCallbacks::ConnectSucceeded;
  options.onFailure = &MqttCallbacks::ConnectFailed;
  options.context = reinterpret_cast<void*>(ticket_);
  options.serverURIcount = 0;
  options.serverURIs = nullptr;
  // MQTT 3.1.1 only. With the library's default, Paho answers a failed
  // 3.1.1 connect, and a connection lost after it was established, by
  // queueing a 3.1 connect of its own that has no handlers; a start arriving
  // while that command heads Paho's queue is ignored and never settled.
  options.MQTTVersion = MQTTVERSION_3_1_1;
  int rc = MQTTAsync_connect(client_, &options);
  if (rc == MQTTASYNC_SUCCESS) return true;

  // Refused, or ignored because a connect or disconnect of this client
  // still heads Paho's queue: no outcome will come for this connect.
  std::vector<MqttOperation*> refused;
  {
    std::lock_guard<std::mutex> hold(startMutex_);
    refused.swap(starting_);
  }
  bool mine = false;
  for (MqttOperation* other : refused) {
    if (other == op) {
      mine = true;
      continue;
    }
    // A start that joined meanwhile was promised an outcome.
    Complete(other, false, &INetSessionNotify::OnStarted);
    delete other;
  }
  if (!mine) return true;  // a connect outcome settled it meanwhile
  delete op;
  return false;
}

void CMqttSession::MarkDisconnected() {
  std::lock_guard<std::mutex> hold(startMutex_);
  connected_ = false;
}

bool CMqttSession::Subscribe(MqttOperation* op) {
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = &MqttCallbacks::Subscribed;
  options.onFailure = &MqttCallbacks::SubscribeFailed;
  op->subscribing = true;
  options.context = Ticket(op);
  if (MQTTAsync_subscribe(client_, topic_.c_str(), 2, &options) == MQTTASYNC_SUCCESS) return true;
  if (!Withdraw(op)) return true;  // a lost connection took it and fails it
  op->subscribing = false;
  return false;
}

// Every connect of the client ends here, whichever start asked for it: the
// starts waiting now subscribe. A connect whose starts were already settled
// (Paho retrying after the failure was reported) leaves the client connected
// for the next start, or is ended when the session was stopped meanwhile.
void CMqttSession::HandleConnected() {
  {
    std::lock_guard<std::mutex> hold(optionsMutex_);
    if (sendWithoutDelay_)
      MqttSetNoDelayOnNewSockets(socketsBeforeConnect_, MqttUriPort(serverUri_));
  }
  window_.NewConnection();
  std::vector<MqttOperation*> starts;
  bool wanted;
  {
    std::lock_guard<std::mutex> hold(startMutex_);
    connected_ = true;
    starts.swap(starting_);
    wanted = wanted_;
  }
  for (MqttOperation* op : starts) {
    if (wanted && Subscribe(op)) continue;
    Complete(op, false, &INetSessionNotify::OnStarted);
    delete op;
  }
  if (!wanted) {
    auto* op = new MqttOperation(this, 0, nullptr, false);
    op->silent = true;
    Disconnect(op);
  }
}

void CMqttSession::HandleConnectFailed() {
  std::vector<MqttOperation*> starts;
  {
    std::lock_guard<std::mutex> hold(startMutex_);
    connected_ = false;
    starts.swap(starting_);
  }
  for (MqttOperation* op : starts) {
    Complete(op, false, &INetSessionNotify::OnStarted);
    delete op;
  }
}

void CMqttSession::Complete(MqttOperation* op, bool ok,
                            void (INetSessionNotify::*notify)(bool, std::int32_t)) {
  if (op->silent) return;
  if (op->waiter) {
    std::lock_guard<std::mutex> hold(op->waiter->mutex);
    op->waiter->ok = ok;
    op->waiter->done = true;
    op->waiter->signalled.notify_all();
    return;
  }
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (notify_) (notify_->*notify)(ok, op->cookie);
}

bool CMqttSession::WaitFor(const std::shared_ptr<MqttWaiter>& waiter) {
  std::chrono::milliseconds limit;
  {
    std::lock_guard<std::mutex> hold(optionsMutex_);
    limit = blockingLimit_;
  }
  std::unique_lock<std::mutex> hold(waiter->mutex);
  return waiter->signalled.wait_for(hold, limit, [&] { return waiter->done; }) && waiter->ok;
}

bool CMqttSession::Stop(std::int32_t cookie) { return Disconnect(new MqttOperation(this, cookie)); }

bool CMqttSession::Close() {
  auto waiter = std::make_shared<MqttWaiter>();
  if (!Disconnect(new MqttOperation(this, 0, waiter))) return false;
  return WaitFor(waiter);
}

bool CMqttSession::Disconnect(MqttOperation* op) {
  SetPeerId(std::u16string());
  {
    std::lock_guard<std::mutex> hold(startMutex_);
    wanted_ = false;
  }
  if (!client_) {
    delete op;
    return false;
  }
  MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
  options.timeout = 0;
  options.onSuccess = &MqttCallbacks::Disconnected;
  options.onFailure = &MqttCallbacks::DisconnectFailed;
  options.context = Ticket(op);
  if (MQTTAsync_disconnect(client_, &options) != MQTTASYNC_SUCCESS) {
    Withdraw(op);
    delete op;
    return false;
  }
  return true;
}

bool CMqttSession::Send(JsonPtr& message, std::int32_t cookie) {
  return Publish(message, PeerId(), new MqttOperation(this, cookie));
}

bool CMqttSession::SendSync(JsonPtr& message) {
  auto waiter = std::make_shared<MqttWaiter>();
  if (!Publish(message, PeerId(), new MqttOperation(this, 0, waiter))) return false;
  return WaitFor(waiter);
}

bool CMqttSession::Publish(JsonPtr& message, const std::u16string& receiver, MqttOperation* op) {
  if (!client_ || clientIdWide_.empty() || receiver.empty() || !message ||
      message.Kind() != JsonKind::Object) {
    delete op;
    return false;
  }
  message.Append(JsonNewString(u"src", clientIdWide_));
  message.Append(JsonNewString(u"dst", receiver));
  std::string payload = Utf8Of(message);
  if (payload.empty()) {
    delete op;
    return false;
  }
  if (!window_.Submit(std::move(payload), op)) {
    delete op;
    return false;
  }
  return true;
}

// Paho hands at most kMaxInFlight publishes to the broker; the window keeps
// the rest, in order, and calls this as each one's turn comes.
int CMqttSession::SendToPaho(const std::string& payload, MqttOperation* op) {
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = &MqttCallbacks::Published;
  options.onFailure = &MqttCallbacks::PublishFailed;
  op->publish = true;
  options.context = Ticket(op);
  int rc = MQTTAsync_send(client_, topic_.c_str(), static_cast<int>(payload.size()), payload.data(),
                          2, 0, &options);
  // Taken meanwhile by a lost connection, which fails it: not refused here.
  if (rc != MQTTASYNC_SUCCESS && !Withdraw(op)) return MQTTASYNC_SUCCESS;
  return rc;
}

// A publish already reported as accepted that will not reach the broker:
// the failure is its outcome.
void CMqttSession::FailPublish(MqttOperation* op) {
  Complete(op, false, &INetSessionNotify::OnSent);
  delete op;
}

void CMqttSession::OnPublishDone(MqttOperation* op, bool ok) {
  window_.Completed(op->generation);
  Complete(op, ok, &INetSessionNotify::OnSent);
  delete op;
}

void CMqttSession::HandleMessage(const std::string& payload) {
  RelayPayload in;
  if (!DecodeRelayPayload(payload.data(), payload.size(), in)) return;
  RelayVerdict verdict;
  {
    std::lock_guard<std::mutex> hold(peerMutex_);
    verdict = DecideRelayPayload(in, clientIdWide_, peerId_);
  }
  switch (verdict) {
    case RelayVerdict::Drop:
      return;
    case RelayVerdict::Busy: {
      JsonPtr busy = JsonNew(JsonKind::Object);
      busy.Append(JsonNewString(u"msg", u"error"));
      busy.Append(JsonNewString(u"error", kBusyText));
      Publish(busy, in.src, new MqttOperation(this, 0, nullptr, false));
      return;
    }
    case RelayVerdict::PeerLost: {
      std::lock_guard<std::recursive_mutex> hold(lock_);
      if (notify_) notify_->OnPeerLost();
      return;
    }
    case RelayVerdict::Deliver: {
      std::lock_guard<std::recursive_mutex> hold(lock_);
      if (notify_) notify_->OnMessage(Relay, in.message);
      return;
    }
  }
}

void CMqttSession::HandleConnectionLost() {
  {
    std::lock_guard<std::mutex> hold(startMutex_);
    connected_ = false;
  }
  FailOrphans(true);
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (notify_) notify_->OnNetworkLost();
}

// After the connection ended (lost, or closed by Stop or Close), neither the
// publishes Paho had nor those still waiting in the session will reach the
// broker; their outcome is failure, in the order they were sent.
void CMqttSession::FailOrphans(bool subscribesToo) {
  std::vector<MqttOperation*> orphans = TakeOrphans(this, subscribesToo);
  std::deque<PublishWindow::Waiting> waiting = window_.Abandon();
  std::sort(orphans.begin(), orphans.end(),
            [](const MqttOperation* a, const MqttOperation* b) { return a->ticket < b->ticket; });
  for (MqttOperation* op : orphans) {
    if (op->subscribing) {
      Complete(op, false, &INetSessionNotify::OnStarted);
    } else {
      Complete(op, false, &INetSessionNotify::OnSent);
    }
    delete op;
  }
  for (auto& pending : waiting) FailPublish(static_cast<MqttOperation*>(pending.item));
}
