// The two sessions the controller offers the phone, the hand-over between
// them when the phone greets one, and the links that pass on the
// notifications of the sessions that still speak for the phone.
#include "app/session_pair.h"

#include <utility>

namespace {

SessionType OtherKind(SessionType kind) { return kind == Relay ? Direct : Relay; }

}  // namespace

// Hands one session's notifications to the owner unless that session no
// longer speaks for the phone (see Speaks).
class CSessionPair::Link : public INetSessionNotify {
 public:
  Link(CSessionPair* pair, INetSession* session) : pair_(pair), session_(session) {}

  void OnStarted(bool ok, std::int32_t cookie) override {
    if (pair_->Speaks(session_)) pair_->owner_->OnStartedBy(session_, ok, cookie);
  }
  void OnStopped(bool ok, std::int32_t cookie) override {
    if (pair_->Speaks(session_)) pair_->owner_->OnStopped(ok, cookie);
  }
  void OnSent(bool ok, std::int32_t cookie) override {
    if (pair_->Speaks(session_)) pair_->owner_->OnSent(ok, cookie);
  }
  void OnNetworkLost() override {
    if (pair_->Speaks(session_)) pair_->owner_->OnNetworkLost();
  }
  void OnPeerLost() override {
    if (pair_->Speaks(session_)) pair_->owner_->OnPeerLost();
  }
  void OnMessage(SessionType from, JsonPtr& message) override {
    if (pair_->Speaks(session_)) pair_->owner_->OnMessage(from, message);
  }
  bool IsBacklogged() override { return pair_->owner_->IsBacklogged(); }

 private:
  CSessionPair* pair_;
  INetSession* session_;
};

CSessionPair::Ref& CSessionPair::Ref::operator=(Ref&& o) noexcept {
  if (this != &o) {
    ::Release(s_);
    s_ = o.s_;
    o.s_ = nullptr;
  }
  return *this;
}

CSessionPair::CSessionPair(std::mutex& lock, IOwner* owner, SessionType primaryKind)
    : lock_(lock), owner_(owner), primaryKind_(primaryKind) {}

CSessionPair::~CSessionPair() = default;

CSessionPair::Ref CSessionPair::Primary() const {
  std::lock_guard<std::mutex> lock(lock_);
  return Ref(primary_);
}

CSessionPair::Ref CSessionPair::Secondary() const {
  std::lock_guard<std::mutex> lock(lock_);
  return Ref(secondary_);
}

SessionType CSessionPair::PrimaryKind() const {
  std::lock_guard<std::mutex> lock(lock_);
  return primaryKind_;
}

INetSessionNotify* CSessionPair::LinkOf(INetSession* session) {
  std::lock_guard<std::mutex> lock(lock_);
  std::unique_ptr<Link>& link = links_[session];
  if (!link) link = std::make_unique<Link>(this, session);
  return link.get();
}

void CSessionPair::ForgetLink(INetSession* session) {
  if (!session) return;
  std::lock_guard<std::mutex> lock(lock_);
  links_.erase(session);
}

bool CSessionPair::Speaks(INetSession* session) const {
  std::lock_guard<std::mutex> lock(lock_);
  return SpeaksLocked(session);
}

CSessionPair::Sessions CSessionPair::TakeLocked() {
  Sessions old{primary_, secondary_};
  primary_ = secondary_ = retiring_ = nullptr;
  return old;
}

void CSessionPair::Detach(Sessions old) {
  if (old.primary) old.primary->SetNotify(nullptr);
  if (old.secondary) old.secondary->SetNotify(nullptr);
  ForgetLink(old.primary);
  ForgetLink(old.secondary);
  ::Release(old.primary);
  ::Release(old.secondary);
}

void CSessionPair::Install(INetSession* primary, INetSession* secondary) {
  std::lock_guard<std::mutex> lock(lock_);
  primary_ = primary;
  secondary_ = secondary;
}

void CSessionPair::Silence() {
  INetSession* primary;
  INetSession* secondary;
  {
    std::lock_guard<std::mutex> lock(lock_);
    primary = primary_;
    secondary = secondary_;
  }
  if (primary) primary->SetNotify(nullptr);
  if (secondary) secondary->SetNotify(nullptr);
}

void CSessionPair::ReleaseAll() {
  INetSession* primary;
  INetSession* secondary;
  {
    std::lock_guard<std::mutex> lock(lock_);
    primary = primary_;
    secondary = secondary_;
    primary_ = nullptr;
    secondary_ = nullptr;
    retiring_ = nullptr;
  }
  ::Release(secondary);
  ::Release(primary);
}

INetSession* CSessionPair::OtherSpeakingLocked(INetSession* session) const {
  INetSession* other = session == primary_ ? secondary_ : primary_;
  return other == retiring_ ? nullptr : other;
}

SessionType CSessionPair::KindOfLocked(INetSession* session) const {
  return session == primary_ ? primaryKind_ : OtherKind(primaryKind_);
}

bool CSessionPair::RetiredSenderLocked(SessionType from) const {
  INetSession* sender = from == primaryKind_ ? primary_ : secondary_;
  return sender && sender == retiring_;
}

std::shared_ptr<INetSession> CSessionPair::GreetLocked(SessionType from) {
  std::shared_ptr<INetSession> loser;
  if (from != primaryKind_) {
    std::swap(primary_, secondary_);
    primaryKind_ = from;
  }
  if (secondary_ && secondary_ != retiring_) {
    // Detached on the UI thread: doing it here, under this session's
    // notification lock, would wait for the other session's lock, which a
    // greeting arriving there at the same moment holds while waiting for
    // ours.
    retiring_ = secondary_;
    secondary_->AddRef();
    loser.reset(secondary_, [](INetSession* s) { s->Release(); });
  }
  return loser;
}

void CSessionPair::DetachRetired(const std::shared_ptr<INetSession>& loser, std::int32_t cookie) {
  // Detached first: a session that reports its stop from inside Stop would
  // otherwise tell us it stopped, which reads as a failed start.
  loser->SetNotify(nullptr);
  loser->Stop(cookie);
  std::lock_guard<std::mutex> lock(lock_);
  if (retiring_ == loser.get()) retiring_ = nullptr;
}
