#include "net/mqtt_session.h"

#include <MQTTAsync.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <unordered_map>
#include <utility>

#include "net/mqtt_nodelay.h"
#include "net/relay_payload.h"
#include "services/machine_guid.h"

namespace {

// Set while one of this file's Paho handlers runs on the current thread.
thread_local int tHandlerDepth = 0;

struct HandlerScope {
  HandlerScope() { ++tHandlerDepth; }
  ~HandlerScope() { --tHandlerDepth; }
};

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

struct MqttWaiter {
  std::mutex mutex;
  std::condition_variable signalled;
  bool done = false;
  bool ok = false;
};

// The context of one request to Paho. Most hold a reference to the
// session, so that the session outlives them.
struct MqttOperation {
  MqttOperation(CMqttSession* s, std::int32_t c, std::shared_ptr<MqttWaiter> w = nullptr,
                bool holdReference = true)
      : session(s), cookie(c), waiter(std::move(w)), holdsReference(holdReference) {
    if (holdsReference) session->AddRef();
  }
  ~MqttOperation() {
    if (holdsReference) session->Release();
  }
  MqttOperation(const MqttOperation&) = delete;
  MqttOperation& operator=(const MqttOperation&) = delete;

  CMqttSession* session;
  std::int32_t cookie;
  // Shared with a blocked caller, which may have stopped waiting.
  std::shared_ptr<MqttWaiter> waiter;
  // The session's own replies, made inside a Paho handler, hold none: the
  // last reference may already be gone there, and taking one would revive
  // a session that is being destroyed. Starts hold none either: against a
  // broker that accepts and stays silent a connect lasts two connect
  // timeouts, and a session released meanwhile goes at once; destroying the
  // client abandons the connect without a completion. The destructor drops
  // these operations instead.
  bool holdsReference;
  // Settles without a notification (the session's own disconnect).
  bool silent = false;
  // The connection the publish was handed to (see OnPublishDone).
  unsigned long generation = 0;
  // A publish, or the subscribe that ends a start (see TakeOrphans).
  bool publish = false;
  bool subscribing = false;
  std::uintptr_t ticket = 0;
};

namespace {

// Paho is handed a ticket number as context, never the operation itself.
// Paho drops the requests in flight when a connection ends without calling
// their handlers; the session then takes those operations back and fails
// them, and a handler that still comes later finds no operation.
std::mutex& gTicketsMutex = *new std::mutex;
std::unordered_map<std::uintptr_t, MqttOperation*>& gTickets =
    *new std::unordered_map<std::uintptr_t, MqttOperation*>;
std::uintptr_t gLastTicket = 0;

void* Ticket(MqttOperation* op) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  op->ticket = ++gLastTicket;
  gTickets[op->ticket] = op;
  return reinterpret_cast<void*>(op->ticket);
}

// For a request Paho refused: no handler will come. False when the
// operation was taken meanwhile (see TakeOrphans); its taker settles it.
bool Withdraw(MqttOperation* op) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  return gTickets.erase(op->ticket) == 1;
}

// The sessions by the ticket each hands Paho for its connection.
std::unordered_map<std::uintptr_t, CMqttSession*>& gSessions =
    *new std::unordered_map<std::uintptr_t, CMqttSession*>;

std::uintptr_t RegisterSession(CMqttSession* session) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  gSessions[++gLastTicket] = session;
  return gLastTicket;
}

void ForgetSession(std::uintptr_t ticket) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  gSessions.erase(ticket);
}

// Every handler passes this gate before it touches its session, and the
// destructor closes it and waits for those inside before anything is freed.
// It is kept outside the sessions so that a handler never has to touch a
// session that may be gone to learn that it is gone.
struct GateState {
  int inside = 0;
  bool closing = false;
};
std::mutex& gGateMutex = *new std::mutex;
std::condition_variable& gGateLeft = *new std::condition_variable;
std::unordered_map<const CMqttSession*, GateState>& gGates =
    *new std::unordered_map<const CMqttSession*, GateState>;

void OpenGate(const CMqttSession* session) {
  std::lock_guard<std::mutex> hold(gGateMutex);
  gGates[session] = GateState();
}

bool EnterGate(const CMqttSession* session) {
  std::lock_guard<std::mutex> hold(gGateMutex);
  auto it = gGates.find(session);
  if (it == gGates.end() || it->second.closing) return false;
  ++it->second.inside;
  return true;
}

void LeaveGate(const CMqttSession* session) {
  std::lock_guard<std::mutex> hold(gGateMutex);
  auto it = gGates.find(session);
  if (it != gGates.end() && --it->second.inside == 0) gGateLeft.notify_all();
}

void CloseGate(const CMqttSession* session) {
  std::unique_lock<std::mutex> hold(gGateMutex);
  auto it = gGates.find(session);
  if (it == gGates.end()) return;
  it->second.closing = true;
  gGateLeft.wait(hold, [&] { return it->second.inside == 0; });
  gGates.erase(it);
}

// Leaves the gate when the handler ends.
struct Inside {
  explicit Inside(const CMqttSession* s) : session(s) {}
  ~Inside() { LeaveGate(session); }
  const CMqttSession* session;
};

// The operation of a ticket, with the handler let into its session; null
// when the session gave the operation up or is being destroyed.
MqttOperation* Redeem(void* context) {
  MqttOperation* op = nullptr;
  {
    std::lock_guard<std::mutex> hold(gTicketsMutex);
    auto it = gTickets.find(reinterpret_cast<std::uintptr_t>(context));
    if (it == gTickets.end()) return nullptr;
    op = it->second;
    gTickets.erase(it);
    // Checked under the tickets lock: a session that is being destroyed
    // takes its remaining tickets under this lock, after closing its gate.
    if (EnterGate(op->session)) return op;
  }
  delete op;  // holds no reference: only such operations outlive their session's gate
  return nullptr;
}

// The session of a connection-wide handler, let in; null when it is gone
// or being destroyed.
CMqttSession* EnterSession(void* context) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  auto it = gSessions.find(reinterpret_cast<std::uintptr_t>(context));
  if (it == gSessions.end() || !EnterGate(it->second)) return nullptr;
  return it->second;
}

// Every operation of the session that is still with Paho.
std::vector<MqttOperation*> TakeAll(const CMqttSession* session) {
  std::vector<MqttOperation*> taken;
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  for (auto it = gTickets.begin(); it != gTickets.end();) {
    if (it->second->session == session) {
      taken.push_back(it->second);
      it = gTickets.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

// The session's publishes (and, when the connection was lost, its pending
// subscribe) that Paho will not complete any more.
std::vector<MqttOperation*> TakeOrphans(const CMqttSession* session, bool subscribesToo) {
  std::vector<MqttOperation*> taken;
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  for (auto it = gTickets.begin(); it != gTickets.end();) {
    MqttOperation* op = it->second;
    if (op->session == session && (op->publish || (subscribesToo && op->subscribing))) {
      taken.push_back(op);
      it = gTickets.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

}  // namespace

struct CMqttSession::PendingPublish {
  std::string payload;
  MqttOperation* op;
};

// Paho's C handlers. None lets an exception out.
struct MqttCallbacks {
  static void ConnectSucceeded(void* context, MQTTAsync_successData*) {
    ConnectDone(context, &CMqttSession::HandleConnected);
  }
  static void ConnectFailed(void* context, MQTTAsync_failureData*) {
    ConnectDone(context, &CMqttSession::HandleConnectFailed);
  }
  static void ConnectDone(void* context, void (CMqttSession::*handle)()) {
    HandlerScope scope;
    CMqttSession* session = EnterSession(context);
    if (!session) return;
    Inside inside(session);
    try {
      (session->*handle)();
    } catch (...) {
    }
  }

  // The subscribe that ends a start.
  static void SubscribeFailed(void* context, MQTTAsync_failureData*) { StartDone(context, false); }
  static void Subscribed(void* context, MQTTAsync_successData*) { StartDone(context, true); }
  static void StartDone(void* context, bool ok) {
    HandlerScope scope;
    MqttOperation* op = Redeem(context);
    if (!op) return;
    Inside inside(op->session);
    try {
      op->session->Complete(op, ok, &INetSessionNotify::OnStarted);
    } catch (...) {
    }
    delete op;
  }

  static void Published(void* context, MQTTAsync_successData*) { PublishDone(context, true); }
  static void PublishFailed(void* context, MQTTAsync_failureData*) { PublishDone(context, false); }
  static void PublishDone(void* context, bool ok) {
    HandlerScope scope;
    MqttOperation* op = Redeem(context);
    if (!op) return;
    Inside inside(op->session);
    try {
      op->session->OnPublishDone(op, ok);
    } catch (...) {
      delete op;
    }
  }

  static void Disconnected(void* context, MQTTAsync_successData*) { DisconnectDone(context, true); }
  static void DisconnectFailed(void* context, MQTTAsync_failureData*) {
    DisconnectDone(context, false);
  }
  static void DisconnectDone(void* context, bool ok) {
    HandlerScope scope;
    MqttOperation* op = Redeem(context);
    if (!op) return;
    Inside inside(op->session);
    try {
      op->session->MarkDisconnected();
      op->session->FailOrphans(true);
      op->session->Complete(op, ok, &INetSessionNotify::OnStopped);
    } catch (...) {
    }
    delete op;
  }

  static int MessageArrived(void* context, char* topicName, int, MQTTAsync_message* message) {
    HandlerScope scope;
    std::string payload;
    bool keep = message && message->payload && RelayPayloadSizeAccepted(message->payloadlen);
    try {
      if (keep) payload.assign(static_cast<const char*>(message->payload), message->payloadlen);
    } catch (...) {
      keep = false;
    }
    // Paho's buffers go back at once; only the copy is worked on.
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topicName);
    CMqttSession* session = keep ? EnterSession(context) : nullptr;
    if (session) {
      Inside inside(session);
      try {
        session->HandleMessage(payload);
      } catch (...) {
      }
    }
    return 1;
  }

  static void ConnectionLost(void* context, char* cause) {
    HandlerScope scope;
    if (cause) MQTTAsync_free(cause);
    CMqttSession* session = EnterSession(context);
    if (!session) return;
    Inside inside(session);
    try {
      session->HandleConnectionLost();
    } catch (...) {
    }
  }
};

CMqttSession::CMqttSession(const std::string& serverUri)
    : serverUri_(serverUri.empty() ? std::string("tcp://") + PIVARO_RELAY_HOST + ":443"
                                   : serverUri) {
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
  for (auto& pending : waitingPublishes_) delete pending->op;
  waitingPublishes_.clear();
  if (client_) {
    MQTTAsync client = client_;
    MQTTAsync_destroy(&client);
  }
  --gLiveSessions;
}

int CMqttSession::LiveSessions() { return gLiveSessions.load(); }

void CMqttSession::Destroy() {
  if (tHandlerDepth > 0) {
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
  if (tHandlerDepth == 0) MQTTAsync_isConnected(client_);
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
  {
    // A fresh connection: nothing of the old one is in flight any more.
    std::lock_guard<std::mutex> hold(publishMutex_);
    ++generation_;
    inFlight_ = 0;
  }
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
  if (!SubmitPublish(std::move(payload), op)) {
    delete op;
    return false;
  }
  return true;
}

// Paho hands at most kMaxInFlight publishes to the broker; one beyond that
// waits inside Paho for its sender's one-second timer. So the session keeps
// the excess itself, in order, and passes one on as each completes. Paho is
// never called with publishMutex_ held: its completions take that mutex.
bool CMqttSession::SubmitPublish(std::string payload, MqttOperation* op) {
  std::unique_lock<std::mutex> hold(publishMutex_);
  if (!handing_ && waitingPublishes_.empty() && inFlight_ < kMaxInFlight) {
    ++inFlight_;
    handing_ = true;
    op->generation = generation_;
    hold.unlock();
    int rc = SendToPaho(payload, op);
    hold.lock();
    if (rc != MQTTASYNC_SUCCESS && op->generation == generation_) --inFlight_;
    HandOnWaiting(hold);
    return rc == MQTTASYNC_SUCCESS;
  }
  waitingPublishes_.push_back(
      std::unique_ptr<PendingPublish>(new PendingPublish{std::move(payload), op}));
  if (!handing_) {
    handing_ = true;
    HandOnWaiting(hold);
  }
  return true;
}

void CMqttSession::HandOnWaiting(std::unique_lock<std::mutex>& hold) {
  while (inFlight_ < kMaxInFlight && !waitingPublishes_.empty()) {
    std::unique_ptr<PendingPublish> next = std::move(waitingPublishes_.front());
    waitingPublishes_.pop_front();
    ++inFlight_;
    next->op->generation = generation_;
    hold.unlock();
    int rc = SendToPaho(next->payload, next->op);
    if (rc != MQTTASYNC_SUCCESS) {
      // Already reported as started: the failure comes as its outcome.
      Complete(next->op, false, &INetSessionNotify::OnSent);
    }
    hold.lock();
    if (rc != MQTTASYNC_SUCCESS) {
      if (next->op->generation == generation_) --inFlight_;
      hold.unlock();
      delete next->op;
      hold.lock();
    }
  }
  handing_ = false;
}

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

void CMqttSession::OnPublishDone(MqttOperation* op, bool ok) {
  {
    std::unique_lock<std::mutex> hold(publishMutex_);
    if (op->generation == generation_ && inFlight_ > 0) --inFlight_;
    if (!handing_) {
      handing_ = true;
      HandOnWaiting(hold);
    }
  }
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
  std::deque<std::unique_ptr<PendingPublish>> waiting;
  {
    std::lock_guard<std::mutex> hold(publishMutex_);
    waiting.swap(waitingPublishes_);
    ++generation_;
    inFlight_ = 0;
  }
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
  for (auto& pending : waiting) {
    Complete(pending->op, false, &INetSessionNotify::OnSent);
    delete pending->op;
  }
}
