// The controller's two sessions and their hand-over: the primary (the one
// that speaks for the phone), the secondary (the other transport, offered in
// the pairing code too), the one a greeting on the other has retired, the
// notification links that pass each session's notifications on, and the
// rule of which session still speaks for the phone. Its fields share the
// owner's lock, so that the owner may settle its own fields in the same
// critical section: methods named ...Locked expect that lock held, the others
// take it. No method calls a session while holding it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "net/session.h"

class CSessionPair {
 public:
  // A counted reference to a session, taken under the lock so that the UI
  // thread may replace the sessions while another thread uses one.
  class Ref {
   public:
    Ref() = default;
    explicit Ref(INetSession* s) : s_(s) { ::AddRef(s_); }
    Ref(Ref&& o) noexcept : s_(o.s_) { o.s_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { ::Release(s_); }
    INetSession* operator->() const { return s_; }
    INetSession* get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }

   private:
    INetSession* s_ = nullptr;
  };

  // Where the links pass on the notifications of a session that speaks for
  // the phone. A start is told together with the session that started.
  class IOwner : public INetSessionNotify {
   public:
    virtual void OnStartedBy(INetSession* session, bool ok, std::int32_t cookie) = 0;
  };

  // The sessions themselves, as held: each one reference owned by the pair.
  struct Sessions {
    INetSession* primary = nullptr;
    INetSession* secondary = nullptr;
  };

  CSessionPair(std::mutex& lock, IOwner* owner, SessionType primaryKind);
  ~CSessionPair();

  CSessionPair(const CSessionPair&) = delete;
  CSessionPair& operator=(const CSessionPair&) = delete;

  Ref Primary() const;
  Ref Secondary() const;
  SessionType PrimaryKind() const;

  // The notification target to give `session` (created on first use).
  INetSessionNotify* LinkOf(INetSession* session);
  // False for a session that a greeting on the other one has retired, or
  // that is no longer one of the two: its notifications are dropped.
  bool Speaks(INetSession* session) const;

  // UI thread. Takes both sessions out of the pair (and forgets the retiring
  // one); the caller detaches them with Detach.
  Sessions TakeLocked();
  // UI thread. Detaches both before either is released, so that no
  // notification of one can still be using the other, then releases them.
  void Detach(Sessions old);
  // UI thread. Installs new sessions (each with one reference for the pair).
  void Install(INetSession* primary, INetSession* secondary);
  // Stops the notifications of both sessions, which stay in the pair.
  void Silence();
  // Releases both sessions; nothing speaks for the phone afterwards.
  void ReleaseAll();

  INetSession* PrimaryLocked() const { return primary_; }
  INetSession* SecondaryLocked() const { return secondary_; }
  SessionType PrimaryKindLocked() const { return primaryKind_; }
  // `session` is one of the two (retiring or not).
  bool HoldsLocked(INetSession* session) const {
    return session == primary_ || session == secondary_;
  }
  bool SpeaksLocked(INetSession* session) const {
    return session != retiring_ && HoldsLocked(session);
  }
  // The other one of the two beside `session`, unless it is retiring.
  INetSession* OtherSpeakingLocked(INetSession* session) const;
  // The transport `session` (one of the two) runs.
  SessionType KindOfLocked(INetSession* session) const;
  // A message from `from`'s session, which a greeting on the other one has
  // retired: it no longer speaks for the phone.
  bool RetiredSenderLocked(SessionType from) const;
  // A greeting from `from`'s session (not retired): it becomes the primary
  // and the other one, if any, is retired and returned with a reference of
  // its own, to be detached on the UI thread with DetachRetired.
  std::shared_ptr<INetSession> GreetLocked(SessionType from);

  // UI thread: detaches and stops (with `cookie`) a session GreetLocked
  // retired.
  void DetachRetired(const std::shared_ptr<INetSession>& loser, std::int32_t cookie);

 private:
  class Link;

  // Called once the session is detached, so no notification is using its link.
  void ForgetLink(INetSession* session);

  std::mutex& lock_;
  IOwner* owner_;
  SessionType primaryKind_;
  INetSession* primary_ = nullptr;
  INetSession* secondary_ = nullptr;
  // The session a greeting on the other one has retired; it is detached on
  // the UI thread, and until then its messages are dropped.
  INetSession* retiring_ = nullptr;
  std::map<INetSession*, std::unique_ptr<Link>> links_;
};
