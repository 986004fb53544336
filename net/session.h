// The channel between the phone and the PC: one interface over the cloud
// relay and the direct LAN transports, with cookie-carrying notifications.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "json/json.h"

// Intrusive reference count. Holders keep plain pointers and pair every
// AddRef with one Release; the object deletes itself at zero.
class referenced_base {
 public:
  virtual ~referenced_base() = default;
  virtual void Destroy() { delete this; }

  void AddRef() { count_.fetch_add(1, std::memory_order_relaxed); }
  void Release() {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) Destroy();
  }
  std::int32_t RefCount() const { return count_.load(); }

 protected:
  referenced_base() = default;
  referenced_base(const referenced_base&) = delete;
  referenced_base& operator=(const referenced_base&) = delete;

 private:
  std::atomic<std::int32_t> count_{0};
};

// Null-tolerant helpers, so callers never test before releasing.
inline void AddRef(referenced_base* p) {
  if (p) p->AddRef();
}
inline void Release(referenced_base* p) {
  if (p) p->Release();
}

enum SessionType : std::int32_t {
  Relay = 0,
  Direct = 1,
};

using PairingParam = std::pair<std::string, std::string>;

class INetSessionNotify {
 public:
  virtual void OnStarted(bool ok, std::int32_t cookie) = 0;
  virtual void OnStopped(bool ok, std::int32_t cookie) = 0;
  virtual void OnSent(bool ok, std::int32_t cookie) = 0;
  virtual void OnNetworkLost() = 0;
  virtual void OnPeerLost() = 0;
  virtual void OnMessage(SessionType from, JsonPtr& message) = 0;

 protected:
  ~INetSessionNotify() = default;
};

class INetSession : public referenced_base {
 public:
  virtual std::vector<PairingParam> GetPairingParams() = 0;
  virtual bool Start(std::int32_t cookie) = 0;
  virtual bool Stop(std::int32_t cookie) = 0;
  virtual bool Close() = 0;
  virtual bool DropPeer() = 0;
  virtual bool IsConnected() = 0;
  virtual bool Send(JsonPtr& message, std::int32_t cookie) = 0;
  virtual bool SendSync(JsonPtr& message) = 0;
  virtual void SetNotify(INetSessionNotify* notify) = 0;
};

// Constructs the session of that kind with one reference taken; null for an
// unknown kind.
INetSession* CreateSession(SessionType type);
