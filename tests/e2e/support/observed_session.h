// A session seen through a window: forwards every operation to the real
// session and every notification to whoever registered, and counts the
// successful starts on the way, so a test knows when the relay is really
// subscribed (the controller shows WaitingForPhone as soon as either
// session has started, usually the direct one).
#pragma once

#include <atomic>
#include <mutex>

#include "net/session.h"

namespace e2e {

class ObservedSession : public INetSession, private INetSessionNotify {
 public:
  // Takes over the caller's reference to `inner`.
  explicit ObservedSession(INetSession* inner) : inner_(inner) {}
  ~ObservedSession() override { ::Release(inner_); }

  int StartedCount() const { return started_.load(); }
  INetSession* Inner() const { return inner_; }

  std::vector<PairingParam> GetPairingParams() override { return inner_->GetPairingParams(); }
  bool Start(std::int32_t cookie) override { return inner_->Start(cookie); }
  bool Stop(std::int32_t cookie) override { return inner_->Stop(cookie); }
  bool Close() override { return inner_->Close(); }
  bool DropPeer() override { return inner_->DropPeer(); }
  bool IsConnected() override { return inner_->IsConnected(); }
  bool SendByKind(JsonPtr& app, JsonPtr& browser, std::int32_t cookie) override {
    return inner_->SendByKind(app, browser, cookie);
  }
  bool Send(JsonPtr& message, std::int32_t cookie) override {
    return inner_->Send(message, cookie);
  }
  bool SendSync(JsonPtr& message) override { return inner_->SendSync(message); }
  void SetNotify(INetSessionNotify* notify) override {
    {
      std::lock_guard<std::mutex> lock(lock_);
      target_ = notify;
    }
    // The inner session notifies under its own lock, which this call also
    // takes: once it returns, nothing reaches the old receiver.
    inner_->SetNotify(notify ? static_cast<INetSessionNotify*>(this) : nullptr);
  }

 private:
  INetSessionNotify* Target() {
    std::lock_guard<std::mutex> lock(lock_);
    return target_;
  }
  void OnStarted(bool ok, std::int32_t cookie) override {
    if (ok) ++started_;
    if (auto* t = Target()) t->OnStarted(ok, cookie);
  }
  void OnStopped(bool ok, std::int32_t cookie) override {
    if (auto* t = Target()) t->OnStopped(ok, cookie);
  }
  void OnSent(bool ok, std::int32_t cookie) override {
    if (auto* t = Target()) t->OnSent(ok, cookie);
  }
  void OnNetworkLost() override {
    if (auto* t = Target()) t->OnNetworkLost();
  }
  void OnPeerLost() override {
    if (auto* t = Target()) t->OnPeerLost();
  }
  void OnMessage(SessionType from, JsonPtr& message) override {
    if (auto* t = Target()) t->OnMessage(from, message);
  }

  INetSession* inner_;
  std::mutex lock_;
  INetSessionNotify* target_ = nullptr;
  std::atomic<int> started_{0};
};

}  // namespace e2e
