#include "app/start_outcomes.h"

#include <algorithm>

void CStartOutcomes::Reset() {
  outcomes_.clear();
  waiting_ = retrying_ = nullptr;
  delayMs_ = 0;
}

void CStartOutcomes::Starting(INetSession* session) {
  auto it = outcomes_.find(session);
  if (it == outcomes_.end() || it->second != Outcome::Up) outcomes_[session] = Outcome::Pending;
}

void CStartOutcomes::Forget(INetSession* session) {
  outcomes_.erase(session);
  if (waiting_ == session) waiting_ = nullptr;
}

void CStartOutcomes::StopRetrying() {
  retrying_ = nullptr;
  delayMs_ = 0;
}

CStartOutcomes::Decision CStartOutcomes::ScheduleRetry(INetSession* session, Action action) {
  if (retrying_ != session) delayMs_ = 0;
  retrying_ = session;
  delayMs_ = delayMs_ == 0 ? kFirstDelayMs : std::min(delayMs_ * 2, kLastDelayMs);
  Decision d;
  d.action = action;
  d.retry = session;
  d.delayMs = delayMs_;
  return d;
}

CStartOutcomes::Decision CStartOutcomes::Reported(INetSession* session, bool ok,
                                                  INetSession* other) {
  outcomes_[session] = ok ? Outcome::Up : Outcome::Failed;
  Outcome otherOutcome = Outcome::Failed;
  if (other) {
    auto it = outcomes_.find(other);
    if (it != outcomes_.end()) otherOutcome = it->second;
  }
  if (ok) {
    if (retrying_ == session) {
      // Back; what the phone can use changed, the state did not.
      StopRetrying();
      return Decision{Action::Recovered};
    }
    INetSession* waited = waiting_ == other ? waiting_ : nullptr;
    waiting_ = nullptr;
    // The other session failed first and waited for this outcome.
    if (waited) return ScheduleRetry(waited, Action::Proceed);
    return Decision{Action::Proceed};
  }
  if (waiting_ == session) waiting_ = nullptr;
  if (otherOutcome == Outcome::Up) return ScheduleRetry(session, Action::Retry);
  if (otherOutcome == Outcome::Pending) {
    waiting_ = session;
    return Decision{Action::Wait};
  }
  // Neither started. A session retried in the background that fails with the
  // other one down is not retried further: the start rule takes over.
  if (retrying_ == session) StopRetrying();
  return Decision{Action::Proceed};
}
