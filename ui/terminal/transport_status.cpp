#include "ui/terminal/transport_status.h"

#include <utility>

void TransportStatus::Set(SessionType kind, LinkState state, std::uint16_t port) {
  std::atomic<LinkState>& slot = kind == SessionType::Relay ? relay_ : lan_;
  if (kind == SessionType::Direct && port) lanPort_.store(port);
  if (slot.exchange(state) == state) return;
  std::function<void()> changed;
  {
    std::lock_guard<std::mutex> lock(lock_);
    changed = changed_;
  }
  if (changed) changed();
}

void TransportStatus::OnChange(std::function<void()> changed) {
  std::lock_guard<std::mutex> lock(lock_);
  changed_ = std::move(changed);
}

std::string TransportStatus::Text() const {
  std::string text = "relay: ";
  switch (RelayState()) {
    case LinkState::Off:
      text += "off";
      break;
    case LinkState::Starting:
      text += "reaching the broker...";
      break;
    case LinkState::Up:
      text += "broker reached";
      break;
    case LinkState::Down:
      text += "broker not reached";
      break;
  }
  text += "   LAN: ";
  const std::string port = LanPort() ? "port " + std::to_string(LanPort()) : "the port";
  switch (LanState()) {
    case LinkState::Off:
      text += "off";
      break;
    case LinkState::Starting:
      text += "binding " + port + "...";
      break;
    case LinkState::Up:
      text += port + " bound";
      break;
    case LinkState::Down:
      text += port + " not bound";
      break;
  }
  return text;
}

CWatchedSession::CWatchedSession(INetSession* inner, SessionType kind, TransportStatus& status,
                                 std::function<std::uint16_t()> port)
    : inner_(inner), kind_(kind), status_(status), port_(std::move(port)) {}

CWatchedSession::~CWatchedSession() { ::Release(inner_); }

bool CWatchedSession::Start(std::int32_t cookie) {
  status_.Set(kind_, LinkState::Starting);
  // The direct session reports its start from inside Start, so the outcome
  // may already be recorded when this returns.
  bool ok = inner_->Start(cookie);
  if (!ok) status_.Set(kind_, LinkState::Down);
  return ok;
}

bool CWatchedSession::Stop(std::int32_t cookie) {
  bool ok = inner_->Stop(cookie);
  if (ok) status_.Set(kind_, LinkState::Off);
  return ok;
}

bool CWatchedSession::Close() {
  bool ok = inner_->Close();
  if (ok) status_.Set(kind_, LinkState::Off);
  return ok;
}

void CWatchedSession::SetNotify(INetSessionNotify* notify) {
  {
    std::lock_guard<std::mutex> lock(lock_);
    target_ = notify;
  }
  // The inner session notifies under its own lock, which this call also
  // takes: once it returns, nothing reaches the old receiver.
  inner_->SetNotify(notify ? static_cast<INetSessionNotify*>(this) : nullptr);
}

INetSessionNotify* CWatchedSession::Target() {
  std::lock_guard<std::mutex> lock(lock_);
  return target_;
}

void CWatchedSession::OnStarted(bool ok, std::int32_t cookie) {
  status_.Set(kind_, ok ? LinkState::Up : LinkState::Down, ok && port_ ? port_() : 0);
  if (auto* t = Target()) t->OnStarted(ok, cookie);
}

void CWatchedSession::OnStopped(bool ok, std::int32_t cookie) {
  status_.Set(kind_, LinkState::Off);
  if (auto* t = Target()) t->OnStopped(ok, cookie);
}

void CWatchedSession::OnSent(bool ok, std::int32_t cookie) {
  if (auto* t = Target()) t->OnSent(ok, cookie);
}

void CWatchedSession::OnNetworkLost() {
  status_.Set(kind_, LinkState::Down);
  if (auto* t = Target()) t->OnNetworkLost();
}

void CWatchedSession::OnPeerLost() {
  if (auto* t = Target()) t->OnPeerLost();
}

void CWatchedSession::OnMessage(SessionType from, JsonPtr& message) {
  if (auto* t = Target()) t->OnMessage(from, message);
}

bool CWatchedSession::IsBacklogged() {
  auto* t = Target();
  return t && t->IsBacklogged();
}
