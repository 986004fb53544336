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

// A message of the phone protocol without members: {"msg": name}. Every
// message the PC and the phones exchange starts as one of these.
inline JsonPtr MakeMessage(const std::u16string& name) {
  JsonPtr message = JsonNew(JsonKind::Object);
  message.Append(JsonNewString(u"msg", name));
  return message;
}

// What every session answers a second phone while one is attached.
inline constexpr char16_t kBusyText[] = u"您的电脑已与其他手机建立连接。";

class INetSessionNotify {
 public:
  virtual void OnStarted(bool ok, std::int32_t cookie) = 0;
  virtual void OnStopped(bool ok, std::int32_t cookie) = 0;
  virtual void OnSent(bool ok, std::int32_t cookie) = 0;
  virtual void OnNetworkLost() = 0;
  virtual void OnPeerLost() = 0;
  virtual void OnMessage(SessionType from, JsonPtr& message) = 0;
  // True while the receiver has more of the phone's commands waiting than it
  // holds; a session that can stop reading from the phone does so until this
  // turns false. Asked on the session's thread after a message; must not
  // block.
  virtual bool IsBacklogged() { return false; }

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
  // Sends `app` to a phone running the app and `browser` to the browser
  // remote's page, whichever is attached when the message leaves; a null
  // handle sends nothing to that kind of phone. A session without browsers
  // sends `app` alone.
  virtual bool SendByKind(JsonPtr& app, JsonPtr& browser, std::int32_t cookie) {
    (void)browser;
    return app && Send(app, cookie);
  }

  // The attached phone's address (no port), empty when there is none or the
  // transport does not know it; and the same for the presenter's eyes, with
  // the way it is attached ("192.168.1.7 TCP"). Any thread.
  virtual std::string PeerAddress() { return std::string(); }
  virtual std::string PeerDescription() { return std::string(); }
  // Phones from this address (as PeerAddress gives it) are told busy for this
  // session's life; empty refuses nobody. Call before Start.
  virtual void RefuseAddress(const std::string& address) {}
};

// Constructs the session of that kind with one reference taken; null for an
// unknown kind.
INetSession* CreateSession(SessionType type);
