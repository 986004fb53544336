// What the relay session and Paho's handlers share: the context of one
// request to Paho, and the process-wide bookkeeping through which a handler
// on Paho's thread finds that context and its session, or learns that they
// are gone. Internal to the relay; the session's users see none of it.
#pragma once

#include <MQTTAsync.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "net/mqtt_session.h"

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

// Whether one of Paho's handlers runs on the current thread: Paho's own
// threads may neither destroy their client nor take Paho's lock.
bool InPahoHandler();

// Paho is handed a ticket number as context, never the operation itself.
// Paho drops the requests in flight when a connection ends without calling
// their handlers; the session then takes those operations back and fails
// them, and a handler that still comes later finds no operation.
void* Ticket(MqttOperation* op);
// For a request Paho refused: no handler will come. False when the
// operation was taken meanwhile (see TakeOrphans); its taker settles it.
bool Withdraw(MqttOperation* op);

// The ticket a session hands Paho for its connection-wide handlers, and its
// end; a ticket is never reused.
std::uintptr_t RegisterSession(CMqttSession* session);
void ForgetSession(std::uintptr_t ticket);

// The gate every handler passes before it touches its session: opened when
// the session is made; closing waits for the handlers inside and keeps
// later ones out.
void OpenGate(const CMqttSession* session);
void CloseGate(const CMqttSession* session);

// Every operation of the session that is still with Paho.
std::vector<MqttOperation*> TakeAll(const CMqttSession* session);
// The session's publishes (and, when the connection was lost, its pending
// subscribe) that Paho will not complete any more.
std::vector<MqttOperation*> TakeOrphans(const CMqttSession* session, bool subscribesToo);

// Paho's C handlers, each let into its session through the gate. None lets
// an exception out.
struct MqttCallbacks {
  static void ConnectSucceeded(void* context, MQTTAsync_successData*);
  static void ConnectFailed(void* context, MQTTAsync_failureData*);
  static void ConnectDone(void* context, void (CMqttSession::*handle)());
  static void SubscribeFailed(void* context, MQTTAsync_failureData*);
  static void Subscribed(void* context, MQTTAsync_successData*);
  static void StartDone(void* context, bool ok);
  static void Published(void* context, MQTTAsync_successData*);
  static void PublishFailed(void* context, MQTTAsync_failureData*);
  static void PublishDone(void* context, bool ok);
  static void Disconnected(void* context, MQTTAsync_successData*);
  static void DisconnectFailed(void* context, MQTTAsync_failureData*);
  static void DisconnectDone(void* context, bool ok);
  static int MessageArrived(void* context, char* topicName, int, MQTTAsync_message* message);
  static void ConnectionLost(void* context, char* cause);
};
