// The bookkeeping that lets Paho's handlers find their session safely, and
// the handlers themselves. Paho calls its handlers on its own threads with
// a context it was handed earlier, possibly after the request was given up
// or the session destroyed. So Paho is only ever handed ticket numbers, the
// operations and sessions behind them are kept in process-wide tables, and
// every handler passes its session's gate, which the session's destructor
// closes and waits on, before it touches the session. Nothing here calls a
// Paho function that takes Paho's lock.
#include "net/mqtt_paho_handlers.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_map>

#include "net/relay_payload.h"

namespace {

// Set while one of this file's Paho handlers runs on the current thread.
thread_local int tHandlerDepth = 0;

struct HandlerScope {
  HandlerScope() { ++tHandlerDepth; }
  ~HandlerScope() { --tHandlerDepth; }
};

// The tables below are used by Paho's threads and by sessions destroyed on
// a detached thread, which may still run while the process exits: they are
// allocated once and never destroyed.
//
// The operations by the ticket Paho was handed for each (see Ticket).
std::mutex& gTicketsMutex = *new std::mutex;
std::unordered_map<std::uintptr_t, MqttOperation*>& gTickets =
    *new std::unordered_map<std::uintptr_t, MqttOperation*>;
std::uintptr_t gLastTicket = 0;

// The sessions by the ticket each hands Paho for its connection.
std::unordered_map<std::uintptr_t, CMqttSession*>& gSessions =
    *new std::unordered_map<std::uintptr_t, CMqttSession*>;

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

}  // namespace

bool InPahoHandler() { return tHandlerDepth > 0; }

void* Ticket(MqttOperation* op) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  op->ticket = ++gLastTicket;
  gTickets[op->ticket] = op;
  return reinterpret_cast<void*>(op->ticket);
}

bool Withdraw(MqttOperation* op) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  return gTickets.erase(op->ticket) == 1;
}

std::uintptr_t RegisterSession(CMqttSession* session) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  gSessions[++gLastTicket] = session;
  return gLastTicket;
}

void ForgetSession(std::uintptr_t ticket) {
  std::lock_guard<std::mutex> hold(gTicketsMutex);
  gSessions.erase(ticket);
}

void OpenGate(const CMqttSession* session) {
  std::lock_guard<std::mutex> hold(gGateMutex);
  gGates[session] = GateState();
}

void CloseGate(const CMqttSession* session) {
  std::unique_lock<std::mutex> hold(gGateMutex);
  auto it = gGates.find(session);
  if (it == gGates.end()) return;
  it->second.closing = true;
  gGateLeft.wait(hold, [&] { return it->second.inside == 0; });
  gGates.erase(it);
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

// Paho's C handlers. None lets an exception out.
void MqttCallbacks::ConnectSucceeded(void* context, MQTTAsync_successData*) {
  ConnectDone(context, &CMqttSession::HandleConnected);
}
void MqttCallbacks::ConnectFailed(void* context, MQTTAsync_failureData*) {
  ConnectDone(context, &CMqttSession::HandleConnectFailed);
}
void MqttCallbacks::ConnectDone(void* context, void (CMqttSession::*handle)()) {
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
void MqttCallbacks::SubscribeFailed(void* context, MQTTAsync_failureData*) {
  StartDone(context, false);
}
void MqttCallbacks::Subscribed(void* context, MQTTAsync_successData*) { StartDone(context, true); }
void MqttCallbacks::StartDone(void* context, bool ok) {
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

void MqttCallbacks::Published(void* context, MQTTAsync_successData*) { PublishDone(context, true); }
void MqttCallbacks::PublishFailed(void* context, MQTTAsync_failureData*) {
  PublishDone(context, false);
}
void MqttCallbacks::PublishDone(void* context, bool ok) {
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

void MqttCallbacks::Disconnected(void* context, MQTTAsync_successData*) {
  DisconnectDone(context, true);
}
void MqttCallbacks::DisconnectFailed(void* context, MQTTAsync_failureData*) {
  DisconnectDone(context, false);
}
void MqttCallbacks::DisconnectDone(void* context, bool ok) {
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

int MqttCallbacks::MessageArrived(void* context, char* topicName, int, MQTTAsync_message* message) {
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

void MqttCallbacks::ConnectionLost(void* context, char* cause) {
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
