// What a session's start outcome means, as sequences of reports: one
// transport that started is enough, the other is retried with a doubling
// delay, neither means the start failed.
#include <gtest/gtest.h>

#include <vector>

#include "app/start_outcomes.h"

namespace {

using Action = CStartOutcomes::Action;

// Two sessions, identified by address only.
INetSession* const kRelay = reinterpret_cast<INetSession*>(0x10);
INetSession* const kLan = reinterpret_cast<INetSession*>(0x20);

struct Step {
  INetSession* session;
  bool ok;
  Action action;
  INetSession* retry;
  unsigned delayMs;
};

INetSession* Other(INetSession* s) { return s == kRelay ? kLan : kRelay; }

TEST(StartOutcomes, SequencesOfReports) {
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"both up",
       {{kLan, true, Action::Proceed, nullptr, 0}, {kRelay, true, Action::Proceed, nullptr, 0}}},
      {"relay down after the LAN is up, retried with doubling delays until it comes",
       {{kLan, true, Action::Proceed, nullptr, 0},
        {kRelay, false, Action::Retry, kRelay, 1000},
        {kRelay, false, Action::Retry, kRelay, 2000},
        {kRelay, false, Action::Retry, kRelay, 4000},
        {kRelay, true, Action::Recovered, nullptr, 0},
        {kRelay, false, Action::Retry, kRelay, 1000}}},
      {"relay down first waits for the LAN, which settles it",
       {{kRelay, false, Action::Wait, nullptr, 0}, {kLan, true, Action::Proceed, kRelay, 1000}}},
      {"both down: the later report is the failure",
       {{kRelay, false, Action::Wait, nullptr, 0}, {kLan, false, Action::Proceed, nullptr, 0}}},
      {"a retried relay that fails with the LAN gone is not retried further",
       {{kLan, true, Action::Proceed, nullptr, 0},
        {kRelay, false, Action::Retry, kRelay, 1000},
        {kLan, false, Action::Proceed, nullptr, 0},
        {kRelay, false, Action::Proceed, nullptr, 0}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CStartOutcomes starts;
    starts.Starting(kRelay);
    starts.Starting(kLan);
    int n = 0;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(n++);
      CStartOutcomes::Decision d = starts.Reported(step.session, step.ok, Other(step.session));
      EXPECT_EQ(d.action, step.action);
      EXPECT_EQ(d.retry, step.retry);
      EXPECT_EQ(d.delayMs, step.delayMs);
    }
  }
}

TEST(StartOutcomes, DelayStopsDoublingAtAMinute) {
  CStartOutcomes starts;
  starts.Reported(kLan, true, kRelay);
  unsigned last = 0;
  for (int i = 0; i < 12; ++i) last = starts.Reported(kRelay, false, kLan).delayMs;
  EXPECT_EQ(last, CStartOutcomes::kLastDelayMs);
}

// A session that is up stays up when it is asked to start again, and one
// that no longer counts (stopped by a greeting) leaves no failure waiting.
TEST(StartOutcomes, RestartOfARunningSessionAndForgetting) {
  CStartOutcomes starts;
  starts.Reported(kLan, true, kRelay);
  starts.Starting(kLan);
  EXPECT_EQ(starts.Reported(kRelay, false, kLan).action, Action::Retry);

  CStartOutcomes other;
  other.Starting(kLan);
  EXPECT_EQ(other.Reported(kRelay, false, kLan).action, Action::Wait);
  other.Forget(kRelay);
  EXPECT_EQ(other.Reported(kLan, true, nullptr).retry, nullptr);
  EXPECT_EQ(other.Reported(kRelay, false, nullptr).action, Action::Proceed);
}

}  // namespace
