// Which of the two sessions could start, and what a start's outcome means for
// the window: the state follows whether a phone can pair. One transport that
// started is enough for the QR code; the other one, when it could not start,
// is started again in the background (after 1 s, doubling up to a minute)
// without a change of state, and only when neither starts does the start
// fail. Pure bookkeeping, kept by the controller under its fields lock, so the
// rules can be tested as a table.
#pragma once

#include <map>

class INetSession;

class CStartOutcomes {
 public:
  static constexpr unsigned kFirstDelayMs = 1000;
  static constexpr unsigned kLastDelayMs = 60000;

  enum class Action {
    Proceed,    // the controller's start rule applies to this outcome as it is
    Wait,       // a failure while the other session's start is still pending
    Retry,      // the other session carries the pairing: keep the state
    Recovered,  // a session started again in the background is up
  };
  struct Decision {
    Action action = Action::Proceed;
    // A session to start again after `delayMs` (with Retry, and with a
    // Proceed that settles a failure which waited).
    INetSession* retry = nullptr;
    unsigned delayMs = 0;
  };

  // New sessions: nothing known, nothing retried.
  void Reset();
  // Start is about to be asked of `session`: pending, unless it is up (a
  // session that is up stays up until it reports otherwise).
  void Starting(INetSession* session);
  // It no longer counts (stopped by a greeting on the other one).
  void Forget(INetSession* session);
  // `session` reported its start (or Start refused at once: ok false).
  // `other` is the other session that still counts, or null.
  Decision Reported(INetSession* session, bool ok, INetSession* other);
  // The session being started again in the background, or null.
  INetSession* Retrying() const { return retrying_; }
  void StopRetrying();

 private:
  enum class Outcome { Pending, Up, Failed };
  Decision ScheduleRetry(INetSession* session, Action action);

  std::map<INetSession*, Outcome> outcomes_;
  INetSession* waiting_ = nullptr;  // a failure that waits for the other's outcome
  INetSession* retrying_ = nullptr;
  unsigned delayMs_ = 0;
};
