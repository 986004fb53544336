// What the terminal's status line says about the two pairing transports:
// whether the relay broker was reached and whether the LAN port is bound.
// CWatchedSession sits between the controller and a real session, passes
// every call and notification through unchanged and records the outcome of
// starts and stops on the way.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "net/browser_remote.h"
#include "net/session.h"

enum class LinkState : int { Off, Starting, Up, Down };

class TransportStatus {
 public:
  LinkState RelayState() const { return relay_.load(); }
  LinkState LanState() const { return lan_.load(); }
  std::uint16_t LanPort() const { return lanPort_.load(); }

  // A non-zero port is remembered as the LAN port.
  void Set(SessionType kind, LinkState state, std::uint16_t port = 0);
  // Called on whichever thread changed the state; must only hand over.
  void OnChange(std::function<void()> changed);

  // "relay: broker reached   LAN: port 41203 bound" and the like.
  std::string Text() const;

 private:
  std::atomic<LinkState> relay_{LinkState::Off};
  std::atomic<LinkState> lan_{LinkState::Off};
  std::atomic<std::uint16_t> lanPort_{0};
  std::mutex lock_;
  std::function<void()> changed_;
};

class CWatchedSession : public INetSession, public IBrowserRemoteSource, private INetSessionNotify {
 public:
  // Takes over the caller's reference to inner. port reads the LAN port
  // actually bound (may be empty for the relay).
  CWatchedSession(INetSession* inner, SessionType kind, TransportStatus& status,
                  std::function<std::uint16_t()> port = {});
  ~CWatchedSession() override;

  std::vector<PairingParam> GetPairingParams() override { return inner_->GetPairingParams(); }
  // The browser remote of the session inside, when it offers one.
  std::string BrowserAddress() override {
    auto* source = dynamic_cast<IBrowserRemoteSource*>(inner_);
    return source ? source->BrowserAddress() : std::string();
  }
  // The presenter view's pictures go to that browser remote.
  void SetSlidePictures(std::shared_ptr<ISlidePictureSource> source) override {
    if (auto* browsers = dynamic_cast<IBrowserRemoteSource*>(inner_)) {
      browsers->SetSlidePictures(std::move(source));
    }
  }
  bool Start(std::int32_t cookie) override;
  bool Stop(std::int32_t cookie) override;
  bool Close() override;
  bool DropPeer() override { return inner_->DropPeer(); }
  bool IsConnected() override { return inner_->IsConnected(); }
  bool Send(JsonPtr& message, std::int32_t cookie) override {
    return inner_->Send(message, cookie);
  }
  bool SendSync(JsonPtr& message) override { return inner_->SendSync(message); }
  // The session inside chooses by the phone attached: the interface's own
  // choice would give a browser the app's message.
  bool SendByKind(JsonPtr& app, JsonPtr& browser, std::int32_t cookie) override {
    return inner_->SendByKind(app, browser, cookie);
  }
  void SetNotify(INetSessionNotify* notify) override;
  std::string PeerAddress() override { return inner_->PeerAddress(); }
  std::string PeerDescription() override { return inner_->PeerDescription(); }
  void RefuseAddress(const std::string& address) override { inner_->RefuseAddress(address); }

 private:
  INetSessionNotify* Target();
  void OnStarted(bool ok, std::int32_t cookie) override;
  void OnStopped(bool ok, std::int32_t cookie) override;
  void OnSent(bool ok, std::int32_t cookie) override;
  void OnNetworkLost() override;
  void OnPeerLost() override;
  void OnMessage(SessionType from, JsonPtr& message) override;
  bool IsBacklogged() override;

  INetSession* inner_;
  const SessionType kind_;
  TransportStatus& status_;
  std::function<std::uint16_t()> port_;
  std::mutex lock_;
  INetSessionNotify* target_ = nullptr;
};
